#include "cli/commands/frame_range.h"

#include "cli/commands/errors.h"

#include <algorithm>
#include <cstdint>

namespace quenda_cli {

void parseFrameRange(const std::string& text, int& first, int& end) {
    // Digits only, compared whole; a number past any clip then stands for its end.
    auto number = [&](const std::string& part, int64_t fallback) -> int64_t {
        if (part.empty()) return fallback;
        if (part.find_first_not_of("0123456789") != std::string::npos)
            throw CliError(ExitCode::usage, "--frames takes A:B with frame numbers, not " + text);
        const size_t digits = part.find_first_not_of('0');
        if (digits == std::string::npos) return 0;
        return part.size() - digits > 18 ? INT64_MAX : std::stoll(part);
    };
    auto clip = [](int64_t value) { return static_cast<int>(std::min<int64_t>(value, INT32_MAX)); };
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        first = clip(number(text, 0));
        end = first == INT32_MAX ? INT32_MAX : first + 1;
        return;
    }
    const int64_t a = number(text.substr(0, colon), 0), b = number(text.substr(colon + 1), -1);
    if (b >= 0 && b <= a) throw CliError(ExitCode::usage, "--frames " + text + " is empty: B must be greater than A");
    first = clip(a);
    end = b < 0 ? -1 : clip(b);
}

int frameRangeEnd(int end, int clipFrames) { return end < 0 ? clipFrames : std::min(end, clipFrames); }

std::string framesText(int n) { return std::to_string(n) + (n == 1 ? " frame" : " frames"); }

std::string startsBeyondEnd(const std::string& asked, int first, int clipFrames, const std::string& clip) {
    return asked + (first == clipFrames ? " starts at the end of the " : " starts past the ") + framesText(clipFrames) +
           " of " + clip;
}

}  // namespace quenda_cli
