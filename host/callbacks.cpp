#include "host/callbacks.h"

#include "gpu/device.h"
#include "gpu/shader_build.h"
#include "host/track_values.h"
#include "pipeline/scheduler.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"
#include "state/failure_report.h"

namespace {

void releaseFixedShaders() {
    releaseObject(denoiseState.lumaShaderFixed);
    releaseObject(denoiseState.chromaShaderFixed);
}

void startOutputRun(FilterTable* filter) {
    DenoiseState& s = denoiseState;
    joinWorkerAndReport();
    releaseCache();
    releaseFixedShaders();
    DenoiseParams params;
    readTrackValues(filter, &params);
    // The fixed kernels need the device: bring it back first if a failure took it.
    bool built = (deviceGroupReady() || bringUpDevice(filter)) && buildFixedShaders(filter, params);
    if (!built) {
        reportFailure(filter, textPixelShaderFailed, Teardown::everything);
        return;
    }
    s.fixedParamsDirty = true;
    s.outputRunActive = true;
}

void endOutputRun() {
    DenoiseState& s = denoiseState;
    joinWorkerAndReport();
    releaseFixedShaders();
    releaseCache();
    s.outputRunActive = false;
    s.fixedParamsDirty = false;
}

}  // namespace

int32_t QUENDA_CALL onInit(FilterTable* filter) {
    // A second initialisation must not tear down under a worker computing ahead.
    joinWorkerAndReport();
    return bringUpDevice(filter);
}

int32_t QUENDA_CALL onProcess(FilterTable* filter, FrameProcInfo* frame) {
    return FrameScheduler(filter, frame);
}

int32_t QUENDA_CALL onExit(FilterTable*) {
    // An output run may end without its closing message: never tear down
    // under a worker that is still computing ahead.
    joinWorkerAndReport();
    releaseAll();
    return 1;
}

int32_t QUENDA_CALL onWindowMessage(void*, uint32_t message, uintptr_t, intptr_t, void*, FilterTable* filter) {
    if (!filter) filter = GetFilterTable();
    switch (message) {
        case messageDiscardAhead:
            ++denoiseState.discardGeneration;
            denoiseState.readyFrame.store(-1);
            break;
        case messageOutputStart:
            startOutputRun(filter);
            break;
        case messageOutputEnd:
            endOutputRun();
            break;
        default:
            break;
    }
    return 0;
}
