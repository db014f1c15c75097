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

// One plane's kernel as a pass dispatches it: the shader, its constant buffer
// PARAM and viewCount texture views for t0 onwards.
struct PlaneKernel {
    ID3D11ComputeShader* shader;
    ID3D11Buffer* params;
    ID3D11ShaderResourceView* const* views;
};

// The GPU work of a pass: the output view at u0, each plane whose shader is
// set dispatched over the aligned frame in the order given, the state
// cleared and the output copied into the readback buffer.
void dispatchPlanes(ID3D11DeviceContext* context, ID3D11UnorderedAccessView* output, const PlaneKernel* planes,
                    int count, int32_t alignedWidth, int32_t alignedHeight, ID3D11Buffer* outBuffer,
                    ID3D11Buffer* readback);

// Computes pendingFrame into hostResult; 1 on success, 0 after recording its
// box for the host's thread.
int GpuPass();
// The worker thread's entry: exit code 0 when GpuPass succeeded, else -1.
unsigned __stdcall workerMain(void* unused);
