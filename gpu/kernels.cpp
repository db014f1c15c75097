// The four denoise kernels. Each output pixel is the non-local-means average
// of the candidates (dx, dy, dt), visited dx outer, dy middle, dt inner, with
//   d = 0.20 (r4 - c)^2 + 0.07 (corner terms) + 0.12 (edge terms),
//   w = exp(-sqrt(d) * H),  sum += w,  value += c * w.
//
// Texel loads are what these kernels spend their time on (on a CPU rasterizer
// they cost more than the arithmetic), so the reference patch is loaded once
// and, for searches of up to 3 frames and in the fixed forms, every texel of
// a frame's window too: step by step along dx, one new column of the window
// per frame while the two columns before it are kept. Where the window's rows
// are compile-time constants the columns stay in registers; otherwise they
// sit in arrays indexed by row. The runtime forms' search over more frames
// keeps the rows above and through each candidate and loads the row below.
// The temporal loops unroll with constant frame indices; candidates that a
// search covers but the parameters exclude weigh exactly 0, which leaves sum
// and value unchanged.
#include "gpu/kernels.h"

const char lumaRuntimeSource[] = R"hlsl(
cbuffer PARAM : register(b0)
{
    int spaceSearchRadius : packoffset(c0.x);
    int timeSearchRadius : packoffset(c0.y);
    int width : packoffset(c0.z);
    float h2 : packoffset(c0.w);
};

// Elements 0 .. 2T: the temporal window. Element 15: the current frame.
Texture2D<float> textureArray[16] : register(t0);
RWStructuredBuffer<float3> outBuff;

// The reference patch: corners (positions 0, 2, 6, 8), edge neighbours
// (1, 3, 5, 7) and centre (4).
struct Patch
{
    float4 corners;
    float4 edges;
    float centre;
};

// The candidate's rows above, through and below its centre are (a0 a1 a2),
// (m0 m1 m2), (b0 b1 b2). From the differences reference - candidate:
// 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float patchDistance(Patch current, float a0, float a1, float a2, float m0, float m1, float m2, float b0, float b1,
                    float b2)
{
    float4 corners = current.corners - float4(a0, a2, b0, b2);
    float4 edges = current.edges - float4(a1, m0, m2, b1);
    float centre = current.centre - m1;
    return 0.20f * (centre * centre) + 0.07f * dot(corners, corners) + 0.12f * dot(edges, edges);
}

// Three searches; where uniform branches are not skipped (CPU rasterizers),
// a search not taken costs about one pass through its loops, so each keeps
// its work outside loops small.

#define SMALL_RADIUS 3
#define SMALL_ROWS (2 * SMALL_RADIUS + 3)

// R <= SMALL_RADIUS, T <= 1: the window's columns dx - 1, dx, dx + 1 (rows
// -SMALL_RADIUS - 1 .. SMALL_RADIUS + 1 of frames 0 .. 2) stay in registers
// and slide one column per step, so each texel is loaded once. Candidates
// beyond R or 2T weigh exactly 0 and leave the sums unchanged.
float2 searchSmall(int2 q, int R, int T, float H, Patch current)
{
    float sum = 0.0f;
    float value = 0.0f;
    float left[3][SMALL_ROWS];
    float centre[3][SMALL_ROWS];
    [unroll] for (int f = 0; f < 3; ++f)
    {
        [unroll] for (int r = 0; r < SMALL_ROWS; ++r)
        {
            left[f][r] = textureArray[f].Load(int3(q.x - R - 1, q.y + r - SMALL_RADIUS - 1, 0));
            centre[f][r] = textureArray[f].Load(int3(q.x - R, q.y + r - SMALL_RADIUS - 1, 0));
        }
    }
    for (int dx = -R; dx <= R; ++dx)
    {
        float right[3][SMALL_ROWS];
        [unroll] for (int g = 0; g < 3; ++g)
        {
            [unroll] for (int s = 0; s < SMALL_ROWS; ++s)
                right[g][s] = textureArray[g].Load(int3(q.x + dx + 1, q.y + s - SMALL_RADIUS - 1, 0));
        }
        [unroll] for (int dy = -SMALL_RADIUS; dy <= SMALL_RADIUS; ++dy)
        {
            int i = dy + SMALL_RADIUS + 1;
            [unroll(15)] for (int dt = 0; dt < 3; ++dt)
            {
                float c = centre[dt][i];
                float d = patchDistance(current, left[dt][i - 1], centre[dt][i - 1], right[dt][i - 1], left[dt][i], c,
                                        right[dt][i], left[dt][i + 1], centre[dt][i + 1], right[dt][i + 1]);
                float w = abs(dy) <= R && dt <= 2 * T ? exp(-sqrt(d) * H) : 0.0f;
                sum += w;
                value += c * w;
            }
        }
        [unroll] for (int h = 0; h < 3; ++h)
        {
            [unroll] for (int t = 0; t < SMALL_ROWS; ++t)
            {
                left[h][t] = centre[h][t];
                centre[h][t] = right[h][t];
            }
        }
    }
    return float2(sum, value);
}

