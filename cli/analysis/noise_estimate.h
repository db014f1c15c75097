// The automatic strength: the noise of each plane measured on a few frames of
// the clip, and the dispersion that suits it read from a calibration table.
#pragma once

#include "cli/hosting/plugin_host.h"
#include "cli/media/video_input.h"

#include <cstddef>
#include <string>

namespace quenda_cli {

// Standard deviation of the noise in host units, as the kernels see each
// plane (chroma as the pair averages that the chroma kernel reads); 0 where
// a plane could not be measured (a grey clip's chroma, a flat frame).
struct NoiseLevel {
    double luma = 0;
    double chroma = 0;
};

// The noise of one frame of host pixels, `rowPixels` wide. Chroma is read at
// the file's own sample grid, every `chromaStepX`-th pair and
// `chromaStepY`-th row, so that repeated samples do not pass for clean ones.
NoiseLevel measureNoise(const PixelYC* image, int rowPixels, int width, int height, int chromaStepX,
                        int chromaStepY);

// The dispersion that the calibration found best, at the default radii, for
// noise of `sigma` host units in luma or in chroma.
int dispersionForNoise(double sigma, bool chroma);

// One host unit in 8-bit code values of limited range, for people who think
// of noise in those.
double eightBitCodes(double hostUnits, bool chroma);

// The tracks of the luma and the chroma dispersion.
constexpr size_t dispersionTrack[2] = {lumaDispersionTrack, chromaDispersionTrack};

struct StrengthChoice {
    bool measured = false;
    bool automatic[2] = {false, false};  // luma, chroma: the dispersion came from the table
    bool tooSmall[2] = {false, false};   // the plane is too small to be measured
    int framesMeasured = 0;
    NoiseLevel noise;
    TrackValues tracks{};  // the tracks to run with
};

// Measures up to five frames spread over [first, end) of `input` and sets
// the dispersion of each plane in `automatic` from the table; the other
// tracks stay as given. Does nothing unless one plane is automatic.
StrengthChoice chooseStrength(VideoInput& input, int first, int end, const TrackValues& tracks,
                              const bool automatic[2]);

// "auto strength: luma noise 9.8 (8-bit codes) -> dispersion 50, ..." for the terminal.
std::string strengthText(const StrengthChoice& choice);
// The same as a JSON object, for --report.
std::string strengthJson(const StrengthChoice& choice);

}  // namespace quenda_cli
