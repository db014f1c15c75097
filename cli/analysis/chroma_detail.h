// The plug-in holds one chroma value per two pixels across, so input with
// finer chroma (4:4:4, 4:4:0, RGB) comes back with each pair's chroma
// averaged. On request the difference of each pixel's chroma from its pair's
// mean is put back on the denoised pair: the chroma is denoised at the
// plug-in's resolution and keeps the input's own detail across.
#pragma once

#include "cli/media/ffmpeg_util.h"
#include "host/filter_table.h"

#include <string>

namespace quenda_cli {

enum class ChromaDetail {
    pairs,  // the plug-in's output as it is
    keep,   // each pixel's difference from its pair's mean restored
};

// Whether frames of `format` hold more chroma across than the plug-in keeps.
bool chromaFinerThanPairs(AVPixelFormat format);

// The warning for such an input; `path` names it.
std::string chromaPairsWarning(const std::string& path, AVPixelFormat format);

// Adds to each chroma value of `result` its pixel's difference from the mean
// of its pair in `input`, both `rowPixels` x `height` host images of an even
// `rowPixels` (the pair averaged as the plug-in averages it).
void restoreChromaDetail(const PixelYC* input, PixelYC* result, int rowPixels, int height);

}  // namespace quenda_cli
