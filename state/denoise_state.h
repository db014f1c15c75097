// The plug-in's one module-level state record and the types it holds.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/filter_table.h"
#include "platform/win32_api.h"

enum : int { frameCacheSlots = 20 };

// One cached frame: its index and the views of its two planes.
struct FrameCacheSlot {
    int32_t frame;
    ID3D11ShaderResourceView* lumaView;    // null means the slot is free
    ID3D11ShaderResourceView* chromaView;
};

// A message box that the worker thread leaves for the host's thread, which
// shows it after the join (state/failure_report.h).
struct DeferredBox {
    const char* text;
};

enum : int { deferredBoxLimit = 4 };

struct DenoiseState {
    // Output-run mode.
    bool outputRunActive = false;
    bool fixedParamsDirty = false;

    // Compute kernels.
    ID3D11ComputeShader* lumaShaderRuntime = nullptr;
    ID3D11ComputeShader* chromaShaderRuntime = nullptr;
    ID3D11ComputeShader* lumaShaderFixed = nullptr;
    ID3D11ComputeShader* chromaShaderFixed = nullptr;

    // Device group.
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    D3D_FEATURE_LEVEL featureLevel = static_cast<D3D_FEATURE_LEVEL>(0);
    ID3D11Buffer* lumaParams = nullptr;
    ID3D11Buffer* chromaParams = nullptr;

    // Frame texture cache.
    FrameCacheSlot frameCache[frameCacheSlots] = {};
    ID3D11Texture2D* stagingLuma = nullptr;
    ID3D11Texture2D* stagingChroma = nullptr;
    int32_t srcWidth = 0;
    int32_t srcHeight = 0;
    int32_t frameCountAtUpload = 0;
    bool cacheSizeUnset = true;

    // Work buffers.
    int32_t alignedWidth = 0;
    int32_t alignedHeight = 0;
    ID3D11Buffer* outBuffer = nullptr;
    ID3D11UnorderedAccessView* outUav = nullptr;
    ID3D11Buffer* readbackBuffer = nullptr;
    PixelYC* hostResult = nullptr;
    int64_t hostResultPixels = 0;  // pixels that hostResult holds

    // Frame scheduler and worker.
    int32_t pendingFrame = -1;
    std::atomic<int32_t> readyFrame{-1};
    HANDLE workerThread = nullptr;
    unsigned workerThreadId = 0;
    HWND hostWindow = nullptr;
    int32_t procWidth = 0;
    int32_t procHeight = 0;
    DenoiseParams denoiseParams = {};

    // Boxes recorded by the worker, and whether its failure needs everything
    // released; the host's thread does both after the join (state/failure_report.h).
    DeferredBox workerBoxes[deferredBoxLimit] = {};
    int workerBoxCount = 0;
    bool workerReleaseWanted = false;

    // Validity of a result computed ahead. messageDiscardAhead advances
    // discardGeneration; the worker publishes the generation and frame size it
    // was started with, and a result is served only when both still hold.
    uint32_t discardGeneration = 0;
    uint32_t workerGeneration = 0;
    uint32_t publishedGeneration = 0;
    int32_t publishedWidth = 0;
    int32_t publishedHeight = 0;
};

extern DenoiseState denoiseState;

// The one teardown: drops every GPU object and heap block that the record
// holds; always 1. Runs on the host's thread, never under a running worker.
int releaseAll();
// Empties every frame-cache slot.
void releaseCache();

// Releases a held COM reference, if any, and clears the holder.
template <typename T>
void releaseObject(T*& object) {
    if (object) {
        object->Release();
        object = nullptr;
    }
}
