// The four denoise kernels. Each output pixel is the non-local-means average
// of the candidates (dx, dy, dt), visited dx outer, dy middle, dt inner, with
//   d = 0.20 (r4 - c)^2 + 0.07 (corner terms) + 0.12 (edge terms),
//   w = exp(-sqrt(d) * H),  sum += w,  value += c * w.
//
// What keeps the work per candidate small without changing that order: the
// reference patch is loaded once; for each frame the two patch rows that the
// next dy step shares (through and above the new centre) stay in registers, so
// a step loads only the new row below; and the temporal loop unrolls with
// constant frame indices (the runtime forms run it to the constant 15 and
// break after 2T).
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

// The rows above, through and below a patch centre.
struct Patch
{
    float3 above;
    float3 middle;
    float3 below;
};

// Left, centre and right texel of the row through p.
float3 loadRow(Texture2D<float> frame, int2 p)
{
    return float3(frame.Load(int3(p.x - 1, p.y, 0)),
                  frame.Load(int3(p.x, p.y, 0)),
                  frame.Load(int3(p.x + 1, p.y, 0)));
}

// From the differences reference - candidate of the rows above, through and
// below the patch centre: 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float patchDistance(float3 above, float3 middle, float3 below)
{
    float corners = above.x * above.x + above.z * above.z + below.x * below.x + below.z * below.z;
    float edges = above.y * above.y + middle.x * middle.x + middle.z * middle.z + below.y * below.y;
    return 0.20f * (middle.y * middle.y) + 0.07f * corners + 0.12f * edges;
}

