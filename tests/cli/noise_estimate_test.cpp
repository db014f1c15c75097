// The noise estimator on frames of known noise: Gaussian noise of a given
// sigma over gradients and hard edges, in the layouts the plug-in's chroma
// kernel sees, with and without clipped highlights.
#include "cli/analysis/noise_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using quenda_cli::measureNoise;
using quenda_cli::NoiseLevel;

struct NoiseCase {
    const char* name;
    double sigma;       // host units, on every sample of the file's planes
    int chromaShiftX;   // the file's subsampling: 1, 1 for 4:2:0; 0, 0 for 4:4:4
    int chromaShiftY;
    bool clippedWhite;  // the right half is blown out to the largest value
};

void PrintTo(const NoiseCase& c, std::ostream* os) { *os << c.name; }

class NoiseEstimateTest : public ::testing::TestWithParam<NoiseCase> {};

// A frame of host pixels with noise added to each file sample; subsampled
// chroma samples are repeated over the pixels they cover, as the host does.
std::vector<PixelYC> noisyFrame(const NoiseCase& c, int width, int height) {
    std::mt19937 random(12345);
    std::normal_distribution<double> noise(0, c.sigma);
    auto clamp = [](double v) { return static_cast<int16_t>(std::clamp(std::lround(v), -2048L, 6143L)); };
    auto scene = [&](int x, int y) {  // gradients, a bright square and a dark bar
        double v = 800 + 6 * x + 4 * y;
        if (x > width / 8 && x < width / 3 && y > height / 4 && y < height / 2) v = 3500;
        if (y > height * 3 / 4) v = 300;
        return c.clippedWhite && x >= width / 2 ? 6143.0 : v;
    };
    std::vector<PixelYC> image(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image[static_cast<size_t>(y) * width + x].y = clamp(scene(x, y) + noise(random));
    const int stepX = 1 << c.chromaShiftX, stepY = 1 << c.chromaShiftY;
    for (int y = 0; y < height; y += stepY) {
        for (int x = 0; x < width; x += stepX) {
            const int16_t cb = clamp(scene(x, y) / 4 - 500 + noise(random)), cr = clamp(200 - x + noise(random));
            for (int dy = 0; dy < stepY; ++dy)
                for (int dx = 0; dx < stepX; ++dx) {
                    PixelYC& p = image[static_cast<size_t>(y + dy) * width + x + dx];
                    p.cb = cb;
                    p.cr = cr;
                }
        }
    }
    return image;
}

TEST_P(NoiseEstimateTest, FindsTheSigmaThatWasAdded) {
    const NoiseCase c = GetParam();
    const int width = 320, height = 240;
    const std::vector<PixelYC> image = noisyFrame(c, width, height);
    const NoiseLevel level =
        measureNoise(image.data(), width, width, height, std::max(1, (1 << c.chromaShiftX) / 2), 1 << c.chromaShiftY);
    EXPECT_NEAR(level.luma, c.sigma, 0.05 * c.sigma);
    // The chroma kernel reads pair means: unsubsampled noise is halved in
    // variance there, subsampled noise is the same sample twice.
    const double chroma = c.chromaShiftX ? c.sigma : c.sigma / std::sqrt(2.0);
    EXPECT_NEAR(level.chroma, chroma, 0.05 * chroma);
}

INSTANTIATE_TEST_SUITE_P(Layouts, NoiseEstimateTest,
                         ::testing::Values(NoiseCase{"Sigma20In420", 20, 1, 1, false},
                                           NoiseCase{"Sigma187In420", 187, 1, 1, false},
                                           NoiseCase{"Sigma560In420", 560, 1, 1, false},
                                           NoiseCase{"Sigma187In444", 187, 0, 0, false},
                                           NoiseCase{"Sigma187In422", 187, 1, 0, false},
                                           NoiseCase{"Sigma93ClippedWhite", 93, 1, 1, true}),
                         [](const ::testing::TestParamInfo<NoiseCase>& info) { return info.param.name; });

}  // namespace
