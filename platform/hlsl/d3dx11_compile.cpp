// D3DX11CompileFromMemory over glslang: HLSL compute kernels become SPIR-V
// modules that the Vulkan stand-in of Direct3D 11 runs.
#include "platform/hlsl/blob.h"
#include "platform/hlsl/d3dx11_api.h"
#include "platform/hlsl/hlsl_front.h"
#include "platform/hlsl/spirv_tools.h"
#include "platform/test_hooks.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace platform_hlsl {
namespace {

bool isComputeProfile(const char* profile) {
    for (const char* known : {"cs_5_0", "cs_4_1", "cs_4_0"})
        if (std::strcmp(profile, known) == 0) return true;
    return false;
}

// Macros as the source would define them, in table order.
std::string macroPreamble(const D3D10_SHADER_MACRO* defines) {
    std::string preamble;
    for (; defines && defines->Name; ++defines) {
        preamble.append("#define ").append(defines->Name);
        if (defines->Definition) preamble.append(" ").append(defines->Definition);
        preamble.append("\n");
    }
    return preamble;
}

struct Outcome {
    HRESULT hr = E_FAIL;
    std::vector<uint32_t> code;
    std::string messages;
};

Outcome compile(const char* source, size_t length, const D3D10_SHADER_MACRO* defines, const char* entryPoint,
                const char* profile, UINT flags1) {
    Outcome out;
    if (platform_hooks::shouldFail(platform_hooks::FailPoint::Compile)) {
        out.messages = "error: compilation failed (forced)\n";
        return out;
    }
    if (!isComputeProfile(profile)) {
        out.messages = std::string("error X3501: unsupported profile '") + profile +
                       "'; expected cs_5_0, cs_4_1 or cs_4_0\n";
        return out;
    }
    std::vector<uint32_t> words;
    bool ok = hlslToSpirv(source, length, macroPreamble(defines), entryPoint, &words, &out.messages);
    if (ok) {
        packVec3Strides(words);
        const bool optimize =
            (flags1 & D3D10_SHADER_OPTIMIZATION_LEVEL3) && !(flags1 & D3D10_SHADER_SKIP_OPTIMIZATION);
        ok = (!optimize || optimizeSpirv(words, &out.messages)) &&
             validateSpirv(words.data(), words.size() * sizeof(uint32_t), &out.messages);
    }
    if (!ok) {
        // A failed compile always comes with a text to show.
        if (out.messages.empty()) out.messages = "error: compilation failed\n";
        return out;
    }
    out.hr = S_OK;
    out.code = std::move(words);
    return out;
}

}  // namespace
}  // namespace platform_hlsl

extern "C" HRESULT WINAPI D3DX11CompileFromMemory(LPCSTR sourceData, SIZE_T sourceLength, LPCSTR fileName,
                                                  const D3D10_SHADER_MACRO* defines, LPD3D10INCLUDE include,
                                                  LPCSTR functionName, LPCSTR profile, UINT flags1, UINT flags2,
                                                  ID3DX11ThreadPump* pump, ID3D10Blob** shader,
                                                  ID3D10Blob** errorMessages, HRESULT* result) {
    using platform_hlsl::Blob;
    if (platform_hooks::callLogOn()) {
        char flags[32];
        std::snprintf(flags, sizeof flags, "0x%x %u", flags1, flags2);
        std::string line = std::string("D3DX11CompileFromMemory ") +
                           (sourceData && sourceLength == std::strlen(sourceData) ? "whole text" : "not the text") +
                           (fileName ? " file" : " no file") + (include ? " include" : " no include") + " " +
                           (functionName ? functionName : "-") + " " + (profile ? profile : "-") + " " + flags +
                           (pump ? " pump" : " no pump") + " macros";
        for (const D3D10_SHADER_MACRO* m = defines; m && m->Name; ++m)
            line += std::string(" ") + m->Name + "=" + (m->Definition ? m->Definition : "");
        platform_hooks::logCall(line);
    }
    if (shader) *shader = nullptr;
    if (errorMessages) *errorMessages = nullptr;
    HRESULT hr = E_INVALIDARG;
    // Only synchronous compiles exist here.
    if (!pump && sourceData && functionName && profile) {
        try {
            platform_hlsl::Outcome out =
                platform_hlsl::compile(sourceData, sourceLength, defines, functionName, profile, flags1);
            hr = out.hr;
            if (errorMessages && !out.messages.empty()) *errorMessages = Blob::createText(out.messages);
            if (SUCCEEDED(hr) && shader) {
                std::vector<uint8_t> bytes(out.code.size() * sizeof(uint32_t));
                std::memcpy(bytes.data(), out.code.data(), bytes.size());
                *shader = Blob::create(std::move(bytes));
            }
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        } catch (...) {
            hr = E_FAIL;
        }
    }
    if (result) *result = hr;
    return hr;
}
