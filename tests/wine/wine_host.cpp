// Test host for the Windows plug-in under Wine. It loads quenda_dx11.auf as
// the editor does, checks the descriptor word by word, then runs onInit and
// onExit with MessageBoxA, D3D11CreateDevice and D3DX11CompileFromMemory
// intercepted in the plug-in's import address table, and checks that the
// plug-in answered what the real platform did as it must: the boxes, the
// result, the registry key and no Direct3D reference left behind.
//
// usage: wine_host.exe PLUGIN [EXPECT [VKD3D_UTILS_DLL]]
//   EXPECT: compile-failure (default): the device comes up at level 11_0 and
//           Wine's compiler refuses the luma kernel;
//           success: both kernels compile and initialisation succeeds;
//           any: whatever the platform did, the plug-in answered it right.
//   VKD3D_UTILS_DLL: compile through vkd3d's D3DCompile (vkd3d_compiler.h)
//           instead of Wine's D3DX11CompileFromMemory.
#include <windows.h>
#include <d3d11.h>
#include <d3d10shader.h>
#include <dxgi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/wine/checks.h"
#include "tests/wine/import_slots.h"
#include "tests/wine/vkd3d_compiler.h"

namespace {

// ---- expected texts, code page 932 ----

const char filterNameText[] = "Quenda\x83\x74\x83\x42\x83\x8b\x83\x5e for DX11";            // Quendaフィルタ for DX11
const char infoText[] = "Quenda\x83\x74\x83\x42\x83\x8b\x83\x5e for DX11 ver 1.13";          // ... ver 1.13
const char* const trackNameTexts[6] = {
    "\x8b\x50\x93\x78\x8b\xf3\x8a\xd4\x94\xcd\x88\xcd",  // 輝度空間範囲
    "\x8b\x50\x93\x78\x8e\x9e\x8a\xd4\x94\xcd\x88\xcd",  // 輝度時間範囲
    "\x8b\x50\x93\x78\x95\xaa\x8e\x55",                  // 輝度分散
    "\x90\x46\x8d\xb7\x8b\xf3\x8a\xd4\x94\xcd\x88\xcd",  // 色差空間範囲
    "\x90\x46\x8d\xb7\x8e\x9e\x8a\xd4\x94\xcd\x88\xcd",  // 色差時間範囲
    "\x90\x46\x8d\xb7\x95\xaa\x8e\x55",                  // 色差分散
};
const char checkNameText[] = "\x83\x5f\x83\x7e\x81\x5b";  // ダミー
const char captionError[] = "\x83\x47\x83\x89\x81\x5b";   // エラー
const char captionCsError[] = "CS\x83\x47\x83\x89\x81\x5b";  // CSエラー
// シェーダーの作成に失敗 (initialisation's own box)
const char textShaderBuildFailed[] =
    "\x83\x56\x83\x46\x81\x5b\x83\x5f\x81\x5b\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73";
// シェーダーの作成に失敗しました (shader object refused)
const char textShaderCreateFailed[] =
    "\x83\x56\x83\x46\x81\x5b\x83\x5f\x81\x5b\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73"
    "\x82\xb5\x82\xdc\x82\xb5\x82\xbd";
// Direct3D10の作成に失敗しました
const char textDeviceCreateFailed[] =
    "Direct3D10\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd";

const char cacheKeyPath[] = "SOFTWARE\\Aviutl\\Plugins\\quenda for DX11";
const int32_t trackValues[6] = {3, 1, 50, 3, 1, 50};
const GUID iidDxgiDevice = {0x54ec77fa, 0x1377, 0x44e6, {0x8c, 0x32, 0x88, 0xfd, 0x5f, 0x44, 0xc8, 0x4c}};

// ---- checks and printing ----

void section(const char* title) { std::printf("== %s\n", title); }

// Code page 932 bytes as UTF-8 for the transcript; undecodable bytes as hex.
std::string utf8(const std::string& cp932) {
    if (cp932.empty()) return cp932;
    int wide = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, cp932.data(), (int)cp932.size(), nullptr, 0);
    if (wide > 0) {
        std::vector<wchar_t> w(wide);
        MultiByteToWideChar(932, 0, cp932.data(), (int)cp932.size(), w.data(), wide);
        int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
        if (bytes > 0) {
            std::string out(bytes, '\0');
            WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
            return out;
        }
    }
    std::string out;
    char hex[8];
    for (unsigned char c : cp932) {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
    }
    return out;
}

