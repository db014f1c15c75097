// The search as the arithmetic reads, for comparison with the shipped forms
// on a GPU (quenda_kernel_bench --plain); never shipped. dx and dy are loops,
// the temporal loop unrolls up to 15 steps with a literal texture index per
// step, and no frame's texels are kept between candidates. The thread's
// pixel rows are searched one after the other.
void search(int2 q, Patch reference[PIXEL_ROWS], inout TEXEL sum[PIXEL_ROWS], inout TEXEL value[PIXEL_ROWS])
{
#ifdef SPACE_SEARCH_RADIUS
    const int R = SPACE_SEARCH_RADIUS;
    const int T = TIME_SEARCH_RADIUS;
    const float H = H2;
#else
    int R = spaceSearchRadius;
    int T = timeSearchRadius;
    float H = h2;
#endif
    [unroll] for (int k = 0; k < PIXEL_ROWS; ++k)
    [loop] for (int dx = -R; dx <= R; ++dx)
    {
        [loop] for (int dy = -R; dy <= R; ++dy)
        {
            int3 p = int3(q.x + dx, q.y + k + dy, 0);
            [unroll(MAX_FRAMES)] for (int dt = 0; dt <= 2 * T; ++dt)
            {
                // Coordinates rather than LOAD_PATCH's texel offsets: lavapipe's
                // LLVM fails on offset loads from a texture indexed at run time.
                Patch candidate;
                candidate.p0 = textureArray[dt].Load(p + int3(-1, -1, 0));
                candidate.p1 = textureArray[dt].Load(p + int3(0, -1, 0));
                candidate.p2 = textureArray[dt].Load(p + int3(1, -1, 0));
                candidate.p3 = textureArray[dt].Load(p + int3(-1, 0, 0));
                candidate.p4 = textureArray[dt].Load(p);
                candidate.p5 = textureArray[dt].Load(p + int3(1, 0, 0));
                candidate.p6 = textureArray[dt].Load(p + int3(-1, 1, 0));
                candidate.p7 = textureArray[dt].Load(p + int3(0, 1, 0));
                candidate.p8 = textureArray[dt].Load(p + int3(1, 1, 0));
                accumulate(reference[k], candidate, H, sum[k], value[k]);
            }
        }
    }
}
