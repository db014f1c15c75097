// Plain CPU reference of the denoise kernels' arithmetic: the oracle that the
// HLSL kernels, run on the GPU, are held against. It follows the kernels step
// by step in 32-bit floats, but loads every patch texel afresh per candidate.
#pragma once

#include <cstdint>
#include <vector>

namespace nlm_reference {

// A plane as a texture holds it: 16-bit codes row by row, `channels` codes per
// texel (1 for luma, 2 for chroma: cb then cr), rows `width` texels long.
struct Plane {
    int width = 0;
    int height = 0;
    int channels = 1;
    std::vector<uint16_t> codes;

    // A texel load: code / 65535, or 0 outside the plane.
    float load(int x, int y, int channel) const;
};

// One dispatch as the GPU pass sets it up.
struct Dispatch {
    std::vector<const Plane*> textureArray;  // as bound: element dt is candidate frame dt
    int reference = 15;                      // element holding the reference patch
    int spaceRadius = 0;                     // R
    int timeRadius = 0;                      // T; candidates come from elements 0 .. 2T
    float h2 = 1.0f;                         // strength
    int width = 0;                           // elements per outBuff row (alignedWidth)
    int groupsX = 0;                         // thread groups, as dispatched
    int groupsY = 0;
};

// 0.20 (r4 - t4)^2 + 0.07 (corners) + 0.12 (edges) over positions 0..8 in row order.
float patchDistance(const float reference[9], const float candidate[9]);

// Output of the luma thread at pixel (x, y), in host units.
float lumaThread(const Dispatch& d, int x, int y);
// Output (cb, cr) of the chroma thread for pixel pair (i, y), in host units.
void chromaThread(const Dispatch& d, int i, int y, float out[2]);

// Every thread of a dispatch, writing outBuff (three floats per element) as the
// kernels do: luma component x; chroma components y and z of both pair pixels.
void lumaKernel(const Dispatch& d, std::vector<float>& outBuff);
void chromaKernel(const Dispatch& d, std::vector<float>& outBuff);

}  // namespace nlm_reference
