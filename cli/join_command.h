// `quenda join`: the chunks of a long video, denoised with --frames, put back
// together exactly. Chunks keep their original time stamps, so their packets
// are copied as they are, audio included; the chunks are put in time order
// and must follow each other without a gap or an overlap.
#pragma once

#include "cli/output_files.h"

#include <string>
#include <vector>

namespace quenda_cli {

struct JoinOptions {
    std::vector<std::string> parts;
    std::string output;
    std::string format;  // FFmpeg output format; empty: by the extension
    Overwrite overwrite = Overwrite::refuse;
    bool quiet = false;
};

// Throws CliError.
void runJoin(const JoinOptions& options);

}  // namespace quenda_cli
