#include "host/callbacks.h"

// Placeholders until the device and the frame pipeline exist: each returns
// its failure result.
int32_t QUENDA_CALL onProcess(FilterTable*, FrameProcInfo*) { return 0; }
int32_t QUENDA_CALL onInit(FilterTable*) { return 0; }
int32_t QUENDA_CALL onExit(FilterTable*) { return 1; }
int32_t QUENDA_CALL onWindowMessage(void*, uint32_t, uintptr_t, intptr_t, void*, FilterTable*) { return 0; }