std::string hexBytes(const std::string& bytes) {
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        std::snprintf(hex, sizeof hex, "%02x ", c);
        out += hex;
    }
    return out;
}

// Prints a text under its call, each line marked, without a final blank line.
void printIndented(const std::string& text) {
    size_t start = 0;
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return;
    while (start <= end) {
        size_t newline = text.find('\n', start);
        if (newline == std::string::npos || newline > end) newline = end + 1;
        std::printf("       | %s\n", text.substr(start, newline - start).c_str());
        start = newline + 1;
    }
}

// ---- the loaded module ----

struct Module {
    BYTE* base = nullptr;
    DWORD imageSize = 0;

    bool contains(uintptr_t address) const {
        return address >= (uintptr_t)base && address < (uintptr_t)base + imageSize;
    }
};

// Points the slot at a replacement; returns the address it held.
void* patchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    int matches = 0;
    void** slot = findImportSlot(module, dll, function, &matches);
    check(slot && matches == 1, "%s!%s imported once (slot %p)", dll, function, (void*)slot);
    if (!slot || matches != 1) return nullptr;
    void* original = *slot;
    HMODULE system = GetModuleHandleA(dll);
    void* exported = system ? reinterpret_cast<void*>(GetProcAddress(system, function)) : nullptr;
    check(original && original == exported, "%s!%s bound to the system export %p", dll, function, exported);
    if (!redirectSlot(slot, replacement)) {
        check(false, "VirtualProtect on the import slot (error %lu)", GetLastError());
        return nullptr;
    }
    return original;
}

// ---- what the plug-in asked of the platform ----

int sequence = 0;

struct BoxCall {
    int seq;
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
};

struct DeviceCall {
    int seq;
    IDXGIAdapter* adapter;
    D3D_DRIVER_TYPE driverType;
    HMODULE software;
    UINT flags;
    std::vector<D3D_FEATURE_LEVEL> levels;
    UINT sdkVersion;
    bool outputsGiven;
    HRESULT hr;
    D3D_FEATURE_LEVEL level;
    ID3D11Device* device;  // with one reference of this host's
    ID3D11DeviceContext* context;  // likewise
    UINT deviceId;
    std::string adapterName;
};

struct CompileCall {
    int seq;
    size_t sourceLength;
    size_t sourceTextLength;
    bool fileName, defines, include, pump, resultOut, codeOut, messagesOut;
    std::string entry;
    std::string profile;
    UINT flags1;
    UINT flags2;
    HRESULT hr;
    bool code;
    size_t codeSize;
    bool messages;
    std::string messageText;
};

std::vector<BoxCall> boxes;
std::vector<DeviceCall> devices;
std::vector<CompileCall> compiles;

typedef int(WINAPI* MessageBoxFunction)(HWND, LPCSTR, LPCSTR, UINT);
typedef HRESULT(WINAPI* CreateDeviceFunction)(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT,
                                              const D3D_FEATURE_LEVEL*, UINT, UINT, ID3D11Device**,
                                              D3D_FEATURE_LEVEL*, ID3D11DeviceContext**);
typedef HRESULT(WINAPI* CompileFunction)(LPCSTR, SIZE_T, LPCSTR, const D3D10_SHADER_MACRO*, LPD3D10INCLUDE,
                                         LPCSTR, LPCSTR, UINT, UINT, void*, ID3D10Blob**, ID3D10Blob**,
                                         HRESULT*);

CreateDeviceFunction realCreateDevice = nullptr;
CompileFunction realCompile = nullptr;

// A real box under Xvfb never returns: record it and answer OK.
int WINAPI recordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    boxes.push_back({++sequence, owner, text ? text : "", caption ? caption : "", style});
    return IDOK;
}

