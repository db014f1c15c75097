#include "host/track_values.h"

namespace {

int32_t clampTrack(int index, int32_t value) {
    if (value < trackMinima[index]) return trackMinima[index];
    if (value > trackMaxima[index]) return trackMaxima[index];
    return value;
}

}  // namespace

void readTrackValues(const FilterTable* filter, DenoiseParams* params) {
    int32_t v[trackCountValue] = {};
    if (filter->trackValues)
        for (int i = 0; i < trackCountValue; ++i) v[i] = clampTrack(i, filter->trackValues[i]);
    params->lumaSpace = v[0];
    params->lumaTime = v[1];
    params->lumaDispersion = v[2];
    params->chromaSpace = v[3];
    params->chromaTime = v[4];
    params->chromaDispersion = v[5];
}
