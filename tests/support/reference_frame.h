// The expected denoised frame, computed on the CPU from the same packed
// planes and clamped window that the GPU pass binds.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/filter_table.h"
#include "tests/support/test_host.h"

// Frame n of the clip denoised with the tracks, runtime-kernel layout
// (reference element 15), as the GPU pass would produce it.
std::vector<PixelYC> referenceFrame(const SyntheticClip& clip, int n, const std::array<int32_t, 6>& tracks);

// Largest absolute difference over all components, and how many components
// differ at all.
struct FrameDifference {
    int maxAbs = 0;
    long differing = 0;
};
FrameDifference compareFrames(const std::vector<PixelYC>& a, const std::vector<PixelYC>& b);
