// The HLSL compiler the Windows test hosts give the plug-in under Wine, whose
// own compiler cannot compile the kernels: vkd3d 1.17's D3DCompile from its
// 32-bit Windows build (libvkd3d-utils-1.dll), called with the plug-in's own
// arguments after the textual equivalents that the DXBC check applies.
#pragma once

#include <windows.h>
#include <d3dcommon.h>

#include <string>

// Loads the DLL from its full path (its libvkd3d-shader-1.dll beside it);
// false with the reason in *error.
bool loadVkd3dCompiler(const char* dllPath, std::string* error);

// D3DX11CompileFromMemory's signature. The pump must be null and the result
// pointer is left alone, as the plug-in passes them. A text without the
// constructs to rewrite is refused with E_FAIL and counted.
HRESULT WINAPI compileWithVkd3d(LPCSTR source, SIZE_T sourceLength, LPCSTR fileName,
                                const D3D_SHADER_MACRO* defines, ID3DInclude* include, LPCSTR entry,
                                LPCSTR profile, UINT flags1, UINT flags2, void* pump, ID3D10Blob** code,
                                ID3D10Blob** messages, HRESULT* result);

// Texts refused because they no longer had the constructs to rewrite.
int vkd3dRewriteFailures();
