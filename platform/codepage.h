// Code page 932 (Shift_JIS as Windows has it), the encoding of the plug-in's
// message texts.
#pragma once

#include <string>

#ifndef QUENDA_PLATFORM_API
#define QUENDA_PLATFORM_API __attribute__((visibility("default")))
#endif

namespace platform_win32 {

// Converts CP932 text to UTF-8. Bytes that are not valid CP932 become U+FFFD;
// conversion stops at the first NUL.
QUENDA_PLATFORM_API std::string cp932ToUtf8(const std::string& text);

}  // namespace platform_win32
