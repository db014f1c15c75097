// Basic Windows types, result codes and the Win32 functions the plug-in calls,
// declared with their real names and signatures for the Linux build.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef QUENDA_PLATFORM_API
#define QUENDA_PLATFORM_API __attribute__((visibility("default")))
#endif

#define WINAPI
#define STDMETHODCALLTYPE
#define __stdcall

typedef int32_t HRESULT;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint64_t UINT64;
typedef char16_t WCHAR;
typedef size_t SIZE_T;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef void* HMODULE;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef DWORD REGSAM;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef const GUID& REFIID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

// Message boxes
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define MB_ICONHAND 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define IDOK 1

// Registry
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_QWORD 11u
#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L

// Threads and waiting
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 0x102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1

extern "C" {
QUENDA_PLATFORM_API int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

QUENDA_PLATFORM_API LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                                DWORD options, REGSAM access,
                                                LPSECURITY_ATTRIBUTES security, PHKEY result,
                                                LPDWORD disposition);
QUENDA_PLATFORM_API LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved,
                                                 LPDWORD type, LPBYTE data, LPDWORD dataSize);
QUENDA_PLATFORM_API LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                               const BYTE* data, DWORD dataSize);
QUENDA_PLATFORM_API LONG WINAPI RegCloseKey(HKEY key);
QUENDA_PLATFORM_API LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey);

QUENDA_PLATFORM_API uintptr_t _beginthreadex(void* security, unsigned stackSize,
                                             unsigned(__stdcall* start)(void*), void* argument,
                                             unsigned initFlag, unsigned* threadId);
QUENDA_PLATFORM_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
QUENDA_PLATFORM_API BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
QUENDA_PLATFORM_API BOOL WINAPI CloseHandle(HANDLE handle);
QUENDA_PLATFORM_API BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
}