#define MAX_ROWS (2 * 16 + 3)

// Any R, T <= 1: columns dx - 1 and dx of frames 0 .. 2 in arrays indexed by
// row; per frame the rows above and through the candidate stay in registers,
// so a candidate loads one texel. The two steps before dx = -R only fill the
// columns; they and the frames beyond 2T weigh exactly 0.
float2 searchRing(int2 q, int R, int T, float H, Patch current)
{
    float sum = 0.0f;
    float value = 0.0f;
    float left[3 * MAX_ROWS];
    float centre[3 * MAX_ROWS];
    for (int column = -R; column <= R + 2; ++column)
    {
        int dx = column - 2;
        // Before the first step the columns hold nothing yet: read as 0.
        bool filled = column > -R;
        float3 above[3];
        float3 middle[3];
        [unroll] for (int f = 0; f < 3; ++f)
        {
            float a = textureArray[f].Load(int3(q.x + dx + 1, q.y - R - 1, 0));
            float m = textureArray[f].Load(int3(q.x + dx + 1, q.y - R, 0));
            above[f] = float3(filled ? left[f * MAX_ROWS] : 0.0f, filled ? centre[f * MAX_ROWS] : 0.0f, a);
            middle[f] = float3(filled ? left[f * MAX_ROWS + 1] : 0.0f, filled ? centre[f * MAX_ROWS + 1] : 0.0f, m);
            left[f * MAX_ROWS] = above[f].y;
            centre[f * MAX_ROWS] = a;
            left[f * MAX_ROWS + 1] = middle[f].y;
            centre[f * MAX_ROWS + 1] = m;
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            int i = dy + R + 2;
            [unroll(15)] for (int dt = 0; dt < 3; ++dt)
            {
                float b = textureArray[dt].Load(int3(q.x + dx + 1, q.y + dy + 1, 0));
                float3 below = float3(filled ? left[dt * MAX_ROWS + i] : 0.0f,
                                      filled ? centre[dt * MAX_ROWS + i] : 0.0f, b);
                left[dt * MAX_ROWS + i] = below.y;
                centre[dt * MAX_ROWS + i] = b;
                float c = middle[dt].y;
                float d = patchDistance(current, above[dt].x, above[dt].y, above[dt].z, middle[dt].x, c, middle[dt].z,
                                        below.x, below.y, below.z);
                float w = dx >= -R && dt <= 2 * T ? exp(-sqrt(d) * H) : 0.0f;
                sum += w;
                value += c * w;
                above[dt] = middle[dt];
                middle[dt] = below;
            }
        }
    }
    return float2(sum, value);
}

// Any R and T: per frame the rows above, through and below the candidate
// slide down its column, a row of three texels per step. The two steps
// before dy = -R only fill the rows and weigh exactly 0.
float2 searchGeneral(int2 q, int R, int T, float H, Patch current)
{
    float sum = 0.0f;
    float value = 0.0f;
    for (int dx = -R; dx <= R; ++dx)
    {
        float3 above[15];
        float3 middle[15];
        [unroll] for (int f = 0; f < 15; ++f)
        {
            above[f] = 0.0f;
            middle[f] = 0.0f;
        }
        for (int row = -R; row <= R + 2; ++row)
        {
            int dy = row - 2;
            [unroll(15)] for (int dt = 0; dt < 15; ++dt)
            {
                if (dt <= 2 * T)
                {
                    int2 p = q + int2(dx, dy + 1);
                    float3 below = float3(textureArray[dt].Load(int3(p.x - 1, p.y, 0)),
                                          textureArray[dt].Load(int3(p.x, p.y, 0)),
                                          textureArray[dt].Load(int3(p.x + 1, p.y, 0)));
                    float c = middle[dt].y;
                    float d = patchDistance(current, above[dt].x, above[dt].y, above[dt].z, middle[dt].x, c,
                                            middle[dt].z, below.x, below.y, below.z);
                    float w = dy >= -R ? exp(-sqrt(d) * H) : 0.0f;
                    sum += w;
                    value += c * w;
                    above[dt] = middle[dt];
                    middle[dt] = below;
                }
            }
        }
    }
    return float2(sum, value);
}