HRESULT WINAPI recordCreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software,
                                  UINT flags, const D3D_FEATURE_LEVEL* levels, UINT levelCount,
                                  UINT sdkVersion, ID3D11Device** device, D3D_FEATURE_LEVEL* level,
                                  ID3D11DeviceContext** context) {
    DeviceCall call{};
    call.seq = ++sequence;
    call.adapter = adapter;
    call.driverType = driverType;
    call.software = software;
    call.flags = flags;
    if (levels) call.levels.assign(levels, levels + levelCount);
    call.sdkVersion = sdkVersion;
    call.outputsGiven = device && level && context;
    call.hr = realCreateDevice(adapter, driverType, software, flags, levels, levelCount, sdkVersion, device,
                               level, context);
    if (SUCCEEDED(call.hr) && call.outputsGiven) {
        call.level = *level;
        call.device = *device;
        call.context = *context;
        call.device->AddRef();
        call.context->AddRef();
        IDXGIDevice* dxgi = nullptr;
        IDXGIAdapter* dxgiAdapter = nullptr;
        DXGI_ADAPTER_DESC desc;
        std::memset(&desc, 0, sizeof desc);
        if (SUCCEEDED(call.device->QueryInterface(iidDxgiDevice, reinterpret_cast<void**>(&dxgi))) &&
            SUCCEEDED(dxgi->GetAdapter(&dxgiAdapter)) && SUCCEEDED(dxgiAdapter->GetDesc(&desc))) {
            call.deviceId = desc.DeviceId;
            char name[256] = {};
            WideCharToMultiByte(CP_UTF8, 0, desc.Description, -1, name, sizeof name - 1, nullptr, nullptr);
            call.adapterName = name;
        }
        if (dxgiAdapter) dxgiAdapter->Release();
        if (dxgi) dxgi->Release();
    }
    devices.push_back(call);
    return call.hr;
}

HRESULT WINAPI recordCompile(LPCSTR source, SIZE_T sourceLength, LPCSTR fileName, const D3D10_SHADER_MACRO* defines,
                             LPD3D10INCLUDE include, LPCSTR entry, LPCSTR profile, UINT flags1, UINT flags2,
                             void* pump, ID3D10Blob** code, ID3D10Blob** messages, HRESULT* result) {
    CompileCall call{};
    call.seq = ++sequence;
    call.sourceLength = sourceLength;
    call.sourceTextLength = source ? std::strlen(source) : 0;
    call.fileName = fileName != nullptr;
    call.defines = defines != nullptr;
    call.include = include != nullptr;
    call.pump = pump != nullptr;
    call.resultOut = result != nullptr;
    call.codeOut = code != nullptr;
    call.messagesOut = messages != nullptr;
    call.entry = entry ? entry : "(null)";
    call.profile = profile ? profile : "(null)";
    call.flags1 = flags1;
    call.flags2 = flags2;
    call.hr = realCompile(source, sourceLength, fileName, defines, include, entry, profile, flags1, flags2, pump,
                          code, messages, result);
    if (code && *code) {
        call.code = true;
        call.codeSize = (*code)->GetBufferSize();
    }
    if (messages && *messages) {
        call.messages = true;
        const char* text = static_cast<const char*>((*messages)->GetBufferPointer());
        size_t size = (*messages)->GetBufferSize();
        call.messageText.assign(text, text ? strnlen(text, size) : 0);
    }
    compiles.push_back(call);
    return call.hr;
}

// ---- the host's side of the descriptor ----

int serviceCalls = 0;
int32_t __cdecl getFrameCount(void*) { return ++serviceCalls, 0; }
int32_t __cdecl setupFrameCache(void*, int32_t, int32_t, int32_t, int32_t) { return ++serviceCalls, 0; }
void* __cdecl getFrameImage(void*, void*, int32_t, int32_t*, int32_t*) { return ++serviceCalls, nullptr; }

uint32_t hostServices[51];  // 204 bytes: entries at +28, +176, +200

// Calls a one-argument __cdecl callback and measures how far it moved the
// stack pointer: 0 for __cdecl, 4 for a callee that pops its argument.
int32_t callCdecl(uint32_t function, void* argument, int32_t* stackDelta) {
    int32_t result;
    int32_t delta;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[argument]\n\t"
        "call *%[function]\n\t"
        "addl $4, %%esp\n\t"
        "movl %%esp, %[delta]\n\t"
        "subl %%esi, %[delta]\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), [delta] "=&r"(delta)
        : [function] "r"(function), [argument] "r"(argument)
        : "ecx", "edx", "esi", "memory", "cc");
    *stackDelta = delta;
    return result;
}

