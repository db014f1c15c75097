// The one way a failure reaches the user: the teardown the failing step
// needs, then a modal box owned by the filter window. Every such step
// returns 0 (or false) after it.
#pragma once

#include <cstdint>

#include "host/filter_table.h"
#include "platform/win32_api.h"
#include "state/message_table.h"

enum class Teardown { none, everything };

// On the host's thread: releaseAll when asked, then the box. Always 0.
int reportFailure(const FilterTable* filter, const char* text, Teardown teardown, const char* caption = captionError,
                  uint32_t style = MB_ICONQUESTION);
// On the worker's thread: records the box and the teardown for the host's
// thread, since a box owned by a window whose thread waits in the join could
// never be answered. Always 0.
int recordWorkerFailure(const char* text, Teardown teardown);
// On the host's thread right after the join: the teardown the worker asked
// for, then its boxes, owned by the window stored when the worker started.
void showWorkerFailures();
