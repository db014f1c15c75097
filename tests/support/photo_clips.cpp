#include "tests/support/photo_clips.h"

#include "cli/analysis/metrics.h"
#include "cli/commands/denoise_job.h"
#include "cli/commands/errors.h"
#include "cli/media/demo_clip.h"
#include "cli/media/video_input.h"
#include "cli/media/video_output.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace photo_clips {

using namespace quenda_cli;

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quenda-photo-clips-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw CliError(ExitCode::output, "cannot make a temporary folder");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

FramePtr loadPhotograph(const std::string& path) {
    VideoInput input(path, 1);
    const AVFrame& image = input.frame(0);
    SwsPtr sws(sws_getContext(image.width, image.height, static_cast<AVPixelFormat>(image.format), image.width,
                              image.height, AV_PIX_FMT_YUV444P, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                              nullptr, nullptr, nullptr));
    if (!sws) throw CliError(ExitCode::input, "cannot convert " + path + " to yuv444p");
    FramePtr photo = newFrame(AV_PIX_FMT_YUV444P, image.width, image.height);
    sws_scale(sws.get(), image.data, image.linesize, 0, image.height, photo->data, photo->linesize);
    return photo;
}

void writePannedClips(const AVFrame& photo, const PanSettings& pan, double sigma, uint64_t seed,
                      const std::string& cleanPath, const std::string& noisyPath) {
    DemoSettings settings;
    settings.width = pan.width;
    settings.height = pan.height;
    settings.frames = pan.frames;
    settings.noiseSigma = sigma;
    settings.seed = seed;
    const int travelX = (pan.frames - 1) * pan.stepX, travelY = (pan.frames - 1) * pan.stepY;
    if (photo.width < pan.width + travelX || photo.height < pan.height + travelY)
        throw CliError(ExitCode::input, "the photograph is too small for the pan");
    const int startX = (photo.width - pan.width - travelX) / 2, startY = (photo.height - pan.height - travelY) / 2;

    const VideoInfo info = demoVideoInfo(settings);
    VideoOutput clean(cleanPath, "", info), noisy(noisyPath, "", info);
    for (int t = 0; t < pan.frames; ++t) {
        const int left = startX + t * pan.stepX, top = startY + t * pan.stepY;
        FramePtr frame = newFrame(AV_PIX_FMT_YUV420P, pan.width, pan.height);
        frame->color_range = AVCOL_RANGE_MPEG;
        auto at = [&](int plane, int x, int y) {
            return photo.data[plane][static_cast<ptrdiff_t>(top + y) * photo.linesize[plane] + left + x];
        };
        for (int y = 0; y < pan.height; ++y)
            for (int x = 0; x < pan.width; ++x) frame->data[0][y * frame->linesize[0] + x] = at(0, x, y);
        // 4:2:0 chroma as the mean of each 2x2 block.
        for (int plane = 1; plane < 3; ++plane)
            for (int y = 0; y < pan.height / 2; ++y)
                for (int x = 0; x < pan.width / 2; ++x)
                    frame->data[plane][y * frame->linesize[plane] + x] = static_cast<uint8_t>(
                        (at(plane, 2 * x, 2 * y) + at(plane, 2 * x + 1, 2 * y) + at(plane, 2 * x, 2 * y + 1) +
                         at(plane, 2 * x + 1, 2 * y + 1) + 2) / 4);
        noisy.write(*addNoise(*frame, settings, t), t);
        clean.write(*frame, t);
    }
    clean.finish();
    noisy.finish();
}

Psnr measurePsnr(const std::string& path, const std::string& cleanPath) {
    VideoInput clip(path, 2), clean(cleanPath, 2);
    QualityMeter meter;
    for (int i = 0; i < clip.frameCount(); ++i) meter.add(clip.frame(i), clean.frame(i));
    return Psnr{meter.plane(0).psnr, (meter.plane(1).psnr + meter.plane(2).psnr) / 2};
}

Psnr denoise(PluginModule& plugin, const std::string& noisy, const std::string& clean, const std::string& output,
             const TrackValues& tracks, bool automatic) {
    DenoiseOptions options;
    options.input = noisy;
    options.output = output;
    options.reference = clean;
    options.tracks = tracks;
    options.autoDispersion[0] = options.autoDispersion[1] = automatic;
    options.written.overwrite = Overwrite::allow;  // one output file serves every run
    options.quiet = true;
    const RunReport report = runDenoise(options, plugin);
    return Psnr{report.quality.at(0).psnrOutput, (report.quality.at(1).psnrOutput + report.quality.at(2).psnrOutput) / 2};
}

int climbToPeak(const std::function<double(int)>& score, int start) {
    int peak = start;
    for (int step : {1, -1})
        while (peak + step >= 0 && peak + step <= 100 && score(peak + step) > score(peak)) peak += step;
    return peak;
}

}  // namespace photo_clips