// ---- registry ----

bool keyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, cacheKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The value's bytes; false when absent.
bool readValue(const char* name, DWORD* type, std::string* bytes) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, cacheKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        bytes->assign(size, '\0');
        status = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(&(*bytes)[0]), &size);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// ---- the descriptor ----

std::string textAt(uint32_t address) {
    return address ? std::string(reinterpret_cast<const char*>(address)) : std::string();
}

void checkText(const Module& module, const char* field, uint32_t address, const char* expected) {
    bool inside = module.contains(address);
    std::string actual = inside ? textAt(address) : std::string();
    check(inside && actual == expected, "%s \"%s\"", field, utf8(actual).c_str());
    if (inside && actual != expected)
        std::printf("       bytes    %s\n       expected %s\n", hexBytes(actual).c_str(), hexBytes(expected).c_str());
}

void checkInts(const Module& module, const char* field, uint32_t address, const int32_t* expected, int count) {
    bool inside = module.contains(address);
    std::string shown;
    bool same = inside;
    for (int i = 0; inside && i < count; ++i) {
        int32_t value = reinterpret_cast<const int32_t*>(address)[i];
        shown += (i ? ", " : "") + std::to_string(value);
        same = same && value == expected[i];
    }
    check(same, "%s {%s}", field, shown.c_str());
}

void checkDescriptor(const Module& module, const uint32_t* w) {
    section("descriptor (140 bytes)");
    check(w[0] == 0x08040000u, "+0   flagWord 0x%08x", w[0]);
    check(w[1] == 0 && w[2] == 0, "+4   window size %d x %d", (int)w[1], (int)w[2]);
    checkText(module, "+12  filterName", w[3], filterNameText);
    check(w[4] == 6, "+16  trackCount %d", (int)w[4]);
    bool namesInside = module.contains(w[5]);
    check(namesInside, "+20  trackNames at %#x", w[5]);
    for (int i = 0; namesInside && i < 6; ++i) {
        char field[32];
        std::snprintf(field, sizeof field, "     trackNames[%d]", i);
        checkText(module, field, reinterpret_cast<const uint32_t*>(w[5])[i], trackNameTexts[i]);
    }
    const int32_t defaults[6] = {3, 1, 50, 3, 1, 50};
    const int32_t minima[6] = {0, 0, 0, 0, 0, 0};
    const int32_t maxima[6] = {16, 7, 100, 16, 7, 100};
    checkInts(module, "+24  trackDefaults", w[6], defaults, 6);
    checkInts(module, "+28  trackMinima", w[7], minima, 6);
    checkInts(module, "+32  trackMaxima", w[8], maxima, 6);
    check(w[9] == 0, "+36  checkCount %d", (int)w[9]);
    check(module.contains(w[10]), "+40  checkNames at %#x", w[10]);
    if (module.contains(w[10]))
        checkText(module, "     checkNames[0]", reinterpret_cast<const uint32_t*>(w[10])[0], checkNameText);
    const int32_t zero[1] = {0};
    checkInts(module, "+44  checkDefaults", w[11], zero, 1);
    check(module.contains(w[12]), "+48  onProcess %#x", w[12]);
    check(module.contains(w[13]), "+52  onInit %#x", w[13]);
    check(module.contains(w[14]), "+56  onExit %#x", w[14]);
    check(w[15] == 0, "+60  zero word %#x", w[15]);
    check(module.contains(w[16]), "+64  onWindowMessage %#x", w[16]);
    check(w[17] == 0, "+68  trackValues %#x before the host fills it", w[17]);
    check(w[18] == 0 && w[19] == 0 && w[20] == 0, "+72..+80 zero words");
    checkText(module, "+84  infoText", w[21], infoText);
    check(w[22] == 0 && w[23] == 0, "+88, +92 zero words");
    check(w[24] == 0 && w[25] == 0, "+96  services %#x, +100 window %#x before the host fills them", w[24], w[25]);
    bool tailZero = true;
    for (int i = 26; i < 35; ++i) tailZero = tailZero && w[i] == 0;
    check(tailZero, "+104..+136 nine zero words");
}

