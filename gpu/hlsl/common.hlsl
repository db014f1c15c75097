// Shared by the four kernels. Before this text a kernel defines GROUP_SIDE
// (the thread group's side), MAX_TIME_RADIUS and MAX_FRAMES (the longest
// temporal window, 2 * 7 + 1 frames), TEXEL (float for luma; float2, cb and
// cr, for chroma), CENTRE (the border: texel of output position 0), HOST_ZERO
// (the plane's host 0 in output units: 0x4000 / 8 for luma, 0x8000 / 8 for
// chroma), OUTPUT_SCALE (a texel's 0..1 in output units: 65535 / 8), SLOTS
// (the texture count) and REFERENCE (the slot of the current frame's
// reference patch). The fixed forms are compiled with
// SPACE_SEARCH_RADIUS, TIME_SEARCH_RADIUS and H2 defined; the runtime forms
// read R, T and h2 from PARAM.

// Each thread computes PIXEL_ROWS vertically adjacent output pixels (texel
// rows q.y .. q.y + PIXEL_ROWS - 1), each with its own reference patch and
// sums, so that the row search shares each loaded row among their
// candidates. A group covers GROUP_SIDE x GROUP_SIDE pixels with GROUP_ROWS
// (a literal, for [numthreads]) rows of threads. Four rows in the fixed forms
// of T 0 and 1; one elsewhere, where a second row made the runtime forms
// compile about twice as slowly, and a search of whole patches shares
// nothing between rows.
#if defined(SPACE_SEARCH_RADIUS) && TIME_SEARCH_RADIUS <= 1
#define PIXEL_ROWS 4
#define GROUP_ROWS 4
#else
#define PIXEL_ROWS 1
#define GROUP_ROWS 16
#endif
#if PIXEL_ROWS * GROUP_ROWS != GROUP_SIDE
#error "a group's threads must cover GROUP_SIDE rows"
#endif

// The spatial search loops stay loops, except at a fixed R 0 T 0, where each
// is a single step: unrolled, every candidate's texels are visibly the
// reference patch's own, and the compiler keeps only the centre's load.
#if defined(SPACE_SEARCH_RADIUS) && SPACE_SEARCH_RADIUS == 0 && TIME_SEARCH_RADIUS == 0
#define SPATIAL_LOOP [unroll]
#else
#define SPATIAL_LOOP [loop]
#endif

#ifdef SPACE_SEARCH_RADIUS
cbuffer PARAM : register(b0)
{
    int dummy1 : packoffset(c0.x);
    int dummy2 : packoffset(c0.y);
    int width : packoffset(c0.z);
    float dummy3 : packoffset(c0.w);
};
#else
cbuffer PARAM : register(b0)
{
    int spaceSearchRadius : packoffset(c0.x);
    int timeSearchRadius : packoffset(c0.y);
    int width : packoffset(c0.z);
    float h2 : packoffset(c0.w);
};
#endif

// Slots 0 .. 2T hold the temporal window around the current frame.
Texture2D<TEXEL> textureArray[SLOTS] : register(t0);
RWStructuredBuffer<float3> outBuff;

// A 3x3 patch, positions 0 .. 8 in row order: 4 is the centre, 0, 2, 6 and 8
// the corners, 1, 3, 5 and 7 the edge neighbours.
struct Patch
{
    TEXEL p0, p1, p2, p3, p4, p5, p6, p7, p8;
};

// The patch around texel p (an int3 with mip level 0) of one texture, by
// immediate texel offsets, which the load instruction applies itself.
#define LOAD_PATCH(patch, texture, p)                   \
    patch.p0 = texture.Load(p, int2(-1, -1));           \
    patch.p1 = texture.Load(p, int2(0, -1));            \
    patch.p2 = texture.Load(p, int2(1, -1));            \
    patch.p3 = texture.Load(p, int2(-1, 0));            \
    patch.p4 = texture.Load(p);                         \
    patch.p5 = texture.Load(p, int2(1, 0));             \
    patch.p6 = texture.Load(p, int2(-1, 1));            \
    patch.p7 = texture.Load(p, int2(0, 1));             \
    patch.p8 = texture.Load(p, int2(1, 1))

// Weighted squared distance of two patches, per channel:
// 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
TEXEL patchDistance(Patch r, Patch t)
{
    TEXEL e0 = r.p0 - t.p0, e1 = r.p1 - t.p1, e2 = r.p2 - t.p2;
    TEXEL e3 = r.p3 - t.p3, e4 = r.p4 - t.p4, e5 = r.p5 - t.p5;
    TEXEL e6 = r.p6 - t.p6, e7 = r.p7 - t.p7, e8 = r.p8 - t.p8;
    TEXEL corners = e0 * e0 + e2 * e2 + e6 * e6 + e8 * e8;
    TEXEL edges = e1 * e1 + e3 * e3 + e5 * e5 + e7 * e7;
    return 0.20f * (e4 * e4) + 0.07f * corners + 0.12f * edges;
}

