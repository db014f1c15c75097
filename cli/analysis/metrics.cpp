#include "cli/analysis/metrics.h"

#include "cli/commands/errors.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace quenda_cli {

namespace {

// One plane as doubles, whatever its sample size.
std::vector<double> planeSamples(const AVFrame& frame, int plane, int width, int height, bool wide) {
    std::vector<double> out(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane];
        for (int x = 0; x < width; ++x)
            out[static_cast<size_t>(y) * width + x] = wide ? reinterpret_cast<const uint16_t*>(row)[x] : row[x];
    }
    return out;
}

// SSIM over 8x8 windows stepped by 4, as in common practice; a plane smaller
// than a window is one window.
double planeSsim(const std::vector<double>& a, const std::vector<double>& b, int width, int height, double peak) {
    const double c1 = (0.01 * peak) * (0.01 * peak);
    const double c2 = (0.03 * peak) * (0.03 * peak);
    const int window = 8;
    const int wx = std::min(window, width), wy = std::min(window, height);
    double sum = 0;
    int count = 0;
    for (int y0 = 0; y0 + wy <= height; y0 += 4) {
        for (int x0 = 0; x0 + wx <= width; x0 += 4) {
            double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
            for (int y = y0; y < y0 + wy; ++y) {
                for (int x = x0; x < x0 + wx; ++x) {
                    const double va = a[static_cast<size_t>(y) * width + x];
                    const double vb = b[static_cast<size_t>(y) * width + x];
                    sa += va;
                    sb += vb;
                    saa += va * va;
                    sbb += vb * vb;
                    sab += va * vb;
                }
            }
            const double n = static_cast<double>(wx) * wy;
            const double ma = sa / n, mb = sb / n;
            const double va = saa / n - ma * ma, vb = sbb / n - mb * mb, cov = sab / n - ma * mb;
            sum += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            ++count;
        }
    }
    return count ? sum / count : 1.0;
}

}  // namespace

void QualityMeter::add(const AVFrame& frame, const AVFrame& reference) {
    if (frame.format != reference.format || frame.width != reference.width || frame.height != reference.height)
        throw CliError(ExitCode::input, "the reference frames differ in size or format from the input's");
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (!desc) return;
    const bool alpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    const int planes = std::min(3, alpha ? desc->nb_components - 1 : desc->nb_components);
    const int depth = desc->comp[0].depth;
    planes_ = planes;
    peak_ = std::ldexp(1.0, depth) - 1;
    for (int p = 0; p < planes; ++p) {
        const int width = p == 0 ? frame.width : AV_CEIL_RSHIFT(frame.width, desc->log2_chroma_w);
        const int height = p == 0 ? frame.height : AV_CEIL_RSHIFT(frame.height, desc->log2_chroma_h);
        const std::vector<double> a = planeSamples(frame, p, width, height, depth > 8);
        const std::vector<double> b = planeSamples(reference, p, width, height, depth > 8);
        double error = 0;
        for (size_t i = 0; i < a.size(); ++i) error += (a[i] - b[i]) * (a[i] - b[i]);
        squaredError_[static_cast<size_t>(p)] += error;
        samples_[static_cast<size_t>(p)] += static_cast<double>(a.size());
        ssimSum_[static_cast<size_t>(p)] += planeSsim(a, b, width, height, peak_);
    }
    ++frames_;
}

PlaneQuality QualityMeter::plane(int index) const {
    const size_t p = static_cast<size_t>(index);
    PlaneQuality quality;
    const double mse = samples_[p] > 0 ? squaredError_[p] / samples_[p] : 0;
    quality.psnr = mse > 0 ? 10 * std::log10(peak_ * peak_ / mse) : std::numeric_limits<double>::infinity();
    quality.ssim = frames_ ? ssimSum_[p] / frames_ : 0;
    return quality;
}

double QualityMeter::overallPsnr() const {
    double error = 0, samples = 0;
    for (int p = 0; p < planes_; ++p) {
        error += squaredError_[static_cast<size_t>(p)];
        samples += samples_[static_cast<size_t>(p)];
    }
    const double mse = samples > 0 ? error / samples : 0;
    return mse > 0 ? 10 * std::log10(peak_ * peak_ / mse) : std::numeric_limits<double>::infinity();
}

std::string formatPsnr(double psnr) {
    if (std::isinf(psnr)) return "identical";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f dB", psnr);
    return text;
}

}  // namespace quenda_cli