[numthreads(16, 16, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pixel = int2(dispatchId.xy);
    int2 q = pixel + int2(16, 16);
    int R = spaceSearchRadius;
    int T = timeSearchRadius;
    float H = h2;

    // Loaded once; the candidates read their centres from the window.
    Patch current;
    current.corners = float4(textureArray[15].Load(int3(q.x - 1, q.y - 1, 0)),
                             textureArray[15].Load(int3(q.x + 1, q.y - 1, 0)),
                             textureArray[15].Load(int3(q.x - 1, q.y + 1, 0)),
                             textureArray[15].Load(int3(q.x + 1, q.y + 1, 0)));
    current.edges = float4(textureArray[15].Load(int3(q.x, q.y - 1, 0)),
                           textureArray[15].Load(int3(q.x - 1, q.y, 0)),
                           textureArray[15].Load(int3(q.x + 1, q.y, 0)),
                           textureArray[15].Load(int3(q.x, q.y + 1, 0)));
    current.centre = textureArray[15].Load(int3(q.x, q.y, 0));

    float2 found;
    if (T <= 1 && R <= SMALL_RADIUS)
        found = searchSmall(q, R, T, H, current);
    else if (T <= 1)
        found = searchRing(q, R, T, H, current);
    else
        found = searchGeneral(q, R, T, H, current);
    float sum = found.x;
    float value = found.y;
    outBuff[pixel.y * width + pixel.x].x = (value / sum) * (65535.f / 8.f) - 2048.f;
}
)hlsl";

const char chromaRuntimeSource[] = R"hlsl(
cbuffer PARAM : register(b0)
{
    int spaceSearchRadius : packoffset(c0.x);
    int timeSearchRadius : packoffset(c0.y);
    int width : packoffset(c0.z);
    float h2 : packoffset(c0.w);
};

// Elements 0 .. 2T: the temporal window. Element 15: the current frame.
// A texel is one pixel pair: x = cb, y = cr.
Texture2D<float2> textureArray[16] : register(t0);
RWStructuredBuffer<float3> outBuff;

// The reference patch, a (cb, cr) pair per position.
struct Patch
{
    float2 p0, p1, p2, p3, p4, p5, p6, p7, p8;
};

// The candidate's rows above, through and below its centre are (a0 a1 a2),
// (m0 m1 m2), (b0 b1 b2). From the differences reference - candidate, for cb
// and cr each on its own: 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float2 patchDistance(Patch current, float2 a0, float2 a1, float2 a2, float2 m0, float2 m1, float2 m2, float2 b0,
                     float2 b1, float2 b2)
{
    float2 e0 = current.p0 - a0, e1 = current.p1 - a1, e2 = current.p2 - a2;
    float2 e3 = current.p3 - m0, e4 = current.p4 - m1, e5 = current.p5 - m2;
    float2 e6 = current.p6 - b0, e7 = current.p7 - b1, e8 = current.p8 - b2;
    float2 corners = e0 * e0 + e2 * e2 + e6 * e6 + e8 * e8;
    float2 edges = e1 * e1 + e3 * e3 + e5 * e5 + e7 * e7;
    return 0.20f * (e4 * e4) + 0.07f * corners + 0.12f * edges;
}

// Three searches; where uniform branches are not skipped (CPU rasterizers),
// a search not taken costs about one pass through its loops, so each keeps
// its work outside loops small.

#define SMALL_RADIUS 3
#define SMALL_ROWS (2 * SMALL_RADIUS + 3)

