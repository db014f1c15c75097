// The built-in example clip: moving shapes over a textured background, and a
// noisy copy with Gaussian noise from a fixed seed.
#pragma once

#include "cli/media/ffmpeg_util.h"
#include "cli/media/video_input.h"

#include <cstdint>
#include <string>

namespace quenda_cli {

class VideoOutput;

struct DemoSettings {
    int width = 320;
    int height = 240;
    int frames = 36;
    AVPixelFormat format = AV_PIX_FMT_YUV420P;  // any planar YUV or grey format of 8 to 16 bits
    AVRational frameRate{24, 1};
    double noiseSigma = 10;  // in 8-bit code values
    uint64_t seed = 20240611;
};

// The clip's description as a file of these settings would have it.
VideoInfo demoVideoInfo(const DemoSettings& settings);
// Frame `index` of the clean clip.
FramePtr makeCleanFrame(const DemoSettings& settings, int index);
// A copy of `clean` with noise drawn from the seed and the frame index.
FramePtr addNoise(const AVFrame& clean, const DemoSettings& settings, int index);
// Writes the clean clip and the noisy clip (either path may be empty).
void writeDemoClips(const DemoSettings& settings, const std::string& cleanPath, const std::string& noisyPath);
// Encodes their frames into outputs opened with demoVideoInfo (either may be
// null), without finishing them.
void writeDemoFrames(const DemoSettings& settings, VideoOutput* clean, VideoOutput* noisy);

}  // namespace quenda_cli