// ---- onInit and onExit ----

void printCalls() {
    size_t b = 0, d = 0, c = 0;
    for (int seq = 1; seq <= sequence; ++seq) {
        if (d < devices.size() && devices[d].seq == seq) {
            const DeviceCall& x = devices[d++];
            std::string levels;
            for (D3D_FEATURE_LEVEL l : x.levels) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%s0x%x", levels.empty() ? "" : " ", (unsigned)l);
                levels += hex;
            }
            std::printf("  [%d] D3D11CreateDevice(adapter %p, driver %d, software %p, flags %#x, levels {%s}, sdk %u)\n"
                        "       -> hr 0x%08lx",
                        seq, (void*)x.adapter, (int)x.driverType, (void*)x.software, x.flags, levels.c_str(),
                        x.sdkVersion, (unsigned long)x.hr);
            if (SUCCEEDED(x.hr))
                std::printf(", level 0x%x, adapter \"%s\", device id 0x%04x", (unsigned)x.level,
                            x.adapterName.c_str(), x.deviceId);
            std::printf("\n");
        } else if (c < compiles.size() && compiles[c].seq == seq) {
            const CompileCall& x = compiles[c++];
            std::printf("  [%d] D3DX11CompileFromMemory(%zu bytes, file %s, macros %s, include %s, \"%s\", \"%s\", "
                        "%#x, %#x, pump %s, result out %s)\n       -> hr 0x%08lx, code %s",
                        seq, x.sourceLength, x.fileName ? "set" : "null", x.defines ? "set" : "null",
                        x.include ? "set" : "null", x.entry.c_str(), x.profile.c_str(), x.flags1, x.flags2,
                        x.pump ? "set" : "null", x.resultOut ? "set" : "null", (unsigned long)x.hr,
                        x.code ? (std::to_string(x.codeSize) + " bytes").c_str() : "none");
            std::printf(", messages %s\n", x.messages ? "(text below)" : "none");
            if (x.messages) printIndented(x.messageText);
        } else if (b < boxes.size() && boxes[b].seq == seq) {
            const BoxCall& x = boxes[b++];
            std::printf("  [%d] MessageBoxA(owner %p, caption \"%s\", style %#x), text:\n", seq, (void*)x.owner,
                        utf8(x.caption).c_str(), x.style);
            printIndented(utf8(x.text));
        }
    }
}

struct ExpectedBox {
    std::string caption;
    std::string text;
};

const char* profileFor(D3D_FEATURE_LEVEL level) {
    switch ((unsigned)level) {
        case 0xb000: return "cs_5_0";
        case 0xa100: return "cs_4_1";
        case 0xa000: return "cs_4_0";
        default: return nullptr;
    }
}

void checkBoxes(const std::vector<ExpectedBox>& expected, HWND owner) {
    check(boxes.size() == expected.size(), "%zu message boxes, expected %zu", boxes.size(), expected.size());
    for (size_t i = 0; i < boxes.size() && i < expected.size(); ++i) {
        const BoxCall& box = boxes[i];
        bool textSame = box.text == expected[i].text;
        check(box.caption == expected[i].caption && textSame && box.style == 0x20 && box.owner == owner,
              "box %zu: caption \"%s\", style %#x, owner %p, text as expected", i + 1, utf8(box.caption).c_str(),
              box.style, (void*)box.owner);
        if (!textSame)
            std::printf("       text     %s\n       expected %s\n", utf8(box.text).c_str(),
                        utf8(expected[i].text).c_str());
    }
}