// R <= SMALL_RADIUS, T <= 1: the window's columns dx - 1, dx, dx + 1 (rows
// -SMALL_RADIUS - 1 .. SMALL_RADIUS + 1 of frames 0 .. 2) stay in registers
// and slide one column per step, so each texel is loaded once. Candidates
// beyond R or 2T weigh exactly 0 and leave the sums unchanged.
void searchSmall(int2 q, int R, int T, float H, Patch current, out float2 sum, out float2 value)
{
    sum = 0.0f;
    value = 0.0f;
    float2 left[3][SMALL_ROWS];
    float2 centre[3][SMALL_ROWS];
    [unroll] for (int f = 0; f < 3; ++f)
    {
        [unroll] for (int r = 0; r < SMALL_ROWS; ++r)
        {
            left[f][r] = textureArray[f].Load(int3(q.x - R - 1, q.y + r - SMALL_RADIUS - 1, 0));
            centre[f][r] = textureArray[f].Load(int3(q.x - R, q.y + r - SMALL_RADIUS - 1, 0));
        }
    }
    for (int dx = -R; dx <= R; ++dx)
    {
        float2 right[3][SMALL_ROWS];
        [unroll] for (int g = 0; g < 3; ++g)
        {
            [unroll] for (int s = 0; s < SMALL_ROWS; ++s)
                right[g][s] = textureArray[g].Load(int3(q.x + dx + 1, q.y + s - SMALL_RADIUS - 1, 0));
        }
        [unroll] for (int dy = -SMALL_RADIUS; dy <= SMALL_RADIUS; ++dy)
        {
            int i = dy + SMALL_RADIUS + 1;
            [unroll(15)] for (int dt = 0; dt < 3; ++dt)
            {
                float2 c = centre[dt][i];
                float2 d = patchDistance(current, left[dt][i - 1], centre[dt][i - 1], right[dt][i - 1], left[dt][i], c,
                                         right[dt][i], left[dt][i + 1], centre[dt][i + 1], right[dt][i + 1]);
                float2 w = abs(dy) <= R && dt <= 2 * T ? exp(-sqrt(d) * H) : 0.0f;
                sum += w;
                value += c * w;
            }
        }
        [unroll] for (int h = 0; h < 3; ++h)
        {
            [unroll] for (int t = 0; t < SMALL_ROWS; ++t)
            {
                left[h][t] = centre[h][t];
                centre[h][t] = right[h][t];
            }
        }
    }
}

#define MAX_ROWS (2 * 16 + 3)

// Any R, T <= 1: columns dx - 1 and dx of frames 0 .. 2 in arrays indexed by
// row; per frame the rows above and through the candidate stay in registers,
// so a candidate loads one texel. The two steps before dx = -R only fill the
// columns; they and the frames beyond 2T weigh exactly 0.
void searchRing(int2 q, int R, int T, float H, Patch current, out float2 sum, out float2 value)
{
    sum = 0.0f;
    value = 0.0f;
    float2 left[3 * MAX_ROWS];
    float2 centre[3 * MAX_ROWS];
    for (int column = -R; column <= R + 2; ++column)
    {
        int dx = column - 2;
        // Before the first step the columns hold nothing yet: read as 0.
        bool filled = column > -R;
        float2 above[3][3];
        float2 middle[3][3];
        [unroll] for (int f = 0; f < 3; ++f)
        {
            float2 a = textureArray[f].Load(int3(q.x + dx + 1, q.y - R - 1, 0));
            float2 m = textureArray[f].Load(int3(q.x + dx + 1, q.y - R, 0));
            above[f][0] = filled ? left[f * MAX_ROWS] : 0.0f;
            above[f][1] = filled ? centre[f * MAX_ROWS] : 0.0f;
            above[f][2] = a;
            middle[f][0] = filled ? left[f * MAX_ROWS + 1] : 0.0f;
            middle[f][1] = filled ? centre[f * MAX_ROWS + 1] : 0.0f;
            middle[f][2] = m;
            left[f * MAX_ROWS] = above[f][1];
            centre[f * MAX_ROWS] = a;
            left[f * MAX_ROWS + 1] = middle[f][1];
            centre[f * MAX_ROWS + 1] = m;
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            int i = dy + R + 2;
            [unroll(15)] for (int dt = 0; dt < 3; ++dt)
            {
                float2 b0 = filled ? left[dt * MAX_ROWS + i] : 0.0f;
                float2 b1 = filled ? centre[dt * MAX_ROWS + i] : 0.0f;
                float2 b2 = textureArray[dt].Load(int3(q.x + dx + 1, q.y + dy + 1, 0));
                left[dt * MAX_ROWS + i] = b1;
                centre[dt * MAX_ROWS + i] = b2;
                float2 c = middle[dt][1];
                float2 d = patchDistance(current, above[dt][0], above[dt][1], above[dt][2], middle[dt][0], c,
                                         middle[dt][2], b0, b1, b2);
                float2 w = dx >= -R && dt <= 2 * T ? exp(-sqrt(d) * H) : 0.0f;
                sum += w;
                value += c * w;
                above[dt][0] = middle[dt][0];
                above[dt][1] = c;
                above[dt][2] = middle[dt][2];
                middle[dt][0] = b0;
                middle[dt][1] = b1;
                middle[dt][2] = b2;
            }
        }
    }
}

