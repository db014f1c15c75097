// Fixed parameters: R, T and h2 are compile-time constants.
#if TIME_SEARCH_RADIUS > MAX_TIME_RADIUS
#error "TIME_SEARCH_RADIUS exceeds MAX_TIME_RADIUS: the temporal loop unrolls to at most MAX_FRAMES frames"
#endif
#define FRAMES (2 * TIME_SEARCH_RADIUS + 1)
#define ROWS (2 * SPACE_SEARCH_RADIUS + 3)

// Small windows (the default R 3, T 1 and below): the dy and dt loops unroll
// and the window slides along dx in registers. The columns dx - 1, dx and
// dx + 1 of every frame (rows -R - 1 .. R + 1) are kept and one new column is
// loaded per step, so every texel of the window is loaded once. Larger
// windows would make the compiled code large and slow to build.
#if SPACE_SEARCH_RADIUS <= 3 && TIME_SEARCH_RADIUS <= 1

void search(int2 q, Patch reference, inout TEXEL sum, inout TEXEL value)
{
    const int R = SPACE_SEARCH_RADIUS;
    TEXEL left[FRAMES][ROWS];
    TEXEL centre[FRAMES][ROWS];
    [unroll] for (int f = 0; f < FRAMES; ++f)
    {
        [unroll] for (int r = 0; r < ROWS; ++r)
        {
            left[f][r] = textureArray[f].Load(int3(q.x - R - 1, q.y + r - R - 1, 0));
            centre[f][r] = textureArray[f].Load(int3(q.x - R, q.y + r - R - 1, 0));
        }
    }
    [loop] for (int dx = -R; dx <= R; ++dx)
    {
        TEXEL right[FRAMES][ROWS];
        [unroll] for (int g = 0; g < FRAMES; ++g)
        {
            [unroll] for (int s = 0; s < ROWS; ++s)
                right[g][s] = textureArray[g].Load(int3(q.x + dx + 1, q.y + s - R - 1, 0));
        }
        [unroll] for (int dy = -R; dy <= R; ++dy)
        {
            int i = dy + R + 1;
            [unroll(MAX_FRAMES)] for (int dt = 0; dt < FRAMES; ++dt)
            {
                Patch candidate;
                candidate.p0 = left[dt][i - 1];
                candidate.p1 = centre[dt][i - 1];
                candidate.p2 = right[dt][i - 1];
                candidate.p3 = left[dt][i];
                candidate.p4 = centre[dt][i];
                candidate.p5 = right[dt][i];
                candidate.p6 = left[dt][i + 1];
                candidate.p7 = centre[dt][i + 1];
                candidate.p8 = right[dt][i + 1];
                accumulate(reference, candidate, H2, sum, value);
            }
        }
        // Element by element: lavapipe keeps these in registers, while
        // whole-array copies cost it about a third of the kernel.
        [unroll] for (int h = 0; h < FRAMES; ++h)
        {
            [unroll] for (int t = 0; t < ROWS; ++t)
            {
                left[h][t] = centre[h][t];
                centre[h][t] = right[h][t];
            }
        }
    }
}

#elif TIME_SEARCH_RADIUS <= 1

void search(int2 q, Patch reference, inout TEXEL sum, inout TEXEL value)
{
    searchRows(q, reference, FRAMES, SPACE_SEARCH_RADIUS, H2, sum, value);
}

#else

void search(int2 q, Patch reference, inout TEXEL sum, inout TEXEL value)
{
    searchEachPatch(q, reference, FRAMES, SPACE_SEARCH_RADIUS, TIME_SEARCH_RADIUS, H2, sum, value);
}

#endif
