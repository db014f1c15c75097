// The processing callback's body: keeps the frame cache and work buffers in
// shape and runs the GPU pass on a worker thread, one frame ahead during an
// output run.
#pragma once

#include "host/filter_table.h"

// Writes the denoised frame frameIndex into outputImage; 1 on success, 0 on failure.
int32_t FrameScheduler(FilterTable* filter, FrameProcInfo* frame);
// Starts workerMain on a new thread; false when the thread could not start.
bool startWorker();
// Waits for the worker and closes its handle; its exit code, -1 unless read as 0.
int32_t joinWorker();
// joinWorker (when a worker exists), then the teardown and boxes that the
// worker left; returns the exit code, 0 when there was no worker.
int32_t joinWorkerAndReport();
