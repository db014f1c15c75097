// Luma: one thread per output pixel; the result goes to component x.
[numthreads(GROUP_SIDE, GROUP_SIDE, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pixel = int2(dispatchId.xy);
    int2 q = pixel + CENTRE;
    Patch reference;
    LOAD_PATCH(reference, textureArray[REFERENCE], int3(q, 0));
    float sum = 0.0f;
    float value = 0.0f;
    search(q, reference, sum, value);
    outBuff[pixel.y * width + pixel.x].x = (value / sum) * OUTPUT_SCALE - HOST_ZERO;
}
