#include "pipeline/plane_convert.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Half-sum toward minus infinity; >> on a negative int is arithmetic with
// every compiler this builds with.
inline int32_t pairAverage(int32_t a, int32_t b) { return (a + b) >> 1; }

inline ChromaTexel pairTexel(const PixelYC& a, const PixelYC& b) {
    return ChromaTexel{encodeChroma(pairAverage(a.cb, b.cb)), encodeChroma(pairAverage(a.cr, b.cr))};
}

// Truncation toward zero with the out-of-range result of the hardware
// conversion (INT32_MIN), then the low 16 bits, all without undefined
// conversions. NaN fails both comparisons.
inline int16_t floatToHost(float f) {
    uint32_t bits = 0x80000000u;
    if (f >= -2147483648.0f && f < 2147483648.0f) bits = static_cast<uint32_t>(static_cast<int32_t>(f));
    int32_t low = static_cast<int32_t>(bits & 0xFFFFu);
    return static_cast<int16_t>(low >= 0x8000 ? low - 0x10000 : low);
}

// Whether a row loop over this many bytes gains from a team of threads:
// below a few megabytes one thread finishes before a team has started, and
// on a busy machine a team can wait far longer for a thread to run.
inline bool worthATeam(size_t bytes) { return bytes >= (size_t{2} << 20); }

}  // namespace

void packFrameRows(const PixelYC* source, int32_t rowPixels, uint16_t* lumaPlane, int32_t lumaPitch,
                   ChromaTexel* chromaPlane, int32_t chromaPitch, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return;
    const int32_t lumaRight = width + planeBorder;          // first right-border texel
    const int32_t lumaEnd = lumaPlaneWidth(width);
    const int32_t chromaRight = (width + planeBorder) / 2;  // E
    const int32_t chromaEnd = chromaPlaneWidth(width);
    // Border pairs (0, 1) and (W - 2, W - 1), held inside the row for W = 1.
    const int32_t leftB = width > 1 ? 1 : 0;
    const int32_t rightA = width > 1 ? width - 2 : 0;

#pragma omp parallel for schedule(static) if (worthATeam(static_cast<size_t>(width) * height * sizeof(PixelYC)))
    for (int32_t j = 0; j < height; ++j) {
        const PixelYC* src = source + static_cast<ptrdiff_t>(j) * rowPixels;
        const ptrdiff_t r = j + planeBorder;
        uint16_t* luma = lumaPlane + r * lumaPitch;
        ChromaTexel* chroma = chromaPlane + r * chromaPitch;

        for (int32_t x = 0; x < width; ++x) luma[x + planeBorder] = encodeLuma(src[x].y);
        const uint16_t left = encodeLuma(src[0].y);
        for (int32_t c = 0; c < planeBorder; ++c) luma[c] = left;
        const uint16_t right = encodeLuma(src[width - 1].y);
        for (int32_t c = lumaRight; c < lumaEnd; ++c) luma[c] = right;

        for (int32_t k = 0; 2 * k + 1 < width; ++k)
            chroma[planeBorder / 2 + k] = pairTexel(src[2 * k], src[2 * k + 1]);
        const ChromaTexel leftPair = pairTexel(src[0], src[leftB]);
        for (int32_t c = 0; c < planeBorder / 2; ++c) chroma[c] = leftPair;
        const ChromaTexel rightPair = pairTexel(src[rightA], src[width - 1]);
        for (int32_t c = chromaRight; c < chromaEnd; ++c) chroma[c] = rightPair;
    }
}

void packBorderRows(uint16_t* lumaPlane, int32_t lumaPitch, ChromaTexel* chromaPlane,
                    int32_t chromaPitch, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return;
    const size_t lumaBytes = static_cast<size_t>(lumaPlaneWidth(width)) * sizeof(uint16_t);
    const size_t chromaBytes = static_cast<size_t>(chromaPlaneWidth(width)) * sizeof(ChromaTexel);
    const ptrdiff_t first = planeBorder;
    const ptrdiff_t last = height + planeBorder - 1;

#pragma omp parallel for schedule(static) if (worthATeam(2 * planeBorder * (lumaBytes + chromaBytes)))
    for (int32_t i = 0; i < planeBorder; ++i) {
        const ptrdiff_t below = last + 1 + i;
        std::memcpy(lumaPlane + i * lumaPitch, lumaPlane + first * lumaPitch, lumaBytes);
        std::memcpy(lumaPlane + below * lumaPitch, lumaPlane + last * lumaPitch, lumaBytes);
        std::memcpy(chromaPlane + i * chromaPitch, chromaPlane + first * chromaPitch, chromaBytes);
        std::memcpy(chromaPlane + below * chromaPitch, chromaPlane + last * chromaPitch, chromaBytes);
    }
}

void unpackResult(const float* readback, int32_t alignedWidth, int32_t width, int32_t height,
                  PixelYC* result) {
    for (int32_t j = 0; j < height; ++j) {
        const float* element = readback + static_cast<ptrdiff_t>(j) * alignedWidth * 3;
        PixelYC* out = result + static_cast<ptrdiff_t>(j) * width;
        int32_t x = 0;
#if defined(__SSE2__)
        // An element's three floats become its pixel's three fields, so eight
        // pixels are 24 floats in a row turned into 24 int16 values.
        // cvttps2dq truncates toward zero and gives INT32_MIN for NaN and
        // out-of-range values, exactly as floatToHost does.
        for (; x + 8 <= width; x += 8, element += 24) {
            __m128i packed[3];
            for (int k = 0; k < 3; ++k) {
                __m128i a = _mm_cvttps_epi32(_mm_loadu_ps(element + 8 * k));
                __m128i b = _mm_cvttps_epi32(_mm_loadu_ps(element + 8 * k + 4));
                // The low 16 bits, sign-extended, pass the saturating pack unchanged.
                a = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
                b = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
                packed[k] = _mm_packs_epi32(a, b);
            }
            auto* bytes = reinterpret_cast<__m128i*>(out + x);
            _mm_storeu_si128(bytes, packed[0]);
            _mm_storeu_si128(bytes + 1, packed[1]);
            _mm_storeu_si128(bytes + 2, packed[2]);
        }
#endif
        for (; x < width; ++x, element += 3) {
            out[x].y = floatToHost(element[0]);
            out[x].cb = floatToHost(element[1]);
            out[x].cr = floatToHost(element[2]);
        }
    }
}

void copyOut(const PixelYC* result, int32_t width, int32_t height, PixelYC* output,
             int32_t rowPixels) {
    if (width < 1) return;
    const size_t rowBytes = static_cast<size_t>(width) * sizeof(PixelYC);

#pragma omp parallel for schedule(static) if (worthATeam(rowBytes * static_cast<size_t>(height)))
    for (int32_t j = 0; j < height; ++j)
        std::memcpy(output + static_cast<ptrdiff_t>(j) * rowPixels,
                    result + static_cast<ptrdiff_t>(j) * width, rowBytes);
}
