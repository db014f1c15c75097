#include "platform/instrumentation.h"

#include <array>
#include <atomic>
#include <mutex>

namespace platform_instrumentation {
namespace {

struct Boxes {
    std::mutex mutex;
    std::vector<RecordedBox> recorded;
    bool echo = true;
};

Boxes& boxes() {
    static Boxes instance;
    return instance;
}

std::array<std::atomic<int64_t>, static_cast<size_t>(Timer::Count)> timerNanoseconds{};

}  // namespace

double timerSeconds(Timer timer) {
    const size_t i = static_cast<size_t>(timer);
    return i < timerNanoseconds.size() ? static_cast<double>(timerNanoseconds[i].load()) * 1e-9 : 0.0;
}

void addTime(Timer timer, double seconds) {
    const size_t i = static_cast<size_t>(timer);
    if (i < timerNanoseconds.size()) timerNanoseconds[i] += static_cast<int64_t>(seconds * 1e9);
}

std::vector<RecordedBox> recordedBoxes() {
    std::lock_guard<std::mutex> lock(boxes().mutex);
    return boxes().recorded;
}

void clearRecordedBoxes() {
    std::lock_guard<std::mutex> lock(boxes().mutex);
    boxes().recorded.clear();
}

void recordBox(const RecordedBox& box) {
    std::lock_guard<std::mutex> lock(boxes().mutex);
    boxes().recorded.push_back(box);
}

void setBoxEcho(bool echo) {
    std::lock_guard<std::mutex> lock(boxes().mutex);
    boxes().echo = echo;
}

bool boxEcho() {
    std::lock_guard<std::mutex> lock(boxes().mutex);
    return boxes().echo;
}

}  // namespace platform_instrumentation
