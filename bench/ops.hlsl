// Micro kernels that price single operations on a device: each thread of a
// 16 x 16 group does N copies of one operation (OP, below) and writes one
// float, so (time with N - time with 0) / (threads * N) is the price of one.
// Compiled with OP and N defined; the same bindings as the denoise kernels.
cbuffer PARAM : register(b0)
{
    int spaceSearchRadius : packoffset(c0.x);
    int timeSearchRadius : packoffset(c0.y);
    int width : packoffset(c0.z);
    float h2 : packoffset(c0.w);
};
Texture2D<float> textureArray[1] : register(t0);
RWStructuredBuffer<float3> outBuff;

[numthreads(16, 16, 1)]
void CS(uint3 id : SV_DispatchThreadID)
{
    int2 q = int2(id.xy) + 16;
    float a = h2 * 1e-3f, b = a + 0.25f, c = a + 0.5f, d = a + 0.75f;
#if OP == 1
    // texel loads at distinct places (no two alike, so none is shared)
    [unroll] for (int i = 0; i < N; ++i)
        a += textureArray[0].Load(int3(q.x + (i % 8) - 4, q.y + (i / 8) - 4, 0));
#elif OP == 2
    // exp in four independent chains
    [unroll] for (int i = 0; i < N / 4; ++i)
    {
        a = exp(-a); b = exp(-b); c = exp(-c); d = exp(-d);
    }
#elif OP == 3
    // sqrt in four independent chains
    [unroll] for (int i = 0; i < N / 4; ++i)
    {
        a = sqrt(a + 1.0f); b = sqrt(b + 1.0f); c = sqrt(c + 1.0f); d = sqrt(d + 1.0f);
    }
#elif OP == 4
    // one whole candidate as the plain search does it: nine loads, the
    // distance, exp(-sqrt(d) h2) and the two sums
    float r[9];
    [unroll] for (int k = 0; k < 9; ++k)
        r[k] = textureArray[0].Load(int3(q.x + k % 3 - 1, q.y + k / 3 - 1, 0));
    [loop] for (int i = 0; i < N; ++i)
    {
        int2 p = q + int2(i % 7 - 3, i / 7 % 7 - 3);
        float t[9];
        [unroll] for (int k = 0; k < 9; ++k)
            t[k] = textureArray[0].Load(int3(p.x + k % 3 - 1, p.y + k / 3 - 1, 0));
        float corners = 0, edges = 0;
        [unroll] for (int k = 0; k < 9; k += 2)
            if (k != 4) corners += (r[k] - t[k]) * (r[k] - t[k]);
        [unroll] for (int k = 1; k < 9; k += 2)
            edges += (r[k] - t[k]) * (r[k] - t[k]);
        float dist = 0.20f * (r[4] - t[4]) * (r[4] - t[4]) + 0.07f * corners + 0.12f * edges;
        float w = exp(-sqrt(dist) * h2);
        b += w;
        c += t[4] * w;
    }
#elif OP == 5
    // the arithmetic of one candidate alone, its nine values already held
    [loop] for (int i = 0; i < N; ++i)
    {
        float s = a + i * 1e-4f;
        float e0 = s - b, e1 = s - c, e2 = s - d, e3 = b - c, e4 = b - d, e5 = c - d, e6 = a - s, e7 = b + s, e8 = c + s;
        float corners = e0 * e0 + e2 * e2 + e6 * e6 + e8 * e8;
        float edges = e1 * e1 + e3 * e3 + e5 * e5 + e7 * e7;
        float dist = 0.20f * e4 * e4 + 0.07f * corners + 0.12f * edges;
        float w = exp(-sqrt(dist) * h2);
        b += w;
        c += s * w;
    }
#elif OP == 6
    // what a texel load costs as a bounds-checked buffer load: the place
    // tested against the plane, one 32-bit word read, the 16-bit half taken
    // and converted (the output buffer stands in for the plane's buffer)
    [unroll] for (int i = 0; i < N; ++i)
    {
        int x = q.x + (i % 8) - 4, y = q.y + (i / 8) - 4;
        uint index = uint(y) * 1952u + uint(x);
        uint word = asuint(outBuff[index >> 1].x);
        float v = float((word >> ((index & 1u) * 16u)) & 0xffffu) / 65535.0f;
        a += (uint(x) < 1952u && uint(y) < 1120u) ? v : 0.0f;
    }
#endif
    outBuff[id.y * width + id.x].x = a + b + c + d;
}
