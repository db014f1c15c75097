#include "platform/test_hooks.h"

#include <array>
#include <atomic>
#include <mutex>

namespace platform_hooks {
namespace {

constexpr int kPoints = static_cast<int>(FailPoint::Count);

struct Hooks {
    std::mutex mutex;
    std::array<int, kPoints> calls{};
    std::array<std::vector<int>, kPoints> armed{};  // occurrence numbers that fail
    std::vector<std::string> callLines;
    uint32_t featureLevel = 0;
    uint32_t deviceId = 0;
    bool deviceIdForced = false;
};

Hooks& hooks() {
    static Hooks instance;
    return instance;
}

std::atomic<long> live{0};
std::atomic<bool> callLog{false};

}  // namespace

const char* failPointName(FailPoint point) {
    static const char* const names[kPoints] = {
        "CreateDevice", "QueryDxgiDevice", "GetAdapter", "GetDesc",
        "CreateBuffer", "CreateTexture2D", "CreateShaderResourceView", "CreateUnorderedAccessView",
        "CreateComputeShader", "Map", "Compile", "ThreadStart", "RegistryOpen"};
    int i = static_cast<int>(point);
    return i >= 0 && i < kPoints ? names[i] : "?";
}

void failNth(FailPoint point, int k) {
    Hooks& h = hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    int i = static_cast<int>(point);
    h.armed[i].push_back(h.calls[i] + k);
}

int callCount(FailPoint point) {
    Hooks& h = hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.calls[static_cast<int>(point)];
}

void resetHooks() {
    Hooks& h = hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.calls.fill(0);
    for (auto& a : h.armed) a.clear();
    platform_instrumentation::clearRecordedBoxes();
    h.callLines.clear();
    callLog = false;
    h.featureLevel = 0;
    h.deviceId = 0;
    h.deviceIdForced = false;
}

bool shouldFail(FailPoint point) {
    Hooks& h = hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    int i = static_cast<int>(point);
    int n = ++h.calls[i];
    auto& armed = h.armed[i];
    for (size_t j = 0; j < armed.size(); ++j) {
        if (armed[j] == n) {
            armed.erase(armed.begin() + static_cast<long>(j));
            return true;
        }
    }
    return false;
}

void forceFeatureLevel(uint32_t level) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().featureLevel = level;
}

uint32_t forcedFeatureLevel() {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    return hooks().featureLevel;
}

void forceDeviceId(uint32_t id, bool enabled) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().deviceId = id;
    hooks().deviceIdForced = enabled;
}

bool forcedDeviceId(uint32_t* id) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    if (hooks().deviceIdForced && id) *id = hooks().deviceId;
    return hooks().deviceIdForced;
}



long liveObjects() { return live.load(); }
void objectCreated() { ++live; }
void objectDestroyed() { --live; }




void setCallLog(bool enabled) { callLog = enabled; }
bool callLogOn() { return callLog.load(); }

void logCall(const std::string& line) {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    hooks().callLines.push_back(line);
}

std::vector<std::string> loggedCalls() {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    return hooks().callLines;
}



}  // namespace platform_hooks