bool checkDeviceCall() {
    check(devices.size() == 1, "D3D11CreateDevice called %zu time(s), expected once", devices.size());
    if (devices.empty()) return false;
    const DeviceCall& x = devices[0];
    const std::vector<D3D_FEATURE_LEVEL> levels = {(D3D_FEATURE_LEVEL)0xb000, (D3D_FEATURE_LEVEL)0xa100,
                                                   (D3D_FEATURE_LEVEL)0xa000};
    check(!x.adapter && x.driverType == D3D_DRIVER_TYPE_HARDWARE && !x.software && x.flags == 1 &&
              x.levels == levels && x.sdkVersion == 7 && x.outputsGiven,
          "D3D11CreateDevice(default adapter, hardware, single-threaded, 11_0/10_1/10_0, sdk 7)");
    return SUCCEEDED(x.hr);
}

void checkCompileCall(const CompileCall& x, const char* profile, const char* which) {
    check(x.sourceLength > 0 && x.sourceLength == x.sourceTextLength && !x.fileName && !x.defines && !x.include &&
              x.entry == "CS" && x.profile == profile && x.flags1 == 0x8800 && x.flags2 == 0 && !x.pump &&
              x.codeOut && x.messagesOut && !x.resultOut,
          "%s compile: length without terminator, no macros, \"CS\", \"%s\", 0x8800, 0, no pump", which, profile);
}

// Releases this host's references to the device; 0 left means the plug-in
// holds none.
void checkNothingHeld(const char* when) {
    if (devices.empty() || !devices[0].device) return;
    ULONG contextLeft = devices[0].context->Release();
    ULONG deviceLeft = devices[0].device->Release();
    devices[0].context = nullptr;
    devices[0].device = nullptr;
    check(contextLeft == 0 && deviceLeft == 0,
          "%s the plug-in holds no reference to the device or its context (left: context %lu, device %lu)", when,
          contextLeft, deviceLeft);
}

// Loads the plug-in and checks that its one export gives the one descriptor,
// inside the module; null when it does not.
uint32_t* loadDescriptor(const char* path, HMODULE* plugin, Module* module) {
    section("module");
    *plugin = LoadLibraryA(path);
    check(*plugin != nullptr, "LoadLibraryA(\"%s\") -> %p (error %lu)", path, (void*)*plugin,
          *plugin ? 0ul : GetLastError());
    if (!*plugin) return nullptr;
    module->base = reinterpret_cast<BYTE*>(*plugin);
    module->imageSize = ntHeaders(*plugin) ? ntHeaders(*plugin)->OptionalHeader.SizeOfImage : 0;
    typedef uint32_t*(WINAPI * GetFilterTableFunction)();
    auto getFilterTable = reinterpret_cast<GetFilterTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(*plugin, "GetFilterTable")));
    check(getFilterTable != nullptr, "GetProcAddress(\"GetFilterTable\") -> %p", (void*)getFilterTable);
    if (!getFilterTable) return nullptr;
    uint32_t* table = getFilterTable();
    check(table && module->contains((uintptr_t)table) && getFilterTable() == table,
          "GetFilterTable() -> %p inside the module, the same on a second call", (void*)table);
    return table && module->contains((uintptr_t)table) ? table : nullptr;
}

// The boxes, the device and the compiles routed through this host's
// records; with a vkd3d DLL, the compiles go on to vkd3d.
bool interceptImports(HMODULE plugin, const char* vkd3dDll) {
    section("imports intercepted");
    void* realBox = patchImport(plugin, "USER32.dll", "MessageBoxA", reinterpret_cast<void*>(recordMessageBox));
    realCreateDevice = reinterpret_cast<CreateDeviceFunction>(
        patchImport(plugin, "d3d11.dll", "D3D11CreateDevice", reinterpret_cast<void*>(recordCreateDevice)));
    realCompile = reinterpret_cast<CompileFunction>(
        patchImport(plugin, "d3dx11_42.dll", "D3DX11CompileFromMemory", reinterpret_cast<void*>(recordCompile)));
    if (!realBox || !realCreateDevice || !realCompile) return false;
    if (!vkd3dDll) return true;
    std::string error;
    const bool loaded = loadVkd3dCompiler(vkd3dDll, &error);
    check(loaded, "the plug-in's compiles go to vkd3d's D3DCompile in %s %s", vkd3dDll, error.c_str());
    if (loaded) realCompile = compileWithVkd3d;
    return loaded;
}