// Any R and T: per frame the rows above, through and below the candidate
// slide down its column, a row of three texels per step. The two steps
// before dy = -R only fill the rows and weigh exactly 0.
void searchGeneral(int2 q, int R, int T, float H, Patch current, out float2 sum, out float2 value)
{
    sum = 0.0f;
    value = 0.0f;
    for (int dx = -R; dx <= R; ++dx)
    {
        float2 above[15][3];
        float2 middle[15][3];
        [unroll] for (int f = 0; f < 15; ++f)
        {
            [unroll] for (int k = 0; k < 3; ++k)
            {
                above[f][k] = 0.0f;
                middle[f][k] = 0.0f;
            }
        }
        for (int row = -R; row <= R + 2; ++row)
        {
            int dy = row - 2;
            [unroll(15)] for (int dt = 0; dt < 15; ++dt)
            {
                if (dt <= 2 * T)
                {
                    int2 p = q + int2(dx, dy + 1);
                    float2 below[3];
                    below[0] = textureArray[dt].Load(int3(p.x - 1, p.y, 0));
                    below[1] = textureArray[dt].Load(int3(p.x, p.y, 0));
                    below[2] = textureArray[dt].Load(int3(p.x + 1, p.y, 0));
                    float2 c = middle[dt][1];
                    float2 d = patchDistance(current, above[dt][0], above[dt][1], above[dt][2], middle[dt][0], c,
                                             middle[dt][2], below[0], below[1], below[2]);
                    float2 w = dy >= -R ? exp(-sqrt(d) * H) : 0.0f;
                    sum += w;
                    value += c * w;
                    [unroll] for (int n = 0; n < 3; ++n)
                    {
                        above[dt][n] = middle[dt][n];
                        middle[dt][n] = below[n];
                    }
                }
            }
        }
    }
}

[numthreads(16 / 2, 16, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pair = int2(dispatchId.xy);
    int2 q = pair + int2(8, 16);
    int R = spaceSearchRadius;
    int T = timeSearchRadius;
    float H = h2;

    // Loaded once; the candidates read their centres from the window.
    Patch current;
    current.p0 = textureArray[15].Load(int3(q.x - 1, q.y - 1, 0));
    current.p1 = textureArray[15].Load(int3(q.x, q.y - 1, 0));
    current.p2 = textureArray[15].Load(int3(q.x + 1, q.y - 1, 0));
    current.p3 = textureArray[15].Load(int3(q.x - 1, q.y, 0));
    current.p4 = textureArray[15].Load(int3(q.x, q.y, 0));
    current.p5 = textureArray[15].Load(int3(q.x + 1, q.y, 0));
    current.p6 = textureArray[15].Load(int3(q.x - 1, q.y + 1, 0));
    current.p7 = textureArray[15].Load(int3(q.x, q.y + 1, 0));
    current.p8 = textureArray[15].Load(int3(q.x + 1, q.y + 1, 0));

    float2 sum, value;
    if (T <= 1 && R <= SMALL_RADIUS)
        searchSmall(q, R, T, H, current, sum, value);
    else if (T <= 1)
        searchRing(q, R, T, H, current, sum, value);
    else
        searchGeneral(q, R, T, H, current, sum, value);
    float2 result = (value / sum) * (65535.f / 8.f) - 4096.f;
    int element = pair.y * width + 2 * pair.x;
    outBuff[element].y = result.x;
    outBuff[element].z = result.y;
    outBuff[element + 1].y = result.x;
    outBuff[element + 1].z = result.y;
}
)hlsl";

const char lumaFixedSource[] = R"hlsl(
cbuffer PARAM : register(b0)
{
    int dummy1 : packoffset(c0.x);
    int dummy2 : packoffset(c0.y);
    int width : packoffset(c0.z);
    float dummy3 : packoffset(c0.w);
};

#define FRAMES (2 * TIME_SEARCH_RADIUS + 1)

// Elements 0 .. 2T: the temporal window; element T is the current frame.
Texture2D<float> textureArray[FRAMES] : register(t0);
RWStructuredBuffer<float3> outBuff;

// The reference patch: corners (positions 0, 2, 6, 8), edge neighbours
// (1, 3, 5, 7) and centre (4).
struct Patch
{
    float4 corners;
    float4 edges;
    float centre;
};

// The candidate's rows above, through and below its centre are (a0 a1 a2),
// (m0 m1 m2), (b0 b1 b2). From the differences reference - candidate:
// 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float patchDistance(Patch current, float a0, float a1, float a2, float m0, float m1, float m2, float b0, float b1,
                    float b2)
{
    float4 corners = current.corners - float4(a0, a2, b0, b2);
    float4 edges = current.edges - float4(a1, m0, m2, b1);
    float centre = current.centre - m1;
    return 0.20f * (centre * centre) + 0.07f * dot(corners, corners) + 0.12f * dot(edges, edges);
}

