#include "tests/wine/vkd3d_compiler.h"

#include <clocale>

#include "tests/dxbc/vkd3d_equivalents.h"

namespace {

// vkd3d-utils' D3DCompile, declared as its header declares it (WINAPI).
typedef HRESULT(WINAPI* D3DCompileFunction)(const void* data, SIZE_T size, const char* fileName,
                                            const D3D_SHADER_MACRO* macros, ID3DInclude* include,
                                            const char* entry, const char* profile, UINT flags1, UINT flags2,
                                            ID3D10Blob** code, ID3D10Blob** messages);

D3DCompileFunction vkd3dCompile = nullptr;
int rewriteFailures = 0;

}  // namespace

bool loadVkd3dCompiler(const char* dllPath, std::string* error) {
    HMODULE module = LoadLibraryExA(dllPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        *error = "LoadLibraryExA(\"" + std::string(dllPath) + "\") failed with error " +
                 std::to_string(GetLastError());
        return false;
    }
    // MinGW's build exports the __stdcall name decorated.
    for (const char* name : {"D3DCompile", "D3DCompile@44"}) {
        if (!vkd3dCompile)
            vkd3dCompile =
                reinterpret_cast<D3DCompileFunction>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    if (!vkd3dCompile) {
        *error = std::string(dllPath) + " exports no D3DCompile";
        return false;
    }
    return true;
}

HRESULT WINAPI compileWithVkd3d(LPCSTR source, SIZE_T sourceLength, LPCSTR fileName,
                                const D3D_SHADER_MACRO* defines, ID3DInclude* include, LPCSTR entry,
                                LPCSTR profile, UINT flags1, UINT flags2, void* pump, ID3D10Blob** code,
                                ID3D10Blob** messages, HRESULT* /*result*/) {
    if (code) *code = nullptr;
    if (messages) *messages = nullptr;
    if (!vkd3dCompile || !source || pump) return E_FAIL;
    std::string text(source, sourceLength);
    if (!rewriteForVkd3d(&text)) {
        ++rewriteFailures;
        return E_FAIL;
    }
    // vkd3d's parser reads float literals with the C run time's strtod, which
    // follows the process's locale (0.20f is 0 under a decimal comma): it
    // compiles in the C locale, so that only the plug-in's own texts meet the
    // host's locale.
    const char* current = std::setlocale(LC_NUMERIC, nullptr);
    const std::string hostLocale = current ? current : "C";
    std::setlocale(LC_NUMERIC, "C");
    const HRESULT hr = vkd3dCompile(text.data(), text.size(), fileName, defines, include, entry, profile, flags1,
                                    flags2, code, messages);
    std::setlocale(LC_NUMERIC, hostLocale.c_str());
    return hr;
}

int vkd3dRewriteFailures() { return rewriteFailures; }
