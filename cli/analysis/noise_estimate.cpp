#include "cli/analysis/noise_estimate.h"

#include "cli/commands/errors.h"
#include "cli/media/pixel_convert.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

namespace quenda_cli {

namespace {

// The table that `bench/calibrate_strength.sh build` printed, unedited: for
// Gaussian noise of `codes` 8-bit code values on every plane of 4:2:0 clips
// panned over four photographs, the noise that measureNoise finds there
// (host units, the mean over the photographs) and the dispersion of that
// plane, at the default radii, whose worst PSNR loss against each
// photograph's own best dispersion is least. Chroma wants more
// smoothing than luma at the same noise: photographs carry little fine
// colour detail.
struct CalibrationPoint {
    double codes;
    double lumaSigma;
    int lumaDispersion;
    double chromaSigma;
    int chromaDispersion;
};
const CalibrationPoint calibration[] = {
    {2, 44.4, 33, 38.8, 33},
    {3, 62.2, 37, 56.5, 38},
    {5, 98.7, 43, 93.2, 46},
    {7, 136.0, 47, 129.5, 53},
    {10, 191.2, 51, 184.4, 61},
    {14, 263.7, 56, 256.3, 71},
    {20, 370.2, 61, 366.3, 84},
    {25, 455.9, 65, 455.5, 92},
    {30, 538.8, 69, 546.3, 99},
};

// Each plane is read as floats, row by row.
struct Plane {
    int width = 0;
    int height = 0;
    std::vector<float> values;
};

// Robust standard deviation of white noise in a plane. The 3x3 high-pass
// [1 -2 1]x[1 -2 1] cancels any plane of constant slope and has gain 6 for
// white noise; its mean square over an 8x8 block is the noise plus what
// detail the block holds, so the quietest tenth of the blocks tells the
// noise with little regard to texture, once scaled by what the tenth of
// pure noise's blocks falls short of its sigma. Neighbourhoods that hold
// either of the plane's extremes are left out, so that clipped highlights
// and shadows and noiseless flat borders do not pass for quiet blocks.
constexpr int noiseBlock = 8;
// The smallest plane side that holds a block and its high-pass border.
constexpr int smallestMeasured = noiseBlock + 2;

double planeNoise(const Plane& plane) {
    const int block = noiseBlock;
    const double quietestTenthOfPureNoise = 0.794;  // measured on Gaussian noise
    if (plane.width < smallestMeasured || plane.height < smallestMeasured) return 0;
    const auto [low, high] = std::minmax_element(plane.values.begin(), plane.values.end());
    const float lo = *low, hi = *high;
    const size_t w = static_cast<size_t>(plane.width);
    auto response = [&](int x, int y, double* squared) {
        const float* above = plane.values.data() + (y - 1) * w + x;
        const float* row = above + w;
        const float* below = row + w;
        for (const float* r : {above, row, below})
            for (int i = -1; i <= 1; ++i)
                if (r[i] <= lo || r[i] >= hi) return false;
        auto second = [](const float* r) { return r[-1] - 2 * r[0] + r[1]; };
        const double value = second(above) - 2 * second(row) + second(below);
        *squared = value * value;
        return true;
    };
    std::vector<double> blocks;
    for (int top = 1; top + block < plane.height; top += block) {
        for (int left = 1; left + block < plane.width; left += block) {
            double sum = 0, squared = 0;
            int count = 0;
            for (int y = top; y < top + block; ++y)
                for (int x = left; x < left + block; ++x)
                    if (response(x, y, &squared)) {
                        sum += squared;
                        ++count;
                    }
            if (count >= block * block / 2) blocks.push_back(std::sqrt(sum / count) / 6);
        }
    }
    if (blocks.empty()) return 0;
    const auto tenth = blocks.begin() + static_cast<ptrdiff_t>(blocks.size() / 10);
    std::nth_element(blocks.begin(), tenth, blocks.end());
    return *tenth / quietestTenthOfPureNoise;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

NoiseLevel measureNoise(const PixelYC* image, int rowPixels, int width, int height, int chromaStepX,
                        int chromaStepY) {
    NoiseLevel level;
    Plane luma;
    luma.width = width;
    luma.height = height;
    luma.values.reserve(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) luma.values.push_back(image[static_cast<size_t>(y) * rowPixels + x].y);
    level.luma = planeNoise(luma);

    // The chroma kernel reads the mean of each horizontal pixel pair.
    Plane cb, cr;
    for (Plane* plane : {&cb, &cr}) {
        plane->width = (rowPixels / 2 + chromaStepX - 1) / chromaStepX;
        plane->height = (height + chromaStepY - 1) / chromaStepY;
    }
    for (int y = 0; y < height; y += chromaStepY) {
        const PixelYC* row = image + static_cast<size_t>(y) * rowPixels;
        for (int i = 0; 2 * i + 1 < rowPixels; i += chromaStepX) {
            cb.values.push_back((row[2 * i].cb + row[2 * i + 1].cb) / 2.0f);
            cr.values.push_back((row[2 * i].cr + row[2 * i + 1].cr) / 2.0f);
        }
    }
    const double cbNoise = planeNoise(cb), crNoise = planeNoise(cr);
    level.chroma = cbNoise > 0 && crNoise > 0 ? (cbNoise + crNoise) / 2 : std::max(cbNoise, crNoise);
    return level;
}

int dispersionForNoise(double sigma, bool chroma) {
    auto sigmaOf = [chroma](const CalibrationPoint& p) { return chroma ? p.chromaSigma : p.lumaSigma; };
    auto dispersionOf = [chroma](const CalibrationPoint& p) { return chroma ? p.chromaDispersion : p.lumaDispersion; };
    const size_t n = sizeof calibration / sizeof calibration[0];
    if (!(sigma > sigmaOf(calibration[0]))) return dispersionOf(calibration[0]);
    for (size_t i = 1; i < n; ++i) {
        const CalibrationPoint &a = calibration[i - 1], &b = calibration[i];
        if (sigma <= sigmaOf(b)) {
            // The best dispersion grows with the logarithm of the noise:
            // h2 = 10^((100 - D) / 27.5) wants to shrink as 1 / sigma.
            const double t = std::log(sigma / sigmaOf(a)) / std::log(sigmaOf(b) / sigmaOf(a));
            return static_cast<int>(std::lround(dispersionOf(a) + t * (dispersionOf(b) - dispersionOf(a))));
        }
    }
    return dispersionOf(calibration[n - 1]);
}

double eightBitCodes(double hostUnits, bool chroma) { return hostUnits * (chroma ? 224.0 : 219.0) / 4096.0; }

StrengthChoice chooseStrength(VideoInput& input, int first, int end, const TrackValues& tracks,
                              const bool automatic[2]) {
    StrengthChoice choice;
    choice.tracks = tracks;
    if (!automatic[0] && !automatic[1]) return choice;
    const VideoInfo& info = input.info();
    YcConverter converter(info.format, info.width, info.height, isFullRange(info.format, info.range), info.colorSpace);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(workingFormat(info.format));
    const int stepX = std::max(1, (1 << desc->log2_chroma_w) / 2), stepY = 1 << desc->log2_chroma_h;
    std::vector<PixelYC> image(static_cast<size_t>(converter.rowPixels()) * info.height);

    // Frames at the middles of equal parts of the range, so that a scene
    // change or a fade sways at most one of them.
    const int count = std::min(5, end - first);
    std::vector<double> luma, chroma;
    int read = 0;
    for (int k = 0; k < count; ++k) {
        const int index = first + static_cast<int>((2 * k + 1) * static_cast<int64_t>(end - first) / (2 * count));
        try {
            converter.toYc(input.frame(index), image.data());
        } catch (const InputEndsEarly&) {
            break;  // the run itself reports where the input ends
        }
        const NoiseLevel level =
            measureNoise(image.data(), converter.rowPixels(), info.width, info.height, stepX, stepY);
        ++read;
        if (level.luma > 0) luma.push_back(level.luma);
        if (level.chroma > 0) chroma.push_back(level.chroma);
    }
    choice.measured = true;
    choice.framesMeasured = read;
    // The planes as measureNoise reads them: luma, and chroma by its pairs.
    const int pairsAcross = (converter.rowPixels() / 2 + stepX - 1) / stepX, chromaRows = (info.height + stepY - 1) / stepY;
    choice.tooSmall[0] = info.width < smallestMeasured || info.height < smallestMeasured;
    choice.tooSmall[1] = pairsAcross < smallestMeasured || chromaRows < smallestMeasured;
    choice.noise.luma = median(luma);
    choice.noise.chroma = median(chroma);
    const double sigma[2] = {choice.noise.luma, choice.noise.chroma};
    for (int plane = 0; plane < 2; ++plane) {
        choice.automatic[plane] = automatic[plane] && sigma[plane] > 0;
        if (choice.automatic[plane])
            choice.tracks[dispersionTrack[plane]] = dispersionForNoise(sigma[plane], plane == 1);
    }
    return choice;
}

namespace {

// One plane's part of a choice, for the texts below.
struct PlaneChoice {
    const char* name;
    double sigma;
    int dispersion;
    bool automatic;
    bool chroma;
    bool tooSmall;
};

std::array<PlaneChoice, 2> planesOf(const StrengthChoice& choice) {
    return {PlaneChoice{"luma", choice.noise.luma, choice.tracks[dispersionTrack[0]], choice.automatic[0], false,
                        choice.tooSmall[0]},
            PlaneChoice{"chroma", choice.noise.chroma, choice.tracks[dispersionTrack[1]], choice.automatic[1], true,
                        choice.tooSmall[1]}};
}

}  // namespace

std::string strengthText(const StrengthChoice& choice) {
    std::string text = "auto strength, from " + std::to_string(choice.framesMeasured) + " frames:";
    for (const PlaneChoice& p : planesOf(choice)) {
        char part[160];
        if (p.sigma <= 0 && p.tooSmall)
            std::snprintf(part, sizeof part,
                          "%s not measured, the frames are too small (a plane of %dx%d samples at least), dispersion %d",
                          p.name, smallestMeasured, smallestMeasured, p.dispersion);
        else if (p.sigma <= 0)
            std::snprintf(part, sizeof part, "%s no noise found, dispersion %d", p.name, p.dispersion);
        else
            std::snprintf(part, sizeof part, "%s noise %.1f (%.1f in 8-bit codes), dispersion %d%s", p.name, p.sigma,
                          eightBitCodes(p.sigma, p.chroma), p.dispersion, p.automatic ? "" : " as given");
        text += std::string(p.chroma ? "; " : " ") + part;
    }
    return text + "\n";
}

std::string strengthJson(const StrengthChoice& choice) {
    std::string json = "{\"frames_measured\": " + std::to_string(choice.framesMeasured);
    for (const PlaneChoice& p : planesOf(choice)) {
        char part[200];
        std::snprintf(part, sizeof part,
                      ", \"%s\": {\"noise_sigma\": %.2f, \"noise_sigma_8bit\": %.2f, \"dispersion\": %d, "
                      "\"from_noise\": %s}",
                      p.name, p.sigma, eightBitCodes(p.sigma, p.chroma), p.dispersion, p.automatic ? "true" : "false");
        json += part;
    }
    return json + "}";
}

}  // namespace quenda_cli