// One candidate: weight exp(-sqrt(d) * h2) into sum, the weighted centre
// into value.
void accumulate(Patch reference, Patch candidate, float strength, inout TEXEL sum, inout TEXEL value)
{
    TEXEL w = exp(-sqrt(patchDistance(reference, candidate)) * strength);
    sum += w;
    value += candidate.p4 * w;
}

// A thread's reference patches, from the current frame, and its sums at 0.
void startPixelRows(int2 q, out Patch reference[PIXEL_ROWS], out TEXEL sum[PIXEL_ROWS], out TEXEL value[PIXEL_ROWS])
{
    [unroll] for (int k = 0; k < PIXEL_ROWS; ++k)
    {
        LOAD_PATCH(reference[k], textureArray[REFERENCE], int3(q.x, q.y + k, 0));
        sum[k] = 0.0f;
        value[k] = 0.0f;
    }
}

// The search over `frames` frames (a literal, at most 3: T 0 or 1), dx outer,
// dy middle, dt inner. Per frame the PIXEL_ROWS + 1 rows above the newest are
// kept while dy walks down the column, so a step loads one row of three
// texels for PIXEL_ROWS candidates. Every loop over frames and pixel rows
// unrolls, so every texture and array index is a literal.
void searchRows(int2 q, Patch reference[PIXEL_ROWS], int frames, int R, float H, inout TEXEL sum[PIXEL_ROWS],
                inout TEXEL value[PIXEL_ROWS])
{
    SPATIAL_LOOP for (int dx = -R; dx <= R; ++dx)
    {
        int x = q.x + dx;
        // Rows dy - 1 .. dy + PIXEL_ROWS of each frame, the last loaded at dy:
        // the texels left of, at and right of column x. Arrays of texels, not
        // of structs, which take vkd3d's compiler several times as long.
        TEXEL l[3][PIXEL_ROWS + 2], c[3][PIXEL_ROWS + 2], r[3][PIXEL_ROWS + 2];
        [unroll] for (int f = 0; f < frames; ++f)
        {
            [unroll] for (int n = 0; n <= PIXEL_ROWS; ++n)
            {
                int3 at = int3(x, q.y - R - 1 + n, 0);
                l[f][n] = textureArray[f].Load(at, int2(-1, 0));
                c[f][n] = textureArray[f].Load(at);
                r[f][n] = textureArray[f].Load(at, int2(1, 0));
            }
        }
        SPATIAL_LOOP for (int dy = -R; dy <= R; ++dy)
        {
            [unroll(MAX_FRAMES)] for (int dt = 0; dt < frames; ++dt)
            {
                int3 at = int3(x, q.y + dy + PIXEL_ROWS, 0);
                l[dt][PIXEL_ROWS + 1] = textureArray[dt].Load(at, int2(-1, 0));
                c[dt][PIXEL_ROWS + 1] = textureArray[dt].Load(at);
                r[dt][PIXEL_ROWS + 1] = textureArray[dt].Load(at, int2(1, 0));
                [unroll] for (int k = 0; k < PIXEL_ROWS; ++k)
                {
                    Patch candidate;
                    candidate.p0 = l[dt][k]; candidate.p1 = c[dt][k]; candidate.p2 = r[dt][k];
                    candidate.p3 = l[dt][k + 1]; candidate.p4 = c[dt][k + 1]; candidate.p5 = r[dt][k + 1];
                    candidate.p6 = l[dt][k + 2]; candidate.p7 = c[dt][k + 2]; candidate.p8 = r[dt][k + 2];
                    accumulate(reference[k], candidate, H, sum[k], value[k]);
                }
                [unroll] for (int m = 0; m <= PIXEL_ROWS; ++m)
                {
                    l[dt][m] = l[dt][m + 1];
                    c[dt][m] = c[dt][m + 1];
                    r[dt][m] = r[dt][m + 1];
                }
            }
        }
    }
}

// Any R and T, one pixel row: each candidate's patch is read whole from its
// frame; on a GPU the texture cache serves the overlap between neighbouring
// candidates, and no frame's rows are held in registers. The temporal loop
// unrolls to `frames` (a literal) steps, of which the first 2T + 1 count.
void searchEachPatch(int2 q, Patch reference, int frames, int R, int T, float H, inout TEXEL sum, inout TEXEL value)
{
    SPATIAL_LOOP for (int dx = -R; dx <= R; ++dx)
    {
        SPATIAL_LOOP for (int dy = -R; dy <= R; ++dy)
        {
            int3 p = int3(q.x + dx, q.y + dy, 0);
            [unroll(MAX_FRAMES)] for (int dt = 0; dt < frames; ++dt)
            {
                if (dt <= 2 * T)
                {
                    Patch candidate;
                    LOAD_PATCH(candidate, textureArray[dt], p);
                    accumulate(reference, candidate, H, sum, value);
                }
            }
        }
    }
}
