// Device bring-up: the device group that every other part works with.
#pragma once

#include "host/filter_table.h"

// Creates the device, its immediate context, the runtime kernels and the two
// constant buffers, releasing first a group already there (no worker may be
// running); 1 when all exist, 0 after a box with nothing held.
int bringUpDevice(FilterTable* filter);
// True when the device, context, runtime kernels and constant buffers exist.
bool deviceGroupReady();
