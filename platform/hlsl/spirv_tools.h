// What is done to glslang's SPIR-V before it leaves the compiler, and the
// validation that the Vulkan stand-in repeats before it creates a pipeline.
#pragma once

#include "platform/win32/win32_base.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform_hlsl {

// Direct3D packs a structured buffer of 3-component 32-bit vectors at 12
// bytes per element where glslang's std430 rules give 16; rewrites the
// ArrayStride of such runtime arrays to 12. Returns how many were rewritten.
int packVec3Strides(std::vector<uint32_t>& words);

// SPIRV-Tools' performance passes, then full unrolling of the innermost
// loops with a constant trip count that fit a budget, then the merging of
// repeated texel loads (fetch_merge.h); the module's bindings are kept as
// they are.
bool optimizeSpirv(std::vector<uint32_t>& words, std::string* log);

// Validates a module as the Vulkan 1.1 stand-in runs it (scalar block layout
// enabled). The bytes need not be aligned; a size that is not a whole number
// of words, or too short for a header, is invalid.
QUENDA_PLATFORM_API bool validateSpirv(const void* bytes, size_t size, std::string* log);

}  // namespace platform_hlsl
