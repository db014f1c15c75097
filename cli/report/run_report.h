// What a run tells its user: progress on a terminal while it works, a summary
// at the end, and the same summary as JSON for scripts.
#pragma once

#include "cli/analysis/noise_estimate.h"
#include "cli/hosting/plugin_host.h"

#include <chrono>
#include <string>
#include <vector>

namespace quenda_cli {

// "frame 12/300  3.4 fps  ETA 1:25" on one rewritten line of stderr, when it is a terminal.
class Progress {
public:
    Progress(int total, bool enabled);
    void update(int done);
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    int total_;
    bool enabled_;
    bool shown_ = false;
    Clock::time_point start_;
    Clock::time_point lastShown_;
};

struct PlaneReport {
    std::string name;  // "Y", "Cb", "Cr"
    double psnrInput = 0;
    double psnrOutput = 0;
    double ssimInput = 0;
    double ssimOutput = 0;
};

struct RunReport {
    std::string input;
    std::string output;
    std::string plugin;
    std::string device;
    std::string encoder;
    std::string pixelFormat;
    int width = 0;
    int height = 0;
    double frameRate = 0;
    int clipFrames = 0;
    int firstFrame = 0;
    int endFrame = 0;       // one past the last frame asked for
    int framesWritten = 0;
    TrackValues tracks{};
    StrengthChoice strength;  // the measured noise and the choice, with an automatic strength
    bool preview = false;
    double seconds = 0;
    // Where the time went: starting the plug-in (and its output run), the
    // frame loop, the part of the loop spent inside the processing callback,
    // serving frames to it (decoding and conversion), waiting there for the
    // plug-in's worker thread; the worker's running time, and the time that
    // any thread spent waiting for the GPU in a Map.
    double setupSeconds = 0;
    double loopSeconds = 0;
    double pluginSeconds = 0;
    double fetchSeconds = 0;
    double waitSeconds = 0;
    double workerSeconds = 0;
    double gpuWaitSeconds = 0;
    int copiedStreams = 0;
    bool complete = true;
    std::string note;  // where and why the input ended, when not complete
    int decodeErrors = 0;             // errors the input's decoder reported
    std::vector<int> damagedFrames;   // frames concealed by the decoder or stored incomplete
    std::vector<PlaneReport> quality;
    double psnrInput = 0;  // all planes together
    double psnrOutput = 0;
    std::vector<std::string> warnings;
    std::string chromaDetail;  // "pairs" or "keep" for input with chroma for every pixel

    double fps() const { return seconds > 0 ? framesWritten / seconds : 0; }
};

// "the decoder reported 3 errors; frames 4 to 6 are damaged", or empty.
std::string damageText(const RunReport& report);
// Human-readable lines for the end of a run.
std::string summaryText(const RunReport& report);
std::string toJson(const RunReport& report);
// The Vulkan device that the Direct3D stand-in picks, in words.
std::string pickedDeviceName();
// "1:05", "12.3 s".
std::string formatDuration(double seconds);

}  // namespace quenda_cli
