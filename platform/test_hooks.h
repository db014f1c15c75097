// Test hooks of the Linux stand-ins: failure injection, forced adapter facts,
// live-object counts and recorded message boxes. Not part of the Windows API;
// only tests, benchmarks and the command-line host use them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#ifndef QUENDA_PLATFORM_API
#define QUENDA_PLATFORM_API __attribute__((visibility("default")))
#endif

namespace platform_hooks {

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

// Running totals of time since the library was loaded, all threads
// together, for benchmarks: where a host's and a worker's time went.
enum class Timer {
    ThreadWait,  // blocked in WaitForSingleObject (a host's thread joining a worker)
    ThreadRun,   // start routines of threads made by _beginthreadex (the workers)
    GpuWait,     // ID3D11DeviceContext::Map waiting for the GPU's work
    Count
};
QUENDA_PLATFORM_API double timerSeconds(Timer timer);
QUENDA_PLATFORM_API void addTime(Timer timer, double seconds);

// Direct3D, DXGI and blob objects alive now.
QUENDA_PLATFORM_API long liveObjects();
QUENDA_PLATFORM_API void objectCreated();
QUENDA_PLATFORM_API void objectDestroyed();

struct RecordedBox {
    void* owner;
    std::string text;     // UTF-8
    std::string caption;  // UTF-8
    uint32_t style;
};
QUENDA_PLATFORM_API std::vector<RecordedBox> recordedBoxes();
QUENDA_PLATFORM_API void clearRecordedBoxes();
QUENDA_PLATFORM_API void recordBox(const RecordedBox& box);

// A log of the calls whose arguments the plug-in's tests pin: registry
// queries and writes, compiles, and the immediate context's Map, Unmap,
// binding, Dispatch, ClearState and CopyResource, one line each. Off until
// enabled; resetHooks() clears it and turns it off.
QUENDA_PLATFORM_API void setCallLog(bool enabled);
QUENDA_PLATFORM_API bool callLogOn();
QUENDA_PLATFORM_API void logCall(const std::string& line);
QUENDA_PLATFORM_API std::vector<std::string> loggedCalls();

// When false, MessageBoxA only records (no stderr output); default true.
QUENDA_PLATFORM_API void setBoxEcho(bool echo);
QUENDA_PLATFORM_API bool boxEcho();

}  // namespace platform_hooks
