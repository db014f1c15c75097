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

// One row of three texels across a candidate's patch.
struct Row
{
    TEXEL l, c, r;
};

#define LOAD_ROW(row, texture, x, y)                \
    row.l = texture.Load(int3((x), (y), 0), int2(-1, 0));   \
    row.c = texture.Load(int3((x), (y), 0));                \
    row.r = texture.Load(int3((x), (y), 0), int2(1, 0))

// The search over `frames` frames (a literal, at most 3: T 0 or 1), dx outer,
// dy middle, dt inner. Per frame the rows above and through the candidate are
// kept while dy walks down the column, so a candidate loads one row of three
// texels. Every loop over frames unrolls, so every texture index is a literal.
void searchRows(int2 q, Patch reference, int frames, int R, float H, inout TEXEL sum, inout TEXEL value)
{
    [loop] for (int dx = -R; dx <= R; ++dx)
    {
        int x = q.x + dx;
        Row above[3];
        Row middle[3];
        [unroll] for (int f = 0; f < frames; ++f)
        {
            LOAD_ROW(above[f], textureArray[f], x, q.y - R - 1);
            LOAD_ROW(middle[f], textureArray[f], x, q.y - R);
        }
        [loop] for (int dy = -R; dy <= R; ++dy)
        {
            [unroll(MAX_FRAMES)] for (int dt = 0; dt < frames; ++dt)
            {
                Row below;
                LOAD_ROW(below, textureArray[dt], x, q.y + dy + 1);
                Patch candidate;
                candidate.p0 = above[dt].l;
                candidate.p1 = above[dt].c;
                candidate.p2 = above[dt].r;
                candidate.p3 = middle[dt].l;
                candidate.p4 = middle[dt].c;
                candidate.p5 = middle[dt].r;
                candidate.p6 = below.l;
                candidate.p7 = below.c;
                candidate.p8 = below.r;
                accumulate(reference, candidate, H, sum, value);
                // Field by field, as the sliding window is shifted (see fixed.hlsl).
                above[dt].l = middle[dt].l;
                above[dt].c = middle[dt].c;
                above[dt].r = middle[dt].r;
                middle[dt].l = below.l;
                middle[dt].c = below.c;
                middle[dt].r = below.r;
            }
        }
    }
}

// Any R and T: each candidate's patch is read whole from its frame; on a GPU
// the texture cache serves the overlap between neighbouring candidates, and
// no frame's rows are held in registers. The temporal loop unrolls to
// `frames` (a literal) steps, of which the first 2T + 1 count.
void searchEachPatch(int2 q, Patch reference, int frames, int R, int T, float H, inout TEXEL sum, inout TEXEL value)
{
    [loop] for (int dx = -R; dx <= R; ++dx)
    {
        [loop] for (int dy = -R; dy <= R; ++dy)
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
