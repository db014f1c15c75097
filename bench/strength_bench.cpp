// The automatic strength's calibration and the clips for comparing denoisers.
//
//   quenda_strength_bench calibrate [--size WxH] [--frames N] [--sigmas A,B,...] PHOTO...
//       For each noise level: clips panned over the photographs, the noise
//       that measureNoise finds in them, and the dispersion of each plane
//       whose worst PSNR loss against each photograph's own best is least, at
//       the default radii; prints the table for cli/analysis/noise_estimate.cpp.
//   quenda_strength_bench clips DIR SIGMA [--size WxH] [--frames N] PHOTO...
//       Writes DIR/NAME-clean.y4m and DIR/NAME-noisy.y4m for each photograph.
#include "cli/analysis/noise_estimate.h"
#include "cli/commands/errors.h"
#include "cli/media/ffmpeg_util.h"
#include "cli/media/video_input.h"
#include "cli/report/run_report.h"
#include "tests/support/photo_clips.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace quenda_cli;

struct Arguments {
    photo_clips::PanSettings pan;
    std::vector<double> sigmas{2, 3, 5, 7, 10, 14, 20, 25, 30};
    std::vector<std::string> photos;
};

[[noreturn]] void usage() {
    std::fputs("usage: quenda_strength_bench calibrate [--size WxH] [--frames N] [--sigmas A,B,...] PHOTO...\n"
               "       quenda_strength_bench clips DIR SIGMA [--size WxH] [--frames N] PHOTO...\n",
               stderr);
    std::exit(2);
}

Arguments parse(int argc, char** argv, int from) {
    Arguments a;
    for (int i = from; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &a.pan.width, &a.pan.height) != 2) usage();
        } else if (arg == "--frames" && i + 1 < argc) {
            a.pan.frames = std::atoi(argv[++i]);
        } else if (arg == "--sigmas" && i + 1 < argc) {
            a.sigmas.clear();
            for (const char* p = argv[++i]; *p;) {
                char* next = nullptr;
                a.sigmas.push_back(std::strtod(p, &next));
                if (next == p) usage();
                p = *next == ',' ? next + 1 : next;
            }
        } else if (arg.rfind("--", 0) == 0) {
            usage();
        } else {
            a.photos.push_back(arg);
        }
    }
    if (a.photos.empty() || a.pan.frames < 1) usage();
    return a;
}

std::string baseName(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name.substr(0, name.find('.'));
}

struct Clip {
    std::string clean, noisy;
};

// The best dispersion of one plane for one noise level and what it gains.
struct Best {
    double sigma = 0;        // measured, mean over the photographs
    int dispersion = 0;
    double gain = 0;         // dB over the noisy clip, mean over the photographs
    double worstLoss = 0;    // dB, the most that a photograph loses there against its own best
    double defaultGain = 0;  // the mean gain at the default
};

// The clips of one noise level: panned over each photograph, clean and
// noisy, the noisy clip's PSNR, and the noise measureNoise finds in it
// (the mean over the photographs, in best[plane].sigma).
struct NoiseLevel {
    double sigma;
    std::vector<Clip> clips;
    std::vector<photo_clips::Psnr> noisy;
    Best best[2];
};

NoiseLevel makeClips(const Arguments& args, const std::vector<FramePtr>& photos, const photo_clips::TempFolder& folder,
                     const TrackValues& defaults, double sigma) {
    NoiseLevel level;
    level.sigma = sigma;
    for (size_t p = 0; p < photos.size(); ++p) {
        const std::string stem = folder.path(std::to_string(p));
        level.clips.push_back(Clip{stem + "-clean.y4m", stem + "-noisy.y4m"});
        const Clip& clip = level.clips.back();
        photo_clips::writePannedClips(*photos[p], args.pan, sigma, static_cast<uint64_t>(std::lround(sigma * 1000)) + p,
                                      clip.clean, clip.noisy);
        level.noisy.push_back(photo_clips::measurePsnr(clip.noisy, clip.clean));
        VideoInput input(clip.noisy, 2);
        const bool both[2] = {true, true};
        const StrengthChoice choice = chooseStrength(input, 0, input.frameCount(), defaults, both);
        level.best[0].sigma += choice.noise.luma / photos.size();
        level.best[1].sigma += choice.noise.chroma / photos.size();
    }
    return level;
}

