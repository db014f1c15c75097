// glslang's HLSL front end, set up as the Direct3D runtime lays out a compute
// kernel's resources for the Vulkan stand-in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform_hlsl {

// Compiles one HLSL compute kernel to SPIR-V 1.3 for Vulkan 1.1. The preamble
// goes before the source (macro definitions); the entry point keeps its name
// in the module. On failure returns false with glslang's log; on success the
// log holds any warnings.
bool hlslToSpirv(const char* source, size_t length, const std::string& preamble,
                 const char* entryPoint, std::vector<uint32_t>* words, std::string* log);

}  // namespace platform_hlsl
