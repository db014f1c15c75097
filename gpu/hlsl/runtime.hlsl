// Compiled runtime forms are cached by version, not by text: a change here,
// in common.hlsl or in a plane's text that changes the compiled code goes
// with a new version (gpu/kernels.cpp).
// Runtime parameters: R, T and h2 come from PARAM. The branches on T are
// uniform; each gives its temporal loop a literal frame count, so that only
// the frames in use are searched and every texture index is a literal.
void search(int2 q, Patch reference[PIXEL_ROWS], inout TEXEL sum[PIXEL_ROWS], inout TEXEL value[PIXEL_ROWS])
{
    int R = spaceSearchRadius;
    int T = timeSearchRadius;
    if (T == 0)
        searchRows(q, reference, 1, R, h2, sum, value);
    else if (T == 1)
        searchRows(q, reference, 3, R, h2, sum, value);
    else
        searchEachPatch(q, reference[0], MAX_FRAMES, R, T, h2, sum[0], value[0]);
}
