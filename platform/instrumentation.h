// What the Linux stand-ins measure and record for the hosts that load the
// plug-in: where a run's time went, and the message boxes the plug-in showed
// (the command-line host reports them in its own words). Not part of the
// Windows API. The failure injection and counts that only tests use are in
// platform/test_hooks.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#ifndef QUENDA_PLATFORM_API
#define QUENDA_PLATFORM_API __attribute__((visibility("default")))
#endif

namespace platform_instrumentation {

// Running totals of time since the library was loaded, all threads
// together: where a host's and a worker's time went.
enum class Timer {
    ThreadWait,  // blocked in WaitForSingleObject (a host's thread joining a worker)
    ThreadRun,   // start routines of threads made by _beginthreadex (the workers)
    GpuWait,     // ID3D11DeviceContext::Map waiting for the GPU's work
    Count
};
QUENDA_PLATFORM_API double timerSeconds(Timer timer);
QUENDA_PLATFORM_API void addTime(Timer timer, double seconds);

struct RecordedBox {
    void* owner;
    std::string text;     // UTF-8
    std::string caption;  // UTF-8
    uint32_t style;
};
QUENDA_PLATFORM_API std::vector<RecordedBox> recordedBoxes();
QUENDA_PLATFORM_API void clearRecordedBoxes();
QUENDA_PLATFORM_API void recordBox(const RecordedBox& box);

// When false, MessageBoxA only records (no stderr output); default true.
QUENDA_PLATFORM_API void setBoxEcho(bool echo);
QUENDA_PLATFORM_API bool boxEcho();

}  // namespace platform_instrumentation
