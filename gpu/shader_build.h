// Compute-shader objects from the four kernel texts: the runtime-parameter
// pair through the registry cache, the fixed-parameter pair from track values.
#pragma once

#include <cstdint>

#include "host/filter_table.h"

// Registry key of the compiled-kernel cache, under HKEY_LOCAL_MACHINE.
constexpr const char shaderCacheKeyPath[] = "SOFTWARE\\Aviutl\\Plugins\\quenda for DX11";
constexpr uint32_t shaderCacheBlobLimit = 0x10000;
constexpr uint32_t shaderCompileFlags = 0x8800;  // optimisation level 3, strictness

// The cache key: feature level and plug-in version low, adapter device id high.
uint64_t shaderCacheKey(uint32_t featureLevel, uint32_t deviceId);
// "cs_5_0", "cs_4_1" or "cs_4_0"; null for an unsupported feature level.
const char* shaderProfile(uint32_t featureLevel);

// Macro texts of one plane's fixed kernel: radix-10 integers and h2 as "%f".
struct FixedMacroTexts {
    char space[16];
    char time[16];
    char dispersion[16];
    char h2[64];
};
void formatFixedMacros(int32_t space, int32_t time, int32_t dispersion, FixedMacroTexts* texts);

// The macro table of one plane's fixed kernel, null-terminated, over its own
// texts; Macro is the compiler's {name, definition} pair (D3D10_SHADER_MACRO,
// or vkd3d's D3D_SHADER_MACRO in the DXBC check). DISPERSION_RADIUS, the
// track value behind H2, is defined with the others so that the compiler
// sees every track of the plane; no kernel reads it, and a macro that is
// never referenced leaves the compiled code unchanged.
template <typename Macro>
struct FixedMacros {
    FixedMacros(int32_t space, int32_t time, int32_t dispersion) {
        formatFixedMacros(space, time, dispersion, &texts);
        macros[0] = {"SPACE_SEARCH_RADIUS", texts.space};
        macros[1] = {"TIME_SEARCH_RADIUS", texts.time};
        macros[2] = {"DISPERSION_RADIUS", texts.dispersion};
        macros[3] = {"H2", texts.h2};
        macros[4] = {nullptr, nullptr};
    }
    FixedMacros(const FixedMacros&) = delete;
    FixedMacros& operator=(const FixedMacros&) = delete;
    FixedMacroTexts texts;
    Macro macros[5];
};

// Builds lumaShaderRuntime and chromaShaderRuntime; 1 on success, 0 after a box.
int buildRuntimeShaders(FilterTable* filter, uint32_t deviceId);
// Builds lumaShaderFixed and chromaShaderFixed with the given track values
// compiled in; 1 on success, 0 after a box.
int buildFixedShaders(FilterTable* filter, const DenoiseParams& params);