// PSNR gain of each plane on each photograph, per dispersion, each
// dispersion denoised once at most.
class Gains {
public:
    Gains(PluginModule& plugin, const NoiseLevel& level, const photo_clips::TempFolder& folder,
          const TrackValues& defaults)
        : plugin_(plugin), level_(level), folder_(folder), defaults_(defaults) {}

    const std::vector<photo_clips::Psnr>& at(int dispersion) {
        auto known = gains_.find(dispersion);
        if (known != gains_.end()) return known->second;
        TrackValues tracks = defaults_;
        tracks[dispersionTrack[0]] = tracks[dispersionTrack[1]] = dispersion;
        std::vector<photo_clips::Psnr> gain;
        for (size_t p = 0; p < level_.clips.size(); ++p) {
            const Clip& clip = level_.clips[p];
            const photo_clips::Psnr out =
                photo_clips::denoise(plugin_, clip.noisy, clip.clean, folder_.path("out.y4m"), tracks);
            gain.push_back(photo_clips::Psnr{out.y - level_.noisy[p].y, out.chroma - level_.noisy[p].chroma});
        }
        return gains_[dispersion] = gain;
    }
    const std::map<int, std::vector<photo_clips::Psnr>>& tried() const { return gains_; }

private:
    PluginModule& plugin_;
    const NoiseLevel& level_;
    const photo_clips::TempFolder& folder_;
    const TrackValues& defaults_;
    std::map<int, std::vector<photo_clips::Psnr>> gains_;
};

// A climb by single steps from the best of the grid to the peak of the mean
// gain and from there to each photograph's own peak. The choice is the
// dispersion whose worst loss against those peaks is least: the peaks differ
// by content, and a clip is one content, not the mean.
void choosePlane(Gains& gains, size_t photos, int plane, int defaultDispersion, Best* best) {
    auto photoGain = [&](size_t p, int d) { return plane ? gains.at(d)[p].chroma : gains.at(d)[p].y; };
    auto meanGain = [&](int d) {
        double sum = 0;
        for (size_t p = 0; p < photos; ++p) sum += photoGain(p, d) / photos;
        return sum;
    };
    int top = gains.tried().begin()->first;
    for (const auto& entry : gains.tried())
        if (meanGain(entry.first) > meanGain(top)) top = entry.first;
    top = photo_clips::climbToPeak(meanGain, top);
    std::vector<double> peakGain;
    int lowest = top, highest = top;
    for (size_t p = 0; p < photos; ++p) {
        const int peak = photo_clips::climbToPeak([&](int d) { return photoGain(p, d); }, top);
        peakGain.push_back(photoGain(p, peak));
        lowest = std::min(lowest, peak);
        highest = std::max(highest, peak);
    }
    auto worstLoss = [&](int d) {
        double worst = 0;
        for (size_t p = 0; p < photos; ++p) worst = std::max(worst, peakGain[p] - photoGain(p, d));
        return worst;
    };
    int chosen = top;
    for (int d = lowest; d <= highest; ++d)
        if (worstLoss(d) < worstLoss(chosen) || (worstLoss(d) == worstLoss(chosen) && meanGain(d) > meanGain(chosen)))
            chosen = d;
    best->dispersion = chosen;
    best->gain = meanGain(chosen);
    best->worstLoss = worstLoss(chosen);
    best->defaultGain = meanGain(defaultDispersion);
}

