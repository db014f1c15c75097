#include "cli/media/demo_clip.h"

#include "cli/commands/errors.h"
#include "cli/media/video_output.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <memory>

namespace quenda_cli {

namespace {

struct Colour {
    double y, u, v;  // 8-bit limited-range code values
};

// The scene at pixel (x, y) of frame t, in a clip of w x h.
Colour scene(double x, double y, int t, int w, int h) {
    // Background: a soft diagonal gradient, a band of fine stripes and a
    // checkerboard: the repeated detail that non-local means can use.
    Colour c{60 + 80 * (x / w) + 30 * (y / h), 128 + 20 * (y / h - 0.5), 128 - 20 * (x / w - 0.5)};
    if (y > h * 0.62 && y < h * 0.82) c.y = 110 + 50 * std::sin(x * 0.9);
    if (x < w * 0.3 && y < h * 0.45) c.y = ((static_cast<int>(x) / 6 + static_cast<int>(y) / 6) % 2) ? 170 : 90;

    // A disc moving right and a bar moving down-left, in colour.
    const double cx = std::fmod(w * 0.35 + t * 3.0, w * 1.0), cy = h * 0.35;
    const double r = std::max(2.0, h * 0.15);
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r) c = Colour{200, 90, 170};
    const double bx = w * 0.75 - t * 1.5, by = h * 0.25 + t * 1.0;
    if (std::fabs(x - bx) < w * 0.08 && std::fabs(y - by) < h * 0.2) c = Colour{45, 160, 110};
    return c;
}

// splitmix64: a small generator whose sequence is the same everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return (static_cast<double>(next() >> 11) + 0.5) / 9007199254740992.0; }
    // Box-Muller.
    double gaussian() {
        if (spare_) {
            spare_ = false;
            return spareValue_;
        }
        const double radius = std::sqrt(-2 * std::log(uniform()));
        const double angle = 2 * M_PI * uniform();
        spareValue_ = radius * std::sin(angle);
        spare_ = true;
        return radius * std::cos(angle);
    }

private:
    uint64_t state_;
    bool spare_ = false;
    double spareValue_ = 0;
};

const AVPixFmtDescriptor& directDescriptor(AVPixelFormat format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BE)) ||
        desc->comp[0].depth < 8)
        throw CliError(ExitCode::usage, "demo clips are planar YUV or grey, not " + pixelFormatName(format));
    return *desc;
}

void putSample(AVFrame& frame, int plane, int x, int y, int value, bool wide) {
    uint8_t* row = frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane];
    if (wide)
        reinterpret_cast<uint16_t*>(row)[x] = static_cast<uint16_t>(value);
    else
        row[x] = static_cast<uint8_t>(value);
}

int getSample(const AVFrame& frame, int plane, int x, int y, bool wide) {
    const uint8_t* row = frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane];
    return wide ? reinterpret_cast<const uint16_t*>(row)[x] : row[x];
}

}  // namespace

VideoInfo demoVideoInfo(const DemoSettings& settings) {
    VideoInfo info;
    info.path = "demo";
    info.width = settings.width;
    info.height = settings.height;
    info.format = settings.format;
    info.range = AVCOL_RANGE_MPEG;
    info.colorSpace = AVCOL_SPC_BT709;
    info.primaries = AVCOL_PRI_BT709;
    info.transfer = AVCOL_TRC_BT709;
    info.chromaLocation = AVCHROMA_LOC_LEFT;
    info.fieldOrder = AV_FIELD_PROGRESSIVE;
    info.frameRate = settings.frameRate;
    info.timeBase = av_inv_q(settings.frameRate);
    info.sampleAspect = AVRational{1, 1};
    info.frameCount = settings.frames;
    return info;
}

FramePtr makeCleanFrame(const DemoSettings& settings, int index) {
    const AVPixFmtDescriptor& desc = directDescriptor(settings.format);
    const int depth = desc.comp[0].depth;
    const bool wide = depth > 8;
    const double scale = std::ldexp(1.0, depth - 8);
    const int maxCode = (1 << depth) - 1;
    FramePtr frame = newFrame(settings.format, settings.width, settings.height);
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;
    auto code = [&](double v) { return std::clamp(static_cast<int>(std::lround(v * scale)), 0, maxCode); };
    for (int y = 0; y < settings.height; ++y)
        for (int x = 0; x < settings.width; ++x)
            putSample(*frame, 0, x, y, code(scene(x, y, index, settings.width, settings.height).y), wide);
    if (desc.nb_components >= 3) {
        const int cw = AV_CEIL_RSHIFT(settings.width, desc.log2_chroma_w);
        const int ch = AV_CEIL_RSHIFT(settings.height, desc.log2_chroma_h);
        for (int y = 0; y < ch; ++y) {
            for (int x = 0; x < cw; ++x) {
                const Colour c = scene(x << desc.log2_chroma_w, y << desc.log2_chroma_h, index, settings.width,
                                       settings.height);
                putSample(*frame, 1, x, y, code(c.u), wide);
                putSample(*frame, 2, x, y, code(c.v), wide);
            }
        }
    }
    return frame;
}

FramePtr addNoise(const AVFrame& clean, const DemoSettings& settings, int index) {
    const AVPixFmtDescriptor& desc = directDescriptor(static_cast<AVPixelFormat>(clean.format));
    const int depth = desc.comp[0].depth;
    const bool wide = depth > 8;
    const double sigma = settings.noiseSigma * std::ldexp(1.0, depth - 8);
    const int maxCode = (1 << depth) - 1;
    FramePtr noisy = newFrame(static_cast<AVPixelFormat>(clean.format), clean.width, clean.height);
    av_frame_copy_props(noisy.get(), &clean);
    Random random(settings.seed * 1000003u + static_cast<uint64_t>(index));
    const int planes = std::min(3, static_cast<int>(desc.nb_components));
    for (int p = 0; p < planes; ++p) {
        const int w = p ? AV_CEIL_RSHIFT(clean.width, desc.log2_chroma_w) : clean.width;
        const int h = p ? AV_CEIL_RSHIFT(clean.height, desc.log2_chroma_h) : clean.height;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const double value = getSample(clean, p, x, y, wide) + sigma * random.gaussian();
                putSample(*noisy, p, x, y, std::clamp(static_cast<int>(std::lround(value)), 0, maxCode), wide);
            }
        }
    }
    return noisy;
}

void writeDemoFrames(const DemoSettings& settings, VideoOutput* clean, VideoOutput* noisy) {
    for (int i = 0; i < settings.frames; ++i) {
        FramePtr frame = makeCleanFrame(settings, i);
        if (noisy) noisy->write(*addNoise(*frame, settings, i), i);
        if (clean) clean->write(*frame, i);
    }
}

void writeDemoClips(const DemoSettings& settings, const std::string& cleanPath, const std::string& noisyPath) {
    const VideoInfo info = demoVideoInfo(settings);
    std::unique_ptr<VideoOutput> clean, noisy;
    if (!cleanPath.empty()) clean = std::make_unique<VideoOutput>(cleanPath, "", info);
    if (!noisyPath.empty()) noisy = std::make_unique<VideoOutput>(noisyPath, "", info);
    writeDemoFrames(settings, clean.get(), noisy.get());
    if (clean) clean->finish();
    if (noisy) noisy->finish();
}

}  // namespace quenda_cli
