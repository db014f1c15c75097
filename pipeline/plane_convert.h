// Conversion between host pixels and the padded 16-bit planes the kernels
// read, and from the kernels' float output back to host pixels.
//
// lumaPlane is (W + 32) x (H + 32) R16 texels; chromaPlane is
// (W + 32) / 2 x (H + 32) R16G16 texels, each the averaged cb/cr of a pixel
// pair. Both carry a 16-texel replicated border on every side; image row j is
// plane row j + 16. Pitches are in texels of the plane.
#pragma once

#include <cstdint>

#include "gpu/kernel_layout.h"
#include "host/filter_table.h"

enum : int32_t { planeBorder = QUENDA_PLANE_BORDER };

// One chromaPlane texel, cb first in memory.
struct ChromaTexel {
    uint16_t cb;
    uint16_t cr;
};

inline int32_t lumaPlaneWidth(int32_t width) { return width + 2 * planeBorder; }
inline int32_t chromaPlaneWidth(int32_t width) { return (width + 2 * planeBorder) / 2; }
inline int32_t planeHeight(int32_t height) { return height + 2 * planeBorder; }

// 8·y + 0x4000 and 8·c + 0x8000, kept to the low 16 bits: values outside
// -2048..6143 (luma) and -4096..4095 (chroma) wrap rather than clamp.
inline uint16_t encodeLuma(int32_t y) {
    return static_cast<uint16_t>(static_cast<uint32_t>(y) * QUENDA_HOST_UNIT_STEPS + QUENDA_LUMA_ZERO);
}
inline uint16_t encodeChroma(int32_t c) {
    return static_cast<uint16_t>(static_cast<uint32_t>(c) * QUENDA_HOST_UNIT_STEPS + QUENDA_CHROMA_ZERO);
}

// Writes plane rows 16 .. H + 15 of both planes, side borders included, from
// a width x height source whose rows are rowPixels pixels apart. Pixels
// beyond the width are never read. A frame one pixel wide pairs its pixel
// with itself. Does nothing for an empty frame. Rows run in parallel.
void packFrameRows(const PixelYC* source, int32_t rowPixels, uint16_t* lumaPlane, int32_t lumaPitch,
                   ChromaTexel* chromaPlane, int32_t chromaPitch, int32_t width, int32_t height);

// Fills rows 0 .. 15 and H + 16 .. H + 31 of both planes with copies of rows
// 16 and H + 15; call once packFrameRows has finished. Only the plane's own
// texels of a row are touched, never the pitch padding.
void packBorderRows(uint16_t* lumaPlane, int32_t lumaPitch, ChromaTexel* chromaPlane,
                    int32_t chromaPitch, int32_t width, int32_t height);

// Converts the first width x height elements of the readback buffer (three
// floats each, rows alignedWidth elements apart) into the tightly packed
// result. Each float is truncated toward zero to int32 (NaN and values out of
// int32 range give INT32_MIN) and its low 16 bits are stored. Runs on the
// calling thread only.
void unpackResult(const float* readback, int32_t alignedWidth, int32_t width, int32_t height,
                  PixelYC* result);

// Copies the width x height packed result into the host image whose rows are
// rowPixels apart; pixels beyond the width are left as they are.
void copyOut(const PixelYC* result, int32_t width, int32_t height, PixelYC* output,
             int32_t rowPixels);
