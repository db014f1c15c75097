// How the kernels see a frame, shared with the code that fills their inputs:
// the replicated border around each plane (luma texel (x + border, y + border)
// holds pixel (x, y)), the texture slots of a runtime kernel (the temporal
// window, then the current frame again as the reference in the last slot),
// the side of a thread group, the longest temporal window, and the encoding
// of host units in the planes (8 texel steps per unit, host 0 at 0x4000 in
// luma and 0x8000 in chroma), which the kernels undo on output: a texel's
// 0..1 times OUTPUT_SCALE, less HOST_ZERO.
// Macros, so that the kernel texts are built from the same numbers.
#pragma once

#define QUENDA_PLANE_BORDER 16
#define QUENDA_RUNTIME_SLOTS 16
#define QUENDA_THREAD_GROUP_SIDE 16
#define QUENDA_MAX_TIME_RADIUS 7
#define QUENDA_MAX_WINDOW_FRAMES 15  // 2 * QUENDA_MAX_TIME_RADIUS + 1, as a literal for [unroll(n)]
#define QUENDA_HOST_UNIT_STEPS 8
#define QUENDA_LUMA_ZERO 0x4000
#define QUENDA_CHROMA_ZERO 0x8000

// The lines that open a kernel text: the shared numbers, its plane (texel
// type, texel of output position 0, host 0 in output units) and its form
// (texture slots, slot of the reference patch). Luma texels are pixels; a
// chroma texel is a pixel pair, so its side border is half as wide.
#define QUENDA_KERNEL_NUMBER(n) QUENDA_KERNEL_DIGITS(n)
#define QUENDA_KERNEL_DIGITS(n) #n
#define QUENDA_KERNEL_LIMITS                                                           \
    "#define GROUP_SIDE " QUENDA_KERNEL_NUMBER(QUENDA_THREAD_GROUP_SIDE) "\n"          \
    "#define MAX_TIME_RADIUS " QUENDA_KERNEL_NUMBER(QUENDA_MAX_TIME_RADIUS) "\n"       \
    "#define MAX_FRAMES " QUENDA_KERNEL_NUMBER(QUENDA_MAX_WINDOW_FRAMES) "\n"
#define QUENDA_PLANE_LINES(texel, centreX, zero)                                                   \
    QUENDA_KERNEL_LIMITS                                                                            \
    "#define TEXEL " texel "\n"                                                                     \
    "#define CENTRE int2(" centreX ", " QUENDA_KERNEL_NUMBER(QUENDA_PLANE_BORDER) ")\n"             \
    "#define HOST_ZERO (" QUENDA_KERNEL_NUMBER(zero) " / " QUENDA_KERNEL_NUMBER(QUENDA_HOST_UNIT_STEPS) ")\n"   \
    "#define OUTPUT_SCALE (65535.f / " QUENDA_KERNEL_NUMBER(QUENDA_HOST_UNIT_STEPS) ".f)\n"
#define QUENDA_LUMA_PLANE QUENDA_PLANE_LINES("float", QUENDA_KERNEL_NUMBER(QUENDA_PLANE_BORDER), QUENDA_LUMA_ZERO)
#define QUENDA_CHROMA_PLANE \
    QUENDA_PLANE_LINES("float2", QUENDA_KERNEL_NUMBER(QUENDA_PLANE_BORDER) " / 2", QUENDA_CHROMA_ZERO)
#define QUENDA_RUNTIME_FORM                                            \
    "#define SLOTS " QUENDA_KERNEL_NUMBER(QUENDA_RUNTIME_SLOTS) "\n"   \
    "#define REFERENCE (SLOTS - 1)\n"
#define QUENDA_FIXED_FORM                                  \
    "#define SLOTS (2 * TIME_SEARCH_RADIUS + 1)\n"  \
    "#define REFERENCE TIME_SEARCH_RADIUS\n"

#include <cstddef>
#include <cstdint>

// The constant buffer PARAM at b0, one 16-byte register c0. The fixed forms
// call the fields other than width dummy1, dummy2 and dummy3 and do not read
// them.
struct PARAM {
    int32_t spaceSearchRadius;  // c0.x
    int32_t timeSearchRadius;   // c0.y
    int32_t width;              // c0.z: elements per row of outBuff
    float h2;                   // c0.w
};
static_assert(sizeof(PARAM) == 16, "PARAM is one 16-byte constant register");
static_assert(offsetof(PARAM, spaceSearchRadius) == 0 && offsetof(PARAM, timeSearchRadius) == 4 &&
                  offsetof(PARAM, width) == 8 && offsetof(PARAM, h2) == 12,
              "PARAM's fields sit at c0.x, c0.y, c0.z and c0.w");

static_assert(2 * QUENDA_MAX_TIME_RADIUS + 1 == QUENDA_MAX_WINDOW_FRAMES, "the longest window is 2T + 1 frames");
static_assert(QUENDA_THREAD_GROUP_SIDE == 16, "chroma.hlsl writes its group width as 16 / 2");
static_assert(QUENDA_MAX_WINDOW_FRAMES < QUENDA_RUNTIME_SLOTS, "the window fits below the reference slot");
