#include "state/failure_report.h"

#include "state/denoise_state.h"

int reportFailure(const FilterTable* filter, const char* text, Teardown teardown, const char* caption,
                  uint32_t style) {
    if (teardown == Teardown::everything) releaseAll();
    MessageBoxA(static_cast<HWND>(filter ? filter->window : nullptr), text, caption, style);
    return 0;
}

int recordWorkerFailure(const char* text, Teardown teardown) {
    DenoiseState& s = denoiseState;
    if (teardown == Teardown::everything) s.workerReleaseWanted = true;
    if (s.workerBoxCount < deferredBoxLimit) s.workerBoxes[s.workerBoxCount++] = DeferredBox{text};
    return 0;
}

void showWorkerFailures() {
    DenoiseState& s = denoiseState;
    if (s.workerReleaseWanted) {
        s.workerReleaseWanted = false;
        releaseAll();
    }
    for (int i = 0; i < s.workerBoxCount; ++i)
        MessageBoxA(s.hostWindow, s.workerBoxes[i].text, captionError, MB_ICONQUESTION);
    s.workerBoxCount = 0;
}
