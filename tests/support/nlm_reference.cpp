#include "tests/support/nlm_reference.h"

#include <cmath>
#include <cstddef>

namespace nlm_reference {

float Plane::load(int x, int y, int channel) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0.0f;
    return codes[(static_cast<size_t>(y) * width + x) * channels + channel] / 65535.0f;
}

namespace {

// The 3x3 patch around (qx, qy) of one channel, positions 0..8 in row order.
void loadPatch(const Plane& plane, int qx, int qy, int channel, float patch[9]) {
    for (int k = 0; k < 9; ++k) patch[k] = plane.load(qx + k % 3 - 1, qy + k / 3 - 1, channel);
}

// The weighted mean of one channel around texel (qx, qy), before scaling.
float searchMean(const Dispatch& d, int qx, int qy, int channel) {
    const int R = d.spaceRadius;
    const int T = d.timeRadius;
    const float H = d.h2;
    float current[9];
    loadPatch(*d.textureArray[d.reference], qx, qy, channel, current);

    float sum = 0.0f;
    float value = 0.0f;
    for (int dx = -R; dx <= R; ++dx) {
        for (int dy = -R; dy <= R; ++dy) {
            for (int dt = 0; dt <= 2 * T; ++dt) {
                float candidate[9];
                loadPatch(*d.textureArray[dt], qx + dx, qy + dy, channel, candidate);
                float c = candidate[4];
                float dist = patchDistance(current, candidate);
                float w = std::exp(-std::sqrt(dist) * H);
                sum += w;
                value += c * w;
            }
        }
    }
    return value / sum;
}

}  // namespace

float patchDistance(const float r[9], const float t[9]) {
    float e[9];
    for (int k = 0; k < 9; ++k) e[k] = r[k] - t[k];
    float corners = e[0] * e[0] + e[2] * e[2] + e[6] * e[6] + e[8] * e[8];
    float edges = e[1] * e[1] + e[3] * e[3] + e[5] * e[5] + e[7] * e[7];
    return 0.20f * (e[4] * e[4]) + 0.07f * corners + 0.12f * edges;
}

// The border (16 texels, 8 chroma pairs), the output scale (65535 / 8) and
// the host zeros (2048 and 4096 output units) are written here as numbers,
// not taken from gpu/kernel_layout.h: the reference checks the layout too.
float lumaThread(const Dispatch& d, int x, int y) {
    return searchMean(d, x + 16, y + 16, 0) * (65535.f / 8.f) - 2048.f;
}

void chromaThread(const Dispatch& d, int i, int y, float out[2]) {
    for (int channel = 0; channel < 2; ++channel)
        out[channel] = searchMean(d, i + 8, y + 16, channel) * (65535.f / 8.f) - 4096.f;
}

void lumaKernel(const Dispatch& d, std::vector<float>& outBuff) {
    for (int y = 0; y < d.groupsY * 16; ++y) {
        for (int x = 0; x < d.groupsX * 16; ++x)
            outBuff[(static_cast<size_t>(y) * d.width + x) * 3] = lumaThread(d, x, y);
    }
}

void chromaKernel(const Dispatch& d, std::vector<float>& outBuff) {
    for (int y = 0; y < d.groupsY * 16; ++y) {
        for (int i = 0; i < d.groupsX * 8; ++i) {
            float pair[2];
            chromaThread(d, i, y, pair);
            for (int p = 0; p < 2; ++p) {
                size_t element = static_cast<size_t>(y) * d.width + 2 * i + p;
                outBuff[element * 3 + 1] = pair[0];
                outBuff[element * 3 + 2] = pair[1];
            }
        }
    }
}

}  // namespace nlm_reference
