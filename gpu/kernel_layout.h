// How the kernels see a frame, shared with the code that fills their inputs:
// the replicated border around each plane (luma texel (x + border, y + border)
// holds pixel (x, y)) and the texture slots of a runtime kernel (the temporal
// window, then the current frame again as the reference in the last slot).
// Macros, so that the kernel texts are built from the same numbers.
#pragma once

#define QUENDA_PLANE_BORDER 16
#define QUENDA_RUNTIME_SLOTS 16

// The lines that open a kernel text: its plane (texel type, texel of output
// position 0) and its form (texture slots, slot of the reference patch).
// Luma texels are pixels; a chroma texel is a pixel pair, so its side border
// is half as wide.
#define QUENDA_KERNEL_NUMBER(n) QUENDA_KERNEL_DIGITS(n)
#define QUENDA_KERNEL_DIGITS(n) #n
#define QUENDA_LUMA_PLANE                  \
    "#define TEXEL float\n"         \
    "#define CENTRE int2(" QUENDA_KERNEL_NUMBER(QUENDA_PLANE_BORDER) ", " QUENDA_KERNEL_NUMBER(QUENDA_PLANE_BORDER) ")\n"
#define QUENDA_CHROMA_PLANE                \
    "#define TEXEL float2\n"        \
    "#define CENTRE int2(" QUENDA_KERNEL_NUMBER(QUENDA_PLANE_BORDER) " / 2, " QUENDA_KERNEL_NUMBER(QUENDA_PLANE_BORDER) ")\n"
#define QUENDA_RUNTIME_FORM                                            \
    "#define SLOTS " QUENDA_KERNEL_NUMBER(QUENDA_RUNTIME_SLOTS) "\n"   \
    "#define REFERENCE (SLOTS - 1)\n"
#define QUENDA_FIXED_FORM                                  \
    "#define SLOTS (2 * TIME_SEARCH_RADIUS + 1)\n"  \
    "#define REFERENCE TIME_SEARCH_RADIUS\n"