// The host's words of the descriptor, written at their 32-bit offsets by
// hand (this host checks the layout, so it does not share the header's).
HWND fillHostWords(uint32_t* table) {
    section("host fills trackValues, services, window");
    HWND window = CreateWindowExA(0, "STATIC", "quenda wine host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
    check(window != nullptr, "filter window %p", (void*)window);
    hostServices[28 / 4] = reinterpret_cast<uint32_t>(getFrameCount);
    hostServices[176 / 4] = reinterpret_cast<uint32_t>(setupFrameCache);
    hostServices[200 / 4] = reinterpret_cast<uint32_t>(getFrameImage);
    table[17] = reinterpret_cast<uint32_t>(trackValues);
    table[24] = reinterpret_cast<uint32_t>(hostServices);
    table[25] = reinterpret_cast<uint32_t>(window);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, cacheKeyPath);
    check(!keyExists(), "registry key HKLM\\%s absent before onInit", cacheKeyPath);
    return window;
}

// What onInit should have answered to what the platform did.
struct InitPath {
    std::string name;
    std::vector<ExpectedBox> boxes;
    bool success = false;
    bool key = false;
};

// After a device: the compiles' arguments, and the boxes and key that follow
// from their results.
InitPath pathWithDevice(int32_t initResult, bool wantCompileFailure) {
    InitPath path;
    path.key = true;
    const D3D_FEATURE_LEVEL level = devices[0].level;
    const char* profile = profileFor(level);
    check(profile != nullptr, "feature level 0x%x is one of 11_0, 10_1, 10_0", (unsigned)level);
    if (wantCompileFailure) check(level == 0xb000, "feature level 11_0 (0xb000)");
    bool lumaFailed = !compiles.empty() && FAILED(compiles[0].hr);
    size_t expectedCompiles = lumaFailed ? 1 : 2;
    check(compiles.size() == expectedCompiles, "%zu compile(s), expected %zu (%s)", compiles.size(),
          expectedCompiles, lumaFailed ? "luma failed, chroma not compiled" : "luma and chroma");
    for (size_t i = 0; profile && i < compiles.size(); ++i)
        checkCompileCall(compiles[i], profile, i == 0 ? "luma" : "chroma");
    bool compileFailed = lumaFailed || (compiles.size() > 1 && FAILED(compiles[1].hr));
    if (compileFailed) {
        path.name = "compile-failure";
        for (const CompileCall& x : compiles)
            if (x.messages) path.boxes.push_back({captionCsError, x.messageText});
        path.boxes.push_back({captionError, textShaderBuildFailed});
    } else if (initResult == 1) {
        path.name = "success";
        path.success = true;
    } else {
        // Compiled, but the device refused the code: the key is deleted.
        path.name = "shader-object-failure";
        path.key = false;
        path.boxes.push_back({captionError, textShaderCreateFailed});
        path.boxes.push_back({captionError, textShaderBuildFailed});
    }
    bool boxesAfterCompiles = true;
    for (const BoxCall& box : boxes)
        for (const CompileCall& x : compiles) boxesAfterCompiles = boxesAfterCompiles && box.seq > x.seq;
    check(boxesAfterCompiles, "every box comes after the compiles");
    return path;
}

InitPath initPath(int32_t initResult, bool wantCompileFailure) {
    if (checkDeviceCall()) return pathWithDevice(initResult, wantCompileFailure);
    InitPath path;
    path.name = "device-failure";
    path.boxes.push_back({captionError, textDeviceCreateFailed});
    check(compiles.empty(), "no compile after a failed device creation");
    return path;
}

// The cache values hold the compiled code and the key after a success, and
// nothing is stored otherwise.
void checkCacheValues(bool success) {
    DWORD type = 0;
    std::string light, collar, version;
    bool hasLight = readValue("ComputeShadeLight", &type, &light);
    bool hasCollar = readValue("ComputeShadeCollar", &type, &collar);
    bool hasVersion = readValue("Version", &type, &version);
    if (!success) {
        check(!hasLight && !hasCollar && !hasVersion, "no cache value stored");
        return;
    }
    uint64_t key = ((uint64_t)devices[0].deviceId << 32) | (0x01130000u | (unsigned)devices[0].level);
    std::string keyBytes(reinterpret_cast<const char*>(&key), 8);
    check(hasLight && light.size() == compiles[0].codeSize && hasCollar && collar.size() == compiles[1].codeSize,
          "ComputeShadeLight (%zu bytes) and ComputeShadeCollar (%zu bytes) hold the compiled code", light.size(),
          collar.size());
    check(hasVersion && version == keyBytes, "Version %s", hexBytes(version).c_str());
}

