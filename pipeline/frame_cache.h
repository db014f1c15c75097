// The frame texture cache: up to 20 frames held on the GPU as the two planes
// the kernels read, filled from the host and emptied as the window slides.
#pragma once

#include <cstdint>

#include "host/filter_table.h"
#include "platform/win32_api.h"

// Makes sure every frame of centre - radius .. centre + radius (clamped to the
// clip) is cached; leaves frameWidth and frameHeight at the cached size.
// 1 on success, 0 on failure (after a box, except for a failed fetch).
int uploadWindow(FilterTable* filter, FrameProcInfo* frame, int32_t centre, int32_t radius);
// Releases every slot whose frame lies outside centre - radius .. centre + radius.
void evictOutside(FilterTable* filter, FrameProcInfo* frame, int32_t centre, int32_t radius);
// Description of one plane's texture (staging or shader-readable) for the
// frame size last declared by the host.
D3D11_TEXTURE2D_DESC planeDesc(bool chroma, bool staging);
