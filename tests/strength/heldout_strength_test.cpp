// The automatic strength on photographs that its calibration did not see
// (chelsea and motorcycle_left of python3-skimage; the calibration used
// astronaut, coffee, rocket and ihc): clips panned over them with
// Gaussian noise, denoised through the whole job as `quenda denoise
// --strength auto` runs it. CTest fetches the photographs first and names
// their folder in QUENDA_PHOTO_DIR; without it the test is skipped.
#include "cli/analysis/noise_estimate.h"
#include "tests/support/photo_clips.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using photo_clips::Psnr;
using quenda_cli::dispersionTrack;

const char* const heldOutPhotos[] = {"chelsea.png", "motorcycle_left.png"};

// The mean PSNR over the held-out photographs of clips with noise of
// `sigma` 8-bit codes, denoised at the default tracks with the given
// dispersion (both planes), or with the automatic strength for -1.
class HeldOutClips {
public:
    HeldOutClips(quenda_cli::PluginModule& plugin, const std::string& photoDir, double sigma) : plugin_(plugin) {
        photo_clips::PanSettings pan;
        pan.width = 160;
        pan.height = 120;
        pan.frames = 6;
        for (const char* photo : heldOutPhotos) {
            const std::string stem = folder_.path(photo);
            clips_.push_back({stem + "-clean.y4m", stem + "-noisy.y4m"});
            photo_clips::writePannedClips(*photo_clips::loadPhotograph(photoDir + "/" + photo), pan, sigma,
                                          static_cast<uint64_t>(sigma * 7919), clips_.back().first,
                                          clips_.back().second);
        }
    }

    const Psnr& at(int dispersion) {
        auto known = results_.find(dispersion);
        if (known != results_.end()) return known->second;
        quenda_cli::TrackValues tracks = plugin_.defaults();
        if (dispersion >= 0) tracks[dispersionTrack[0]] = tracks[dispersionTrack[1]] = dispersion;
        Psnr mean;
        for (const auto& [clean, noisy] : clips_) {
            const Psnr run = photo_clips::denoise(plugin_, noisy, clean, folder_.path("out.y4m"), tracks, dispersion < 0);
            mean.y += run.y / clips_.size();
            mean.chroma += run.chroma / clips_.size();
        }
        return results_[dispersion] = mean;
    }

private:
    quenda_cli::PluginModule& plugin_;
    photo_clips::TempFolder folder_;
    std::vector<std::pair<std::string, std::string>> clips_;
    std::map<int, Psnr> results_;
};

const int automatic = -1;

class HeldOutStrengthTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("QUENDA_PHOTO_DIR");
        if (!dir) GTEST_SKIP() << "QUENDA_PHOTO_DIR is not set: run through ctest, which fetches the photographs";
        photoDir_ = dir;
        // Compiled kernels are kept beside the photographs between runs.
        setenv("QUENDA_REGISTRY_ROOT", (photoDir_ + "-registry").c_str(), 0);
        plugin_ = std::make_unique<quenda_cli::PluginModule>(QUENDA_PLUGIN_PATH);
    }
    std::string photoDir_;
    std::unique_ptr<quenda_cli::PluginModule> plugin_;
};

// Where the default suits the luma noise badly, the measured noise must find
// a much better luma dispersion, and a chroma dispersion no worse than the
// default (which happens to suit chroma at sigma 5).
TEST_F(HeldOutStrengthTest, BeatsTheDefaultWhereItMisfits) {
    const int defaultDispersion = plugin_->defaults()[dispersionTrack[0]];
    for (double sigma : {5.0, 20.0}) {
        HeldOutClips clips(*plugin_, photoDir_, sigma);
        const Psnr chosen = clips.at(automatic), fixed = clips.at(defaultDispersion);
        std::printf("sigma %g: PSNR Y / CbCr, auto %.2f / %.2f dB, dispersion %d %.2f / %.2f dB\n", sigma, chosen.y,
                    chosen.chroma, defaultDispersion, fixed.y, fixed.chroma);
        EXPECT_GT(chosen.y, fixed.y + 1.0) << "luma at sigma " << sigma;
        EXPECT_GT(chosen.chroma, fixed.chroma - 0.1) << "chroma at sigma " << sigma;
    }
}

// Where the default happens to suit the noise, the automatic choice must be
// about as good as the best fixed dispersion.
TEST_F(HeldOutStrengthTest, MatchesTheBestFixedValueAtSigma10) {
    HeldOutClips clips(*plugin_, photoDir_, 10);
    const Psnr chosen = clips.at(automatic);
    const int start = plugin_->defaults()[dispersionTrack[0]];
    const int bestLuma = photo_clips::climbToPeak([&](int d) { return clips.at(d).y; }, start);
    const int bestChroma = photo_clips::climbToPeak([&](int d) { return clips.at(d).chroma; }, start);
    std::printf("sigma 10: PSNR Y / CbCr, auto %.2f / %.2f dB, best fixed %.2f dB at %d / %.2f dB at %d\n", chosen.y,
                chosen.chroma, clips.at(bestLuma).y, bestLuma, clips.at(bestChroma).chroma, bestChroma);
    EXPECT_GE(chosen.y, clips.at(bestLuma).y - 0.3) << "best fixed luma dispersion " << bestLuma;
    EXPECT_GE(chosen.chroma, clips.at(bestChroma).chroma - 0.3) << "best fixed chroma dispersion " << bestChroma;
}

}  // namespace
