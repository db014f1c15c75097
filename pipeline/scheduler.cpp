#include "pipeline/scheduler.h"

#include "gpu/device.h"
#include "gpu/shader_build.h"
#include "host/track_values.h"
#include "pipeline/frame_cache.h"
#include "pipeline/gpu_pass.h"
#include "pipeline/plane_convert.h"
#include "pipeline/work_buffers.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"
#include "state/failure_report.h"

namespace {

// A result computed ahead may be served only for the frame asked for, when no
// discard message (messageDiscardAhead) came after its worker started, and at
// the current frame size.
bool readyResultValid(int32_t frameIndex) {
    const DenoiseState& s = denoiseState;
    return s.readyFrame.load() == frameIndex && s.publishedGeneration == s.discardGeneration &&
           s.publishedWidth == s.procWidth && s.publishedHeight == s.procHeight;
}

// After a fatal failure the device group is gone; bring it back, with the
// output run's fixed kernels, so one failed frame does not disable the filter.
bool restoreDeviceGroup(FilterTable* filter) {
    DenoiseState& s = denoiseState;
    if (!deviceGroupReady() && !bringUpDevice(filter)) return false;
    if (s.outputRunActive && (!s.lumaShaderFixed || !s.chromaShaderFixed)) {
        releaseObject(s.lumaShaderFixed);
        releaseObject(s.chromaShaderFixed);
        if (!buildFixedShaders(filter, s.denoiseParams))
            return reportFailure(filter, textPixelShaderFailed, Teardown::everything);
        s.fixedParamsDirty = true;
    }
    return true;
}

// Frame n's window in the cache, and during an output run frame n + 1's
// too, at the size the first upload leaves in the record. Returns false
// after reporting a failure.
bool cacheWindows(FilterTable* filter, FrameProcInfo* frame, int32_t n, int32_t maxTime) {
    DenoiseState& s = denoiseState;
    evictOutside(filter, frame, n + 1, maxTime + 1);
    // A reset while caching the next frames (the host's size or frame count
    // changed) empties frame n's window too: cache it again at the new size.
    for (int pass = 0;; ++pass) {
        if (!uploadWindow(filter, frame, n, maxTime))
            return reportFailure(filter, textCacheSetupFailed, Teardown::everything);
        s.procWidth = frame->frameWidth;
        s.procHeight = frame->frameHeight;
        const uint32_t generation = s.discardGeneration;
        if (s.outputRunActive && !uploadWindow(filter, frame, n + 2, maxTime))
            return reportFailure(filter, textCacheSetupFailed, Teardown::everything);
        if (s.discardGeneration == generation || pass == 1) break;
    }
    return true;
}

// During an output run, once frame n is written: the worker starts on
// n + 1 with its window cached, unless n is the last frame.
int32_t startAhead(FilterTable* filter, FrameProcInfo* frame, int32_t n, int32_t maxTime, int32_t frameCount) {
    DenoiseState& s = denoiseState;
    s.pendingFrame = n + 1;
    if (n + 1 >= frameCount) {
        s.pendingFrame = -1;
        return 1;
    }
    evictOutside(filter, frame, n + 1, maxTime + 1);
    if (!uploadWindow(filter, frame, n + 1, maxTime))
        return reportFailure(filter, textCacheSetupFailed, Teardown::everything);
    if (!startWorker()) return reportFailure(filter, textThreadFailed, Teardown::everything);
    return 1;
}

// FrameScheduler's steps; *written tells whether outputImage holds frame n.
int32_t scheduleFrame(FilterTable* filter, FrameProcInfo* frame, bool* written) {
    DenoiseState& s = denoiseState;
    const int32_t n = frame->frameIndex;
    const int32_t frameCount = filter->services->getFrameCount(frame->editHandle);

    if (s.workerThread && joinWorkerAndReport() != 0) {
        releaseAll();
        return 0;
    }
    s.hostWindow = static_cast<HWND>(filter->window);
    readTrackValues(filter, &s.denoiseParams);
    if (!restoreDeviceGroup(filter)) return 0;
    const int32_t maxTime =
        s.denoiseParams.lumaTime > s.denoiseParams.chromaTime ? s.denoiseParams.lumaTime : s.denoiseParams.chromaTime;
    bool servedAhead = false;

    if (!cacheWindows(filter, frame, n, maxTime)) return 0;
    if (!ensureWorkBuffers(filter)) return reportFailure(filter, textWorkBuffersFailed, Teardown::everything);

    if (s.outputRunActive && readyResultValid(n)) {
        s.readyFrame.store(-1);
        copyOut(s.hostResult, s.procWidth, s.procHeight, frame->outputImage, frame->rowPixels);
        servedAhead = *written = true;
        s.pendingFrame = n + 1 < frameCount ? n + 1 : n;
    } else {
        s.pendingFrame = n;
    }
    if (!startWorker()) return reportFailure(filter, textThreadFailed, Teardown::everything);
    if (servedAhead) return 1;

    if (joinWorkerAndReport() != 0) {
        releaseAll();
        return 0;
    }
    copyOut(s.hostResult, s.procWidth, s.procHeight, frame->outputImage, frame->rowPixels);
    *written = true;
    s.readyFrame.store(-1);
    if (!s.outputRunActive) {
        releaseCache();
        return 1;
    }
    return startAhead(filter, frame, n, maxTime, frameCount);
}

}  // namespace

bool startWorker() {
    DenoiseState& s = denoiseState;
    s.workerBoxCount = 0;
    s.workerReleaseWanted = false;
    s.workerGeneration = s.discardGeneration;
    s.workerThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, workerMain, nullptr, 0, &s.workerThreadId));
    if (!s.workerThread) return false;
    SetThreadPriority(s.workerThread, THREAD_PRIORITY_ABOVE_NORMAL);
    return true;
}

int32_t joinWorker() {
    DenoiseState& s = denoiseState;
    DWORD exitCode = 0xFFFFFFFFu;
    WaitForSingleObject(s.workerThread, INFINITE);
    if (!GetExitCodeThread(s.workerThread, &exitCode)) exitCode = 0xFFFFFFFFu;
    CloseHandle(s.workerThread);
    s.workerThread = nullptr;
    return static_cast<int32_t>(exitCode);
}

int32_t joinWorkerAndReport() {
    if (!denoiseState.workerThread) return 0;
    const int32_t exitCode = joinWorker();
    showWorkerFailures();
    return exitCode;
}

int32_t FrameScheduler(FilterTable* filter, FrameProcInfo* frame) {
    bool written = false;
    const int32_t result = scheduleFrame(filter, frame, &written);
    // Later uploads may have left another size in the record: it goes back
    // describing the image actually written.
    if (written) {
        frame->frameWidth = denoiseState.procWidth;
        frame->frameHeight = denoiseState.procHeight;
    }
    return result;
}
