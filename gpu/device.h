// Device bring-up and the one teardown routine.
#pragma once

#include "host/filter_table.h"

// Creates the device, its immediate context, the runtime kernels and the two
// constant buffers; 1 when all exist, 0 after a box with nothing held.
int32_t QUENDA_CALL onInit(FilterTable* filter);
// Drops every GPU object and heap block of the plug-in; always 1.
int releaseAll();
// True when the device, context, runtime kernels and constant buffers exist.
bool deviceGroupReady();
