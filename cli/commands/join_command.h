// `quenda join`: the chunks of a long video, denoised with --frames, put back
// together exactly. Chunks keep their original time stamps, so their packets
// are copied as they are, audio included (converted once, over the whole,
// where the output cannot hold it); the chunks are put in time order and
// must cover the clip, or the range asked for, without a gap or an overlap,
// each whole and encoded alike.
#pragma once

#include "cli/commands/output_files.h"

#include <string>
#include <vector>

namespace quenda_cli {

struct JoinOptions {
    std::vector<std::string> parts;
    std::string output;
    std::string format;  // FFmpeg output format; empty: by the extension
    bool framesGiven = false;  // a part of the clip, first to end - 1, asked for
    int firstFrame = 0;
    int endFrame = -1;  // -1: the end of the clip
    Overwrite overwrite = Overwrite::refuse;
    bool quiet = false;
};

// Throws CliError.
void runJoin(const JoinOptions& options);

}  // namespace quenda_cli
