// The one walk over a SPIR-V module's instructions, for the stand-ins that
// read or patch compiled kernels; the numbers are those of the installed
// SPIR-V header.
#pragma once

#include <spirv/unified1/spirv.hpp>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace platform_spirv {

constexpr size_t kHeaderWords = 5;

// True when the words begin with a whole SPIR-V header.
inline bool hasHeader(const std::vector<uint32_t>& words) {
    return words.size() >= kHeaderWords && words[0] == spv::MagicNumber;
}

// Calls visit(op, operands, operandCount, offset) for each instruction in
// order, offset being that of its first word; operands point into words, so
// a visitor given non-const words may patch them. Returns false, having
// stopped there, at a malformed instruction or when a visitor that returns
// bool returns false.
template <typename Words, typename Visit>
bool forEachInstruction(Words& words, Visit visit) {
    for (size_t at = kHeaderWords; at < words.size();) {
        const uint32_t count = words[at] >> spv::WordCountShift;
        if (count == 0 || at + count > words.size()) return false;
        const auto op = static_cast<spv::Op>(words[at] & spv::OpCodeMask);
        if constexpr (std::is_same_v<decltype(visit(op, &words[at + 1], size_t{}, at)), bool>) {
            if (!visit(op, &words[at + 1], size_t{count - 1}, at)) return false;
        } else {
            visit(op, &words[at + 1], size_t{count - 1}, at);
        }
        at += count;
    }
    return true;
}

}  // namespace platform_spirv