void printHeader(const Arguments& args, const TrackValues& defaults) {
    std::printf("# %dx%d, %d frames panned by (%d, %d) pixels a frame, default radii, on %s\n", args.pan.width,
                args.pan.height, args.pan.frames, args.pan.stepX, args.pan.stepY, pickedDeviceName().c_str());
    std::printf("# sigma: Gaussian noise in 8-bit codes; measured: what measureNoise finds (host units, mean of the\n"
                "# photographs); best: the dispersion whose worst loss against each photograph's own best is least;\n"
                "# gain: dB of PSNR over the noisy clip, mean of the photographs, there and at the default %d;\n"
                "# loss: that worst loss in dB; runs: dispersions tried\n",
                defaults[dispersionTrack[0]]);
    std::printf("#  sigma | luma: measured best gain loss (at %d) | chroma: measured best gain loss (at %d) | runs\n",
                defaults[dispersionTrack[0]], defaults[dispersionTrack[1]]);
}

int calibrate(const Arguments& args) {
    PluginModule plugin(PluginModule::defaultPath());
    const TrackValues defaults = plugin.defaults();
    photo_clips::TempFolder folder;
    std::vector<FramePtr> photos;
    for (const std::string& path : args.photos) photos.push_back(photo_clips::loadPhotograph(path));
    printHeader(args, defaults);
    std::vector<std::pair<Best, Best>> table;
    for (double sigma : args.sigmas) {
        NoiseLevel level = makeClips(args, photos, folder, defaults, sigma);
        Gains gains(plugin, level, folder, defaults);
        // A grid around where h2 shrinks as 1 / sigma from the default at
        // sigma 10, then the climb of choosePlane.
        const int guess = static_cast<int>(std::lround(50 + 27.5 * std::log10(sigma / 10)));
        for (int d = guess - 12; d <= guess + 12; d += 4)
            if (d >= 0 && d <= 100) gains.at(d);
        Best* best = level.best;
        for (int plane = 0; plane < 2; ++plane)
            choosePlane(gains, level.clips.size(), plane, defaults[dispersionTrack[plane]], &best[plane]);
        std::printf("  %5.1f | %7.1f %3d %+6.2f %5.2f (%+6.2f) | %7.1f %3d %+6.2f %5.2f (%+6.2f) | %zu\n", sigma,
                    best[0].sigma, best[0].dispersion, best[0].gain, best[0].worstLoss, best[0].defaultGain,
                    best[1].sigma, best[1].dispersion, best[1].gain, best[1].worstLoss, best[1].defaultGain,
                    gains.tried().size());
        std::fflush(stdout);
        table.emplace_back(best[0], best[1]);
    }
    std::printf("\n# for the table in cli/analysis/noise_estimate.cpp:\n");
    for (size_t i = 0; i < table.size(); ++i)
        std::printf("    {%g, %.1f, %d, %.1f, %d},\n", args.sigmas[i], table[i].first.sigma, table[i].first.dispersion,
                    table[i].second.sigma, table[i].second.dispersion);
    return 0;
}

int writeClips(const std::string& directory, double sigma, const Arguments& args) {
    for (size_t p = 0; p < args.photos.size(); ++p) {
        const std::string stem = directory + "/" + baseName(args.photos[p]);
        photo_clips::writePannedClips(*photo_clips::loadPhotograph(args.photos[p]), args.pan, sigma,
                                      static_cast<uint64_t>(std::lround(sigma * 1000)) + p, stem + "-clean.y4m",
                                      stem + "-noisy.y4m");
        std::printf("%s-noisy.y4m\n", stem.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage();
    configureFfmpegLogging();
    const std::string command = argv[1];
    try {
        if (command == "calibrate") return calibrate(parse(argc, argv, 2));
        if (command == "clips" && argc >= 4) return writeClips(argv[2], std::atof(argv[3]), parse(argc, argv, 4));
    } catch (const CliError& error) {
        std::fprintf(stderr, "quenda_strength_bench: %s\n", error.what());
        return 1;
    }
    usage();
}
