// Texel loads that read the same texel of the same read-only image twice are
// made one: the later load becomes a copy of the earlier. Shaders written for
// GPUs load a patch's texels again where a texture cache would serve them;
// on a CPU device every load is paid for in full.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32/win32_base.h"

namespace platform_hlsl {

// Rewrites each OpImageFetch whose image, texel (its coordinate with any
// constant offset applied, compared as a base value plus a constant) and
// level equal those of an earlier fetch that dominates it (the same block,
// or the function's first block) into an OpCopyObject of the earlier
// result. Fetches with other image operands are left alone. Returns how many
// were rewritten; QUENDA_HLSL_KEEP_FETCHES=1 turns the rewrite off.
QUENDA_PLATFORM_API int mergeRepeatedFetches(std::vector<uint32_t>& words);

}  // namespace platform_hlsl
