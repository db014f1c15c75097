// A PNG of frames side by side (noisy | denoised | reference), written with
// FFmpeg's PNG encoder.
#pragma once

#include "cli/ffmpeg_util.h"

#include <string>
#include <vector>

namespace quenda_cli {

// All frames of one size; any pixel formats. Throws CliError.
void writeComparePng(const std::string& path, const std::vector<const AVFrame*>& panels);

}  // namespace quenda_cli
