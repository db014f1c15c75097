// MessageBoxA without a screen: the box is recorded for tests and printed on
// stderr, and the user's answer is OK at once.
#include "platform/codepage.h"
#include "platform/instrumentation.h"
#include "platform/win32/win32_base.h"

#include <cstdio>
#include <string>

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    platform_instrumentation::RecordedBox box;
    box.owner = owner;
    box.text = platform_win32::cp932ToUtf8(text ? text : "");
    // Windows titles a box without a caption "Error".
    box.caption = caption ? platform_win32::cp932ToUtf8(caption) : std::string("Error");
    box.style = type;
    platform_instrumentation::recordBox(box);
    if (platform_instrumentation::boxEcho()) {
        const std::string line = "[" + box.caption + "] " + box.text + "\n";
        std::fputs(line.c_str(), stderr);
    }
    return IDOK;
}