// onInit called as the editor calls it, and everything it did held against
// what the platform answered; returns the path it took.
std::string checkInit(uint32_t* table, const std::string& expect, bool vkd3d, HWND window) {
    section("onInit");
    int32_t delta = 0;
    int32_t initResult = callCdecl(table[13], table, &delta);
    printCalls();
    std::printf("  onInit -> %d\n", (int)initResult);
    check(delta == 0, "onInit is __cdecl: stack pointer moved by %d", (int)delta);
    const InitPath path = initPath(initResult, expect == "compile-failure");
    std::printf("  path: %s\n", path.name.c_str());
    if (expect == "compile-failure") check(path.name == "compile-failure", "path is compile-failure, as expected");
    if (expect == "success") check(path.name == "success", "path is success, as expected");
    if (vkd3d) check(vkd3dRewriteFailures() == 0, "every text had the constructs to rewrite for vkd3d");
    check(initResult == (path.success ? 1 : 0), "onInit returned %d", (int)initResult);
    checkBoxes(path.boxes, window);
    check(keyExists() == path.key, "registry key HKLM\\%s %s", cacheKeyPath, path.key ? "created" : "absent");
    checkCacheValues(path.success);
    if (!path.success) checkNothingHeld("after onInit,");
    check(serviceCalls == 0, "no host service called (%d)", serviceCalls);
    return path.name;
}

// onExit: no box, device or compile, no reference left, and no word of the
// descriptor written but the host's.
void checkExit(uint32_t* table, const std::vector<uint32_t>& loaded) {
    section("onExit");
    const size_t boxesBefore = boxes.size();
    const size_t devicesBefore = devices.size();
    const size_t compilesBefore = compiles.size();
    int32_t delta = 0;
    int32_t exitResult = callCdecl(table[14], table, &delta);
    std::printf("  onExit -> %d\n", (int)exitResult);
    check(exitResult == 1, "onExit returned 1");
    check(delta == 0, "onExit is __cdecl: stack pointer moved by %d", (int)delta);
    check(boxes.size() == boxesBefore && devices.size() == devicesBefore && compiles.size() == compilesBefore,
          "onExit showed no box, created no device and compiled nothing");
    checkNothingHeld("after onExit,");
    bool unchanged = true;
    for (int i = 0; i < 35; ++i)
        if (i != 17 && i != 24 && i != 25) unchanged = unchanged && table[i] == loaded[i];
    check(unchanged, "the plug-in wrote no word of the descriptor");
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s PLUGIN [compile-failure|success|any [VKD3D_UTILS_DLL]]\n", argv[0]);
        return 2;
    }
    const std::string expect = argc >= 3 ? argv[2] : "compile-failure";
    if (expect != "compile-failure" && expect != "success" && expect != "any") {
        std::fprintf(stderr, "unknown expectation %s\n", expect.c_str());
        return 2;
    }
    HMODULE plugin = nullptr;
    Module module;
    uint32_t* table = loadDescriptor(argv[1], &plugin, &module);
    if (!table) return 1;
    const std::vector<uint32_t> loaded(table, table + 35);
    checkDescriptor(module, table);
    if (!interceptImports(plugin, argc == 4 ? argv[3] : nullptr)) return 1;
    HWND window = fillHostWords(table);
    const std::string path = checkInit(table, expect, argc == 4, window);
    checkExit(table, loaded);

    section("result");
    if (window) DestroyWindow(window);
    FreeLibrary(plugin);
    if (checksFailed)
        std::printf("wine host: %d of %d checks failed (path %s)\n", checksFailed, checksRun, path.c_str());
    else
        std::printf("wine host: all %d checks hold (path %s)\n", checksRun, path.c_str());
    return checksFailed ? 1 : 0;
}
