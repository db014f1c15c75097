// Quality of a clip against a clean reference, per plane: PSNR over all
// frames together, SSIM averaged over frames.
#pragma once

#include "cli/media/ffmpeg_util.h"

#include <array>
#include <string>

namespace quenda_cli {

struct PlaneQuality {
    double psnr = 0;  // dB; infinite when identical
    double ssim = 0;
};

class QualityMeter {
public:
    // Adds one frame; both in the same planar format and size.
    void add(const AVFrame& frame, const AVFrame& reference);

    int planes() const { return planes_; }
    int frames() const { return frames_; }
    PlaneQuality plane(int index) const;
    // Luma and chroma weighted by sample count.
    double overallPsnr() const;

private:
    int planes_ = 0;
    int frames_ = 0;
    double peak_ = 255;
    std::array<double, 3> squaredError_{};
    std::array<double, 3> samples_{};
    std::array<double, 3> ssimSum_{};
};

// "38.21 dB", or "identical".
std::string formatPsnr(double psnr);

}  // namespace quenda_cli
