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

    // Frame scheduler and worker.
    int32_t pendingFrame = -1;
    std::atomic<int32_t> readyFrame{-1};
    HANDLE workerThread = nullptr;
    unsigned workerThreadId = 0;
    HWND hostWindow = nullptr;
    int32_t procWidth = 0;
    int32_t procHeight = 0;
    DenoiseParams denoiseParams = {};
};

extern DenoiseState denoiseState;
