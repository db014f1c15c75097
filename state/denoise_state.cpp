#include "state/denoise_state.h"

#include <cstdlib>

DenoiseState denoiseState;

int releaseAll() {
    DenoiseState& s = denoiseState;
    std::free(s.hostResult);
    s.hostResult = nullptr;
    s.hostResultPixels = 0;
    releaseCache();
    releaseObject(s.stagingLuma);
    releaseObject(s.stagingChroma);
    s.cacheSizeUnset = true;
    releaseObject(s.lumaParams);
    releaseObject(s.chromaParams);
    releaseObject(s.outUav);
    releaseObject(s.outBuffer);
    releaseObject(s.readbackBuffer);
    releaseObject(s.lumaShaderRuntime);
    releaseObject(s.chromaShaderRuntime);
    releaseObject(s.lumaShaderFixed);
    releaseObject(s.chromaShaderFixed);
    releaseObject(s.context);
    releaseObject(s.device);
    return 1;
}

void releaseCache() {
    for (FrameCacheSlot& slot : denoiseState.frameCache) {
        slot.frame = -1;
        releaseObject(slot.lumaView);
        releaseObject(slot.chromaView);
    }
}
