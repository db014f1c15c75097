// One frame denoised on the GPU: the worker thread's job.
#pragma once

#include <cstdint>

#include "gpu/kernel_layout.h"
#include "platform/win32_api.h"

// Texture slots of a kernel: the temporal window, then the current frame.
enum : int { viewCount = QUENDA_RUNTIME_SLOTS };

// Fills entries 0 .. 2T with the cached views of the clamped window around
// centre and repeats the centre frame in the entries after it; false when a
// frame is missing from the cache.
bool gatherViews(int32_t centre, int32_t radius, bool chroma, ID3D11ShaderResourceView* views[viewCount]);

// Computes pendingFrame into hostResult; 1 on success, 0 after recording its
// box for the host's thread.
int GpuPass();
// The worker thread's entry: exit code 0 when GpuPass succeeded, else -1.
unsigned __stdcall workerMain(void* unused);
