// One frame denoised on the GPU: the worker thread's job.
#pragma once

#include "platform/win32_api.h"

// Computes pendingFrame into hostResult; 1 on success, 0 after recording its
// box for the host's thread.
int GpuPass();
// The worker thread's entry: exit code 0 when GpuPass succeeded, else -1.
unsigned __stdcall workerMain(void* unused);
