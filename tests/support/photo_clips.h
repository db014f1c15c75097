// Short clips panned over real photographs, clean and with Gaussian noise:
// what the automatic strength is calibrated on, checked on and compared with
// other denoisers on. The photographs come from Debian's python3-skimage
// (bench/fetch_photos.sh).
#pragma once

#include "cli/hosting/plugin_host.h"
#include "cli/media/ffmpeg_util.h"

#include <functional>
#include <string>

namespace photo_clips {

// A fresh folder under $TMPDIR, removed with its contents at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string path(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct PanSettings {
    int width = 320;
    int height = 240;
    int frames = 10;
    int stepX = 2;  // pixels the window moves per frame
    int stepY = 1;
};

// The photograph as one yuv444p frame (limited range, BT.601 matrix).
quenda_cli::FramePtr loadPhotograph(const std::string& path);

// Writes a yuv420p clip of a window moving over the middle of the photograph
// and its copy with Gaussian noise of `sigma` 8-bit code values on every
// plane (drawn from `seed`); the format follows each path's extension.
void writePannedClips(const AVFrame& photo, const PanSettings& pan, double sigma, uint64_t seed,
                      const std::string& cleanPath, const std::string& noisyPath);

// PSNR of each plane (Y, Cb, Cr) of a clip against its clean source.
struct Psnr {
    double y = 0;
    double chroma = 0;  // the mean of Cb and Cr
};
Psnr measurePsnr(const std::string& path, const std::string& cleanPath);

// Denoises `noisy` into `output` with the plug-in at `tracks` (dispersions
// chosen by the automatic strength where `automatic` says so) and returns
// the run's PSNR against `clean`.
Psnr denoise(quenda_cli::PluginModule& plugin, const std::string& noisy, const std::string& clean,
             const std::string& output, const quenda_cli::TrackValues& tracks, bool automatic = false);

// The dispersion in [0, 100] where `score` peaks, found by single steps from
// `start` (the score of a steep but single-peaked curve; each value is asked
// for once at most when `score` keeps what it computed).
int climbToPeak(const std::function<double(int)>& score, int start);

}  // namespace photo_clips
