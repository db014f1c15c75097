// One denoising run from a file to a file: frames served to the plug-in from
// the input, its results written to the output, measured and reported.
#pragma once

#include "cli/analysis/chroma_detail.h"
#include "cli/hosting/plugin_host.h"
#include "cli/media/video_output.h"
#include "cli/report/run_report.h"

#include <iostream>
#include <string>

namespace quenda_cli {

struct DenoiseOptions {
    std::string input;
    std::string output;
    TrackValues tracks{};
    bool autoDispersion[2] = {false, false};  // luma, chroma: dispersion from the measured noise
    int firstFrame = 0;
    int endFrame = -1;        // one past the last frame; -1 for the end of the clip
    bool framesGiven = false; // a chunk (--frames): the file records what it was made from
    int stream = -1;          // the input's video stream by index; -1: the one with the most frames
    std::string reference;    // clean clip for PSNR and SSIM
    std::string compare;      // PNG of noisy | denoised (| reference)
    int compareFrame = -1;    // -1: the middle of the range
    std::string report;       // JSON summary; "-" for standard output
    OutputSettings written;   // encoder, format, and whether existing files may be replaced
    ChromaDetail chromaDetail = ChromaDetail::pairs;  // for input with chroma for every pixel
    bool preview = false;     // frame by frame, outside an output run
    bool quiet = false;

    // Where the run's own lines go: standard error when a file takes standard output.
    std::ostream& messages() const {
        return output == "-" || report == "-" || compare == "-" ? std::cerr : std::cout;
    }
};

// Runs the whole job and returns its report. Throws CliError; a cut-off or
// damaged input throws with ExitCode::truncated after the output and report
// are finalised.
RunReport runDenoise(const DenoiseOptions& options, PluginModule& plugin);

}  // namespace quenda_cli
