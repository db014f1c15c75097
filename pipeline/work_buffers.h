// The GPU output buffer, its view, the readback buffer and hostResult, sized
// for the frame being processed.
#pragma once

#include <cstdint>

#include "gpu/kernel_layout.h"
#include "host/filter_table.h"
#include "platform/win32_api.h"

// The kernels run in groups of threadGroupSide x threadGroupSide pixels.
enum : int32_t { threadGroupSide = QUENDA_THREAD_GROUP_SIDE };
// One element of the output buffer: three floats, y, cb and cr.
enum : UINT { outputElementBytes = 12 };

// Makes the four objects fit procWidth x procHeight; false after a box, with
// everything released.
bool ensureWorkBuffers(FilterTable* filter);
// Allocates hostResult for procWidth x procHeight; false when it cannot.
bool allocateHostResult();
