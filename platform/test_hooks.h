// Test hooks of the Linux stand-ins: failure injection, forced adapter facts,
// live-object counts and the call log. Not part of the Windows API; only
// tests and benchmarks use them. The timers and recorded boxes, which the
// hosts use too, are in platform/instrumentation.h, seen here as well.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/instrumentation.h"

#ifndef QUENDA_PLATFORM_API
#define QUENDA_PLATFORM_API __attribute__((visibility("default")))
#endif

namespace platform_hooks {

using platform_instrumentation::addTime;
using platform_instrumentation::boxEcho;
using platform_instrumentation::clearRecordedBoxes;
using platform_instrumentation::recordBox;
using platform_instrumentation::RecordedBox;
using platform_instrumentation::recordedBoxes;
using platform_instrumentation::setBoxEcho;
using platform_instrumentation::Timer;
using platform_instrumentation::timerSeconds;

// Calls that can be made to fail. Each call of the named kind counts as one
// occurrence; failNth(point, k) makes the k-th occurrence from now fail.
enum class FailPoint {
    CreateDevice,               // D3D11CreateDevice
    QueryDxgiDevice,            // ID3D11Device::QueryInterface for IDXGIDevice1
    GetAdapter,                 // IDXGIDevice::GetAdapter
    GetDesc,                    // IDXGIAdapter::GetDesc
    CreateBuffer,               // ID3D11Device::CreateBuffer
    CreateTexture2D,            // ID3D11Device::CreateTexture2D
    CreateShaderResourceView,   // ID3D11Device::CreateShaderResourceView
    CreateUnorderedAccessView,  // ID3D11Device::CreateUnorderedAccessView
    CreateComputeShader,        // ID3D11Device::CreateComputeShader
    Map,                        // ID3D11DeviceContext::Map
    Compile,                    // D3DX11CompileFromMemory
    ThreadStart,                // _beginthreadex
    RegistryOpen,               // RegCreateKeyExA
    Count
};

QUENDA_PLATFORM_API const char* failPointName(FailPoint point);
QUENDA_PLATFORM_API void failNth(FailPoint point, int k);
// Number of occurrences of the point since the last resetHooks().
QUENDA_PLATFORM_API int callCount(FailPoint point);
// Clears every armed failure, every count, forced value and recorded box.
QUENDA_PLATFORM_API void resetHooks();
// Used by the stand-ins: counts one occurrence and tells whether it must fail.
QUENDA_PLATFORM_API bool shouldFail(FailPoint point);

// Forced facts of the adapter; 0 clears.
QUENDA_PLATFORM_API void forceFeatureLevel(uint32_t level);
QUENDA_PLATFORM_API uint32_t forcedFeatureLevel();
QUENDA_PLATFORM_API void forceDeviceId(uint32_t id, bool enabled = true);
QUENDA_PLATFORM_API bool forcedDeviceId(uint32_t* id);

// Direct3D, DXGI and blob objects alive now.
QUENDA_PLATFORM_API long liveObjects();
QUENDA_PLATFORM_API void objectCreated();
QUENDA_PLATFORM_API void objectDestroyed();

// A log of the calls whose arguments the plug-in's tests pin: registry
// queries and writes, compiles, and the immediate context's Map, Unmap,
// binding, Dispatch, ClearState and CopyResource, one line each. Off until
// enabled; resetHooks() clears it and turns it off.
QUENDA_PLATFORM_API void setCallLog(bool enabled);
QUENDA_PLATFORM_API bool callLogOn();
QUENDA_PLATFORM_API void logCall(const std::string& line);
QUENDA_PLATFORM_API std::vector<std::string> loggedCalls();

}  // namespace platform_hooks
