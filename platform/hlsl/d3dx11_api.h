// The D3DX11 shader compiler entry and its blobs, declared for the Linux build
// where glslang's HLSL front end implements them (the output is SPIR-V).
#pragma once

#include "platform/win32/win32_base.h"

struct ID3D10Blob : IUnknown {
    virtual LPVOID STDMETHODCALLTYPE GetBufferPointer() = 0;
    virtual SIZE_T STDMETHODCALLTYPE GetBufferSize() = 0;

protected:
    ~ID3D10Blob() = default;
};
typedef ID3D10Blob* LPD3D10BLOB;

struct D3D10_SHADER_MACRO {
    LPCSTR Name;
    LPCSTR Definition;
};

struct ID3D10Include;
typedef ID3D10Include* LPD3D10INCLUDE;
struct ID3DX11ThreadPump;

#define D3D10_SHADER_DEBUG 0x1u
#define D3D10_SHADER_SKIP_OPTIMIZATION 0x4u
#define D3D10_SHADER_ENABLE_STRICTNESS 0x800u
#define D3D10_SHADER_OPTIMIZATION_LEVEL3 0x8000u

extern "C" QUENDA_PLATFORM_API HRESULT WINAPI D3DX11CompileFromMemory(
    LPCSTR sourceData, SIZE_T sourceLength, LPCSTR fileName, const D3D10_SHADER_MACRO* defines,
    LPD3D10INCLUDE include, LPCSTR functionName, LPCSTR profile, UINT flags1, UINT flags2,
    ID3DX11ThreadPump* pump, ID3D10Blob** shader, ID3D10Blob** errorMessages, HRESULT* result);
