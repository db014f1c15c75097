// The Windows test hosts' checks: each prints one "ok" or "FAIL" line, and
// the counts decide the host's exit status.
#pragma once

#include <cstdarg>
#include <cstdio>

inline int checksRun = 0;
inline int checksFailed = 0;

inline void check(bool ok, const char* format, ...) {
    ++checksRun;
    if (!ok) ++checksFailed;
    std::printf("  %s ", ok ? "ok  " : "FAIL");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}
