// The one header through which the plug-in reaches the platform: Windows,
// Direct3D 11, DXGI and the D3DX11 compiler. On Windows these are the real
// headers; elsewhere the stand-ins in platform/ declare the same names.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <process.h>
#include <d3d11.h>
#include <dxgi.h>
#include <d3d10shader.h>

struct ID3DX11ThreadPump;
extern "C" HRESULT WINAPI D3DX11CompileFromMemory(
    LPCSTR sourceData, SIZE_T sourceLength, LPCSTR fileName, const D3D10_SHADER_MACRO* defines,
    LPD3D10INCLUDE include, LPCSTR functionName, LPCSTR profile, UINT flags1, UINT flags2,
    ID3DX11ThreadPump* pump, ID3D10Blob** shader, ID3D10Blob** errorMessages, HRESULT* result);
#else
#include "platform/win32/win32_base.h"
#include "platform/d3d11/d3d11_api.h"
#include "platform/hlsl/d3dx11_api.h"
#endif
