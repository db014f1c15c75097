// Luma: one thread per PIXEL_ROWS output pixels in a column; the results go
// to component x.
[numthreads(GROUP_SIDE, GROUP_ROWS, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pixel = int2(dispatchId.x, PIXEL_ROWS * dispatchId.y);
    int2 q = pixel + CENTRE;
    Patch reference[PIXEL_ROWS];
    TEXEL sum[PIXEL_ROWS], value[PIXEL_ROWS];
    startPixelRows(q, reference, sum, value);
    search(q, reference, sum, value);
    [unroll] for (int j = 0; j < PIXEL_ROWS; ++j)
        outBuff[(pixel.y + j) * width + pixel.x].x = (value[j] / sum[j]) * OUTPUT_SCALE - HOST_ZERO;
}
