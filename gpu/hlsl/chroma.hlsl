// Chroma: one thread per horizontal pixel pair, cb and cr each with its own
// weights; both pixels of the pair get the result in components y and z.
[numthreads(16 / 2, GROUP_SIDE, 1)]
void CS(uint3 dispatchId : SV_DispatchThreadID)
{
    int2 pair = int2(dispatchId.xy);
    int2 q = pair + CENTRE;
    Patch reference;
    LOAD_PATCH(reference, textureArray[REFERENCE], int3(q, 0));
    float2 sum = 0.0f;
    float2 value = 0.0f;
    search(q, reference, sum, value);
    float2 result = (value / sum) * OUTPUT_SCALE - HOST_ZERO;
    int element = pair.y * width + 2 * pair.x;
    outBuff[element].y = result.x;
    outBuff[element].z = result.y;
    outBuff[element + 1].y = result.x;
    outBuff[element + 1].z = result.y;
}