// sum and value over all candidates around q.
float2 search(int2 q, int R, int T, float H, Patch current)
{
    float sum = 0.0f;
    float value = 0.0f;
    // Per frame: the rows above and through the candidate's centre.
    float3 above[15];
    float3 middle[15];
    for (int dx = -R; dx <= R; ++dx)
    {
        [unroll(15)] for (int ft = 0; ft < 15; ++ft)
        {
            if (ft > 2 * T) break;
            above[ft] = loadRow(textureArray[ft], q + int2(dx, -R - 1));
            middle[ft] = loadRow(textureArray[ft], q + int2(dx, -R));
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            [unroll(15)] for (int dt = 0; dt < 15; ++dt)
            {
                if (dt > 2 * T) break;
                float3 below = loadRow(textureArray[dt], q + int2(dx, dy + 1));
                float c = middle[dt].y;
                float d = patchDistance(current.above - above[dt], current.middle - middle[dt],
                                        current.below - below);
                float w = exp(-sqrt(d) * H);
                sum += w;
                value += c * w;
                above[dt] = middle[dt];
                middle[dt] = below;
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

    Patch current;
    current.above = loadRow(textureArray[15], q + int2(0, -1));
    current.middle = loadRow(textureArray[15], q);
    current.below = loadRow(textureArray[15], q + int2(0, 1));

    // T = 0 and the default T = 1 get copies with a constant frame count:
    // where uniform branches are not skipped (CPU rasterizers), the general
    // copy costs all 15 frame slots whatever T is.
    float2 found;
    if (T == 0)
        found = search(q, R, 0, H, current);
    else if (T == 1)
        found = search(q, R, 1, H, current);
    else
        found = search(q, R, T, H, current);
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

// The rows above, through and below a patch centre, of one channel.
struct Patch
{
    float3 above;
    float3 middle;
    float3 below;
};

// Left, centre and right texel of the row through p, split into cb and cr.
void loadRow(Texture2D<float2> frame, int2 p, out float3 cb, out float3 cr)
{
    float2 left = frame.Load(int3(p.x - 1, p.y, 0));
    float2 centre = frame.Load(int3(p.x, p.y, 0));
    float2 right = frame.Load(int3(p.x + 1, p.y, 0));
    cb = float3(left.x, centre.x, right.x);
    cr = float3(left.y, centre.y, right.y);
}

// From the differences reference - candidate of the rows above, through and
// below the patch centre: 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float patchDistance(float3 above, float3 middle, float3 below)
{
    float corners = above.x * above.x + above.z * above.z + below.x * below.x + below.z * below.z;
    float edges = above.y * above.y + middle.x * middle.x + middle.z * middle.z + below.y * below.y;
    return 0.20f * (middle.y * middle.y) + 0.07f * corners + 0.12f * edges;
}

// sum and value (cb, cr) over all candidates around q.
void search(int2 q, int R, int T, float H, Patch currentCb, Patch currentCr, out float2 sum, out float2 value)
{
    sum = 0.0f;
    value = 0.0f;
    // Per frame: the rows above and through the candidate's centre.
    float3 aboveCb[15], aboveCr[15];
    float3 middleCb[15], middleCr[15];
    for (int dx = -R; dx <= R; ++dx)
    {
        [unroll(15)] for (int ft = 0; ft < 15; ++ft)
        {
            if (ft > 2 * T) break;
            loadRow(textureArray[ft], q + int2(dx, -R - 1), aboveCb[ft], aboveCr[ft]);
            loadRow(textureArray[ft], q + int2(dx, -R), middleCb[ft], middleCr[ft]);
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            [unroll(15)] for (int dt = 0; dt < 15; ++dt)
            {
                if (dt > 2 * T) break;
                float3 belowCb, belowCr;
                loadRow(textureArray[dt], q + int2(dx, dy + 1), belowCb, belowCr);
                float2 c = float2(middleCb[dt].y, middleCr[dt].y);
                float2 d = float2(
                    patchDistance(currentCb.above - aboveCb[dt], currentCb.middle - middleCb[dt],
                                  currentCb.below - belowCb),
                    patchDistance(currentCr.above - aboveCr[dt], currentCr.middle - middleCr[dt],
                                  currentCr.below - belowCr));
                float2 w = exp(-sqrt(d) * H);
                sum += w;
                value += c * w;
                aboveCb[dt] = middleCb[dt];
                aboveCr[dt] = middleCr[dt];
                middleCb[dt] = belowCb;
                middleCr[dt] = belowCr;
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

    Patch currentCb, currentCr;
    loadRow(textureArray[15], q + int2(0, -1), currentCb.above, currentCr.above);
    loadRow(textureArray[15], q, currentCb.middle, currentCr.middle);
    loadRow(textureArray[15], q + int2(0, 1), currentCb.below, currentCr.below);

    // T = 0 and the default T = 1 get copies with a constant frame count:
    // where uniform branches are not skipped (CPU rasterizers), the general
    // copy costs all 15 frame slots whatever T is.
    float2 sum, value;
    if (T == 0)
        search(q, R, 0, H, currentCb, currentCr, sum, value);
    else if (T == 1)
        search(q, R, 1, H, currentCb, currentCr, sum, value);
    else
        search(q, R, T, H, currentCb, currentCr, sum, value);
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

// The rows above, through and below a patch centre.
struct Patch
{
    float3 above;
    float3 middle;
    float3 below;
};

// Left, centre and right texel of the row through p.
float3 loadRow(Texture2D<float> frame, int2 p)
{
    return float3(frame.Load(int3(p.x - 1, p.y, 0)),
                  frame.Load(int3(p.x, p.y, 0)),
                  frame.Load(int3(p.x + 1, p.y, 0)));
}

// From the differences reference - candidate of the rows above, through and
// below the patch centre: 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float patchDistance(float3 above, float3 middle, float3 below)
{
    float corners = above.x * above.x + above.z * above.z + below.x * below.x + below.z * below.z;
    float edges = above.y * above.y + middle.x * middle.x + middle.z * middle.z + below.y * below.y;
    return 0.20f * (middle.y * middle.y) + 0.07f * corners + 0.12f * edges;
}

[numthreads(16, 16, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pixel = int2(dispatchId.xy);
    int2 q = pixel + int2(16, 16);
    const int R = SPACE_SEARCH_RADIUS;
    const float H = H2;

    Patch current;
    current.above = loadRow(textureArray[TIME_SEARCH_RADIUS], q + int2(0, -1));
    current.middle = loadRow(textureArray[TIME_SEARCH_RADIUS], q);
    current.below = loadRow(textureArray[TIME_SEARCH_RADIUS], q + int2(0, 1));

    float sum = 0.0f;
    float value = 0.0f;
    // Per frame: the rows above and through the candidate's centre.
    float3 above[FRAMES];
    float3 middle[FRAMES];
    for (int dx = -R; dx <= R; ++dx)
    {
        [unroll(15)] for (int ft = 0; ft < FRAMES; ++ft)
        {
            above[ft] = loadRow(textureArray[ft], q + int2(dx, -R - 1));
            middle[ft] = loadRow(textureArray[ft], q + int2(dx, -R));
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            [unroll(15)] for (int dt = 0; dt < FRAMES; ++dt)
            {
                float3 below = loadRow(textureArray[dt], q + int2(dx, dy + 1));
                float c = middle[dt].y;
                float d = patchDistance(current.above - above[dt], current.middle - middle[dt],
                                        current.below - below);
                float w = exp(-sqrt(d) * H);
                sum += w;
                value += c * w;
                above[dt] = middle[dt];
                middle[dt] = below;
            }
        }
    }
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

// The rows above, through and below a patch centre, of one channel.
struct Patch
{
    float3 above;
    float3 middle;
    float3 below;
};

// Left, centre and right texel of the row through p, split into cb and cr.
void loadRow(Texture2D<float2> frame, int2 p, out float3 cb, out float3 cr)
{
    float2 left = frame.Load(int3(p.x - 1, p.y, 0));
    float2 centre = frame.Load(int3(p.x, p.y, 0));
    float2 right = frame.Load(int3(p.x + 1, p.y, 0));
    cb = float3(left.x, centre.x, right.x);
    cr = float3(left.y, centre.y, right.y);
}

// From the differences reference - candidate of the rows above, through and
// below the patch centre: 0.20 centre^2 + 0.07 corners^2 + 0.12 edges^2.
float patchDistance(float3 above, float3 middle, float3 below)
{
    float corners = above.x * above.x + above.z * above.z + below.x * below.x + below.z * below.z;
    float edges = above.y * above.y + middle.x * middle.x + middle.z * middle.z + below.y * below.y;
    return 0.20f * (middle.y * middle.y) + 0.07f * corners + 0.12f * edges;
}

[numthreads(16 / 2, 16, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pair = int2(dispatchId.xy);
    int2 q = pair + int2(8, 16);
    const int R = SPACE_SEARCH_RADIUS;
    const float H = H2;

    Patch currentCb, currentCr;
    loadRow(textureArray[TIME_SEARCH_RADIUS], q + int2(0, -1), currentCb.above, currentCr.above);
    loadRow(textureArray[TIME_SEARCH_RADIUS], q, currentCb.middle, currentCr.middle);
    loadRow(textureArray[TIME_SEARCH_RADIUS], q + int2(0, 1), currentCb.below, currentCr.below);

    float2 sum = 0.0f;
    float2 value = 0.0f;
    // Per frame: the rows above and through the candidate's centre.
    float3 aboveCb[FRAMES], aboveCr[FRAMES];
    float3 middleCb[FRAMES], middleCr[FRAMES];
    for (int dx = -R; dx <= R; ++dx)
    {
        [unroll(15)] for (int ft = 0; ft < FRAMES; ++ft)
        {
            loadRow(textureArray[ft], q + int2(dx, -R - 1), aboveCb[ft], aboveCr[ft]);
            loadRow(textureArray[ft], q + int2(dx, -R), middleCb[ft], middleCr[ft]);
        }
        for (int dy = -R; dy <= R; ++dy)
        {
            [unroll(15)] for (int dt = 0; dt < FRAMES; ++dt)
            {
                float3 belowCb, belowCr;
                loadRow(textureArray[dt], q + int2(dx, dy + 1), belowCb, belowCr);
                float2 c = float2(middleCb[dt].y, middleCr[dt].y);
                float2 d = float2(
                    patchDistance(currentCb.above - aboveCb[dt], currentCb.middle - middleCb[dt],
                                  currentCb.below - belowCb),
                    patchDistance(currentCr.above - aboveCr[dt], currentCr.middle - middleCr[dt],
                                  currentCr.below - belowCr));
                float2 w = exp(-sqrt(d) * H);
                sum += w;
                value += c * w;
                aboveCb[dt] = middleCb[dt];
                aboveCr[dt] = middleCr[dt];
                middleCb[dt] = belowCb;
                middleCr[dt] = belowCr;
            }
        }
    }
    float2 result = (value / sum) * (65535.f / 8.f) - 4096.f;
    int element = pair.y * width + 2 * pair.x;
    outBuff[element].y = result.x;
    outBuff[element].z = result.y;
    outBuff[element + 1].y = result.x;
    outBuff[element + 1].z = result.y;
}
)hlsl";