#define ROWS (2 * SPACE_SEARCH_RADIUS + 3)

// Up to 63 candidates per dx step: the step's dy and dt loops unroll and the
// window's columns stay in registers (larger steps would make the compiled
// code large and slow to build).
#if (2 * SPACE_SEARCH_RADIUS + 1) * FRAMES <= 63

// The window's columns dx - 1, dx, dx + 1 (rows -R - 1 .. R + 1, every frame)
// stay in registers and slide one column per step: each texel is loaded once.
float2 search(int2 q, Patch current)
{
    const int R = SPACE_SEARCH_RADIUS;
    const float H = H2;
    float sum = 0.0f;
    float value = 0.0f;
    float left[FRAMES][ROWS];
    float centre[FRAMES][ROWS];
    [unroll] for (int f = 0; f < FRAMES; ++f)
    {
        [unroll] for (int r = 0; r < ROWS; ++r)
        {
            left[f][r] = textureArray[f].Load(int3(q.x - R - 1, q.y + r - R - 1, 0));
            centre[f][r] = textureArray[f].Load(int3(q.x - R, q.y + r - R - 1, 0));
        }
    }
    for (int dx = -R; dx <= R; ++dx)
    {
        float right[FRAMES][ROWS];
        [unroll] for (int g = 0; g < FRAMES; ++g)
        {
            [unroll] for (int s = 0; s < ROWS; ++s)
                right[g][s] = textureArray[g].Load(int3(q.x + dx + 1, q.y + s - R - 1, 0));
        }
        [unroll] for (int dy = -R; dy <= R; ++dy)
        {
            int i = dy + R + 1;
            [unroll(15)] for (int dt = 0; dt < FRAMES; ++dt)
            {
                float c = centre[dt][i];
                float d = patchDistance(current, left[dt][i - 1], centre[dt][i - 1], right[dt][i - 1], left[dt][i], c,
                                        right[dt][i], left[dt][i + 1], centre[dt][i + 1], right[dt][i + 1]);
                float w = exp(-sqrt(d) * H);
                sum += w;
                value += c * w;
            }
        }
        [unroll] for (int h = 0; h < FRAMES; ++h)
        {
            [unroll] for (int t = 0; t < ROWS; ++t)
            {
                left[h][t] = centre[h][t];
                centre[h][t] = right[h][t];
            }
        }
    }
    return float2(sum, value);
}

#else

// Larger searches: columns dx - 1 and dx of every frame in arrays indexed by
// row; per frame the rows above and through the candidate stay in registers,
// so a candidate loads one texel. The two steps before dx = -R only fill the
// columns and weigh exactly 0.
float2 search(int2 q, Patch current)
{
    const int R = SPACE_SEARCH_RADIUS;
    const float H = H2;
    float sum = 0.0f;
    float value = 0.0f;
    float left[FRAMES * ROWS];
    float centre[FRAMES * ROWS];
    for (int column = -R; column <= R + 2; ++column)
    {
        int dx = column - 2;
        // Before the first step the columns hold nothing yet: read as 0.
        bool filled = column > -R;
        float3 above[FRAMES];
        float3 middle[FRAMES];
        [unroll] for (int f = 0; f < FRAMES; ++f)
        {
            float a = textureArray[f].Load(int3(q.x + dx + 1, q.y - R - 1, 0));
            float m = textureArray[f].Load(int3(q.x + dx + 1, q.y - R, 0));
            above[f] = float3(filled ? left[f * ROWS] : 0.0f, filled ? centre[f * ROWS] : 0.0f, a);
            middle[f] = float3(filled ? left[f * ROWS + 1] : 0.0f, filled ? centre[f * ROWS + 1] : 0.0f, m);
            left[f * ROWS] = above[f].y;
            centre[f * ROWS] = a;
            left[f * ROWS + 1] = middle[f].y;
            centre[f * ROWS + 1] = m;
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            int i = dy + R + 2;
            [unroll(15)] for (int dt = 0; dt < FRAMES; ++dt)
            {
                float b = textureArray[dt].Load(int3(q.x + dx + 1, q.y + dy + 1, 0));
                float3 below = float3(filled ? left[dt * ROWS + i] : 0.0f, filled ? centre[dt * ROWS + i] : 0.0f, b);
                left[dt * ROWS + i] = below.y;
                centre[dt * ROWS + i] = b;
                float c = middle[dt].y;
                float d = patchDistance(current, above[dt].x, above[dt].y, above[dt].z, middle[dt].x, c, middle[dt].z,
                                        below.x, below.y, below.z);
                float w = dx >= -R ? exp(-sqrt(d) * H) : 0.0f;
                sum += w;
                value += c * w;
                above[dt] = middle[dt];
                middle[dt] = below;
            }
        }
    }
    return float2(sum, value);
}

