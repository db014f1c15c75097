// Which loops of an optimised module to unroll in full: the innermost ones
// whose trip count is a constant, as long as their copies stay within a
// budget of words. Unrolling keeps every operation and its order; it takes
// the loop's bookkeeping out of each iteration and lets the driver's compiler
// schedule the copies together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win32/win32_base.h"

namespace platform_hlsl {

// The trip count of a loop counting an integer from one constant to another
// by a constant step, as SPIRV-Tools leaves such a loop; -1 for any other.
struct LoopShape {
    size_t headerOffset = 0;  // word offset of the header's OpLabel
    size_t words = 0;         // the loop's words, header to merge block
    int64_t tripCount = -1;
    bool innermost = false;
    uint32_t control = 0;     // its LoopControl mask
};
QUENDA_PLATFORM_API std::vector<LoopShape> describeLoops(const std::vector<uint32_t>& words);

// Sets the Unroll loop control on innermost constant-count loops without a
// loop control of their own, in module order, while the words their extra
// copies add stay within `wordBudget`, and on innermost loops that run once
// whatever their control. Returns how many were marked.
QUENDA_PLATFORM_API int markLoopsForUnrolling(std::vector<uint32_t>& words, size_t wordBudget);

}  // namespace platform_hlsl
