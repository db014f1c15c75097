// Sizes handed to 32-bit interfaces (a Direct3D ByteWidth or element count,
// a registry DWORD, the 32-bit build's size_t): formed in 64 bits and taken
// only when they fit, so that no count wraps on the way.
#pragma once

#include <cstdint>

// a x b as a 32-bit count; false when the product does not fit.
inline bool checkedSize(uint64_t a, uint64_t b, uint32_t* size) {
    if (b != 0 && a > UINT32_MAX / b) return false;
    *size = static_cast<uint32_t>(a * b);
    return true;
}