#endif

[numthreads(16, 16, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pixel = int2(dispatchId.xy);
    int2 q = pixel + int2(16, 16);

    // Loaded once; the candidates read their centres from the window.
    Patch current;
    current.corners = float4(textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x - 1, q.y - 1, 0)),
                             textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x + 1, q.y - 1, 0)),
                             textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x - 1, q.y + 1, 0)),
                             textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x + 1, q.y + 1, 0)));
    current.edges = float4(textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x, q.y - 1, 0)),
                           textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x - 1, q.y, 0)),
                           textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x + 1, q.y, 0)),
                           textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x, q.y + 1, 0)));
    current.centre = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x, q.y, 0));

    float2 found = search(q, current);
    float sum = found.x;
    float value = found.y;
    outBuff[pixel.y * width + pixel.x].x = (value / sum) * (65535.f / 8.f) - 2048.f;
}
)hlsl";

const char chromaFixedSource[] = R"hlsl(
cbuffer PARAM : register(b0)
{
    int dummy1 : packoffset(c0.x);
    int dummy2 : packoffset(c0.y);
    int width : packoffset(c0.z);
    float dummy3 : packoffset(c0.w);
};

#define FRAMES (2 * TIME_SEARCH_RADIUS + 1)

// Elements 0 .. 2T: the temporal window; element T is the current frame.
// A texel is one pixel pair: x = cb, y = cr.
Texture2D<float2> textureArray[FRAMES] : register(t0);
RWStructuredBuffer<float3> outBuff;

// The reference patch, a (cb, cr) pair per position.
struct Patch
{
    float2 p0, p1, p2, p3, p4, p5, p6, p7, p8;
};

// The candidate's rows above, through and below its centre are (a0 a1 a2),
// (m0 m1 m2), (b0 b1 b2). From the differences reference - candidate, for cb
// and cr each on its own: 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float2 patchDistance(Patch current, float2 a0, float2 a1, float2 a2, float2 m0, float2 m1, float2 m2, float2 b0,
                     float2 b1, float2 b2)
{
    float2 e0 = current.p0 - a0, e1 = current.p1 - a1, e2 = current.p2 - a2;
    float2 e3 = current.p3 - m0, e4 = current.p4 - m1, e5 = current.p5 - m2;
    float2 e6 = current.p6 - b0, e7 = current.p7 - b1, e8 = current.p8 - b2;
    float2 corners = e0 * e0 + e2 * e2 + e6 * e6 + e8 * e8;
    float2 edges = e1 * e1 + e3 * e3 + e5 * e5 + e7 * e7;
    return 0.20f * (e4 * e4) + 0.07f * corners + 0.12f * edges;
}

#define ROWS (2 * SPACE_SEARCH_RADIUS + 3)

// Up to 63 candidates per dx step: the step's dy and dt loops unroll and the
// window's columns stay in registers (larger steps would make the compiled
// code large and slow to build).
#if (2 * SPACE_SEARCH_RADIUS + 1) * FRAMES <= 63

