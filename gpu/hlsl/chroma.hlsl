// Chroma: one thread per PIXEL_ROWS horizontal pixel pairs in a column, cb
// and cr each with its own weights; both pixels of a pair get the result in
// components y and z.
[numthreads(16 / 2, GROUP_ROWS, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pair = int2(dispatchId.x, PIXEL_ROWS * dispatchId.y);
    int2 q = pair + CENTRE;
    Patch reference[PIXEL_ROWS];
    TEXEL sum[PIXEL_ROWS], value[PIXEL_ROWS];
    startPixelRows(q, reference, sum, value);
    search(q, reference, sum, value);
    [unroll] for (int j = 0; j < PIXEL_ROWS; ++j)
    {
        float2 result = (value[j] / sum[j]) * OUTPUT_SCALE - HOST_ZERO;
        int element = (pair.y + j) * width + 2 * pair.x;
        outBuff[element].y = result.x;
        outBuff[element].z = result.y;
        outBuff[element + 1].y = result.x;
        outBuff[element + 1].z = result.y;
    }
}
