// --frames A:B: the frames A to B - 1 of a clip, as `denoise` and `join` take
// them. An end past the clip's stops at its end, so that equal chunks can be
// asked for without knowing the length.
#pragma once

#include <string>

namespace quenda_cli {

// "A:B" (B exclusive), "A:" (to the end: end -1), ":B", or "A" (that frame
// alone). Numbers past INT32_MAX are read as INT32_MAX. Throws CliError (usage).
void parseFrameRange(const std::string& text, int& first, int& end);

// The end of the frames asked for in a clip of `clipFrames`; -1 asks for its end.
int frameRangeEnd(int end, int clipFrames);

// "3 frames", "1 frame".
std::string framesText(int n);

// Why `asked` (the range as the user gave it) selects no frame of `clip`, whose
// frames end before `first`: "<asked> starts at the end of the 3 frames of
// <clip>", or "starts past".
std::string startsBeyondEnd(const std::string& asked, int first, int clipFrames, const std::string& clip);

}  // namespace quenda_cli