// The window's columns dx - 1, dx, dx + 1 (rows -R - 1 .. R + 1, every frame)
// stay in registers and slide one column per step: each texel is loaded once.
void search(int2 q, Patch current, out float2 sum, out float2 value)
{
    const int R = SPACE_SEARCH_RADIUS;
    const float H = H2;
    sum = 0.0f;
    value = 0.0f;
    float2 left[FRAMES][ROWS];
    float2 centre[FRAMES][ROWS];
    [unroll] for (int f = 0; f < FRAMES; ++f)
    {
        [unroll] for (int r = 0; r < ROWS; ++r)
        {
            left[f][r] = textureArray[f].Load(int3(q.x - R - 1, q.y + r - R - 1, 0));
            centre[f][r] = textureArray[f].Load(int3(q.x - R, q.y + r - R - 1, 0));
        }
    }
    for (int dx = -R; dx <= R; ++dx)
    {
        float2 right[FRAMES][ROWS];
        [unroll] for (int g = 0; g < FRAMES; ++g)
        {
            [unroll] for (int s = 0; s < ROWS; ++s)
                right[g][s] = textureArray[g].Load(int3(q.x + dx + 1, q.y + s - R - 1, 0));
        }
        [unroll] for (int dy = -R; dy <= R; ++dy)
        {
            int i = dy + R + 1;
            [unroll(15)] for (int dt = 0; dt < FRAMES; ++dt)
            {
                float2 c = centre[dt][i];
                float2 d = patchDistance(current, left[dt][i - 1], centre[dt][i - 1], right[dt][i - 1], left[dt][i], c,
                                         right[dt][i], left[dt][i + 1], centre[dt][i + 1], right[dt][i + 1]);
                float2 w = exp(-sqrt(d) * H);
                sum += w;
                value += c * w;
            }
        }
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

#else

// Larger searches: columns dx - 1 and dx of every frame in arrays indexed by
// row; per frame the rows above and through the candidate stay in registers,
// so a candidate loads one texel. The two steps before dx = -R only fill the
// columns and weigh exactly 0.
void search(int2 q, Patch current, out float2 sum, out float2 value)
{
    const int R = SPACE_SEARCH_RADIUS;
    const float H = H2;
    sum = 0.0f;
    value = 0.0f;
    float2 left[FRAMES * ROWS];
    float2 centre[FRAMES * ROWS];
    for (int column = -R; column <= R + 2; ++column)
    {
        int dx = column - 2;
        // Before the first step the columns hold nothing yet: read as 0.
        bool filled = column > -R;
        float2 above[FRAMES][3];
        float2 middle[FRAMES][3];
        [unroll] for (int f = 0; f < FRAMES; ++f)
        {
            float2 a = textureArray[f].Load(int3(q.x + dx + 1, q.y - R - 1, 0));
            float2 m = textureArray[f].Load(int3(q.x + dx + 1, q.y - R, 0));
            above[f][0] = filled ? left[f * ROWS] : 0.0f;
            above[f][1] = filled ? centre[f * ROWS] : 0.0f;
            above[f][2] = a;
            middle[f][0] = filled ? left[f * ROWS + 1] : 0.0f;
            middle[f][1] = filled ? centre[f * ROWS + 1] : 0.0f;
            middle[f][2] = m;
            left[f * ROWS] = above[f][1];
            centre[f * ROWS] = a;
            left[f * ROWS + 1] = middle[f][1];
            centre[f * ROWS + 1] = m;
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            int i = dy + R + 2;
            [unroll(15)] for (int dt = 0; dt < FRAMES; ++dt)
            {
                float2 b0 = filled ? left[dt * ROWS + i] : 0.0f;
                float2 b1 = filled ? centre[dt * ROWS + i] : 0.0f;
                float2 b2 = textureArray[dt].Load(int3(q.x + dx + 1, q.y + dy + 1, 0));
                left[dt * ROWS + i] = b1;
                centre[dt * ROWS + i] = b2;
                float2 c = middle[dt][1];
                float2 d = patchDistance(current, above[dt][0], above[dt][1], above[dt][2], middle[dt][0], c,
                                         middle[dt][2], b0, b1, b2);
                float2 w = dx >= -R ? exp(-sqrt(d) * H) : 0.0f;
                sum += w;
                value += c * w;
                above[dt][0] = middle[dt][0];
                above[dt][1] = c;
                above[dt][2] = middle[dt][2];
                middle[dt][0] = b0;
                middle[dt][1] = b1;
                middle[dt][2] = b2;
            }
        }
    }
}

#endif

[numthreads(16 / 2, 16, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pair = int2(dispatchId.xy);
    int2 q = pair + int2(8, 16);

    // Loaded once; the candidates read their centres from the window.
    Patch current;
    current.p0 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x - 1, q.y - 1, 0));
    current.p1 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x, q.y - 1, 0));
    current.p2 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x + 1, q.y - 1, 0));
    current.p3 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x - 1, q.y, 0));
    current.p4 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x, q.y, 0));
    current.p5 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x + 1, q.y, 0));
    current.p6 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x - 1, q.y + 1, 0));
    current.p7 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x, q.y + 1, 0));
    current.p8 = textureArray[TIME_SEARCH_RADIUS].Load(int3(q.x + 1, q.y + 1, 0));

    float2 sum, value;
    search(q, current, sum, value);
    float2 result = (value / sum) * (65535.f / 8.f) - 4096.f;
    int element = pair.y * width + 2 * pair.x;
    outBuff[element].y = result.x;
    outBuff[element].z = result.y;
    outBuff[element + 1].y = result.x;
    outBuff[element + 1].z = result.y;
}
)hlsl";
