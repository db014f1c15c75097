// The four denoise kernels as HLSL text, compiled at run time with entry "CS".
// Runtime forms read radius, temporal radius and strength from PARAM; fixed
// forms take them as the macros SPACE_SEARCH_RADIUS, TIME_SEARCH_RADIUS, H2.
#pragma once

extern const char lumaRuntimeSource[];
extern const char chromaRuntimeSource[];
extern const char lumaFixedSource[];
extern const char chromaFixedSource[];
