// A PNG of frames side by side (noisy | denoised | reference), made with
// FFmpeg's PNG encoder.
#pragma once

#include "cli/media/ffmpeg_util.h"

#include <string>
#include <vector>

namespace quenda_cli {

// The PNG file's bytes. All frames of one size; any pixel formats. Throws CliError.
std::string comparePng(const std::vector<const AVFrame*>& panels);

}  // namespace quenda_cli
