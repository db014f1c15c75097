// Fixed parameters: R, T and h2 are compile-time constants.
#if TIME_SEARCH_RADIUS > MAX_TIME_RADIUS
#error "TIME_SEARCH_RADIUS exceeds MAX_TIME_RADIUS: the temporal loop unrolls to at most MAX_FRAMES frames"
#endif
#define FRAMES (2 * TIME_SEARCH_RADIUS + 1)

#if TIME_SEARCH_RADIUS <= 1

void search(int2 q, Patch reference[PIXEL_ROWS], inout TEXEL sum[PIXEL_ROWS], inout TEXEL value[PIXEL_ROWS])
{
    searchRows(q, reference, FRAMES, SPACE_SEARCH_RADIUS, H2, sum, value);
}

#else

void search(int2 q, Patch reference[PIXEL_ROWS], inout TEXEL sum[PIXEL_ROWS], inout TEXEL value[PIXEL_ROWS])
{
    searchEachPatch(q, reference[0], FRAMES, SPACE_SEARCH_RADIUS, TIME_SEARCH_RADIUS, H2, sum[0], value[0]);
}

#endif
