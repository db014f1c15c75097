// Helpers of the command-line host's tests: running the built quenda, and
// making and reading small video files with its library.
#pragma once

#include "cli/media/demo_clip.h"
#include "cli/media/ffmpeg_util.h"

#include <string>
#include <vector>

namespace cli_test {

// A fresh directory, removed with its contents at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

struct RunResult {
    int exitCode;
    std::string output;  // standard error, and standard output unless redirected
};

// QUENDA_REGISTRY_ROOT=...: the tests' runs keep their compiled kernels
// together, away from $HOME.
std::string registrySetting();

// Every range 0: the plug-in gives back its input.
extern const std::vector<std::string> identity;
// The arguments of `a` followed by those of `b`.
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b);

// Runs quenda with `args`; standard input and output optionally from and to
// files, and `environment` (NAME=VALUE ...) added to its environment.
RunResult runQuenda(const std::vector<std::string>& args, const std::string& stdinFile = "",
                    const std::string& stdoutFile = "", const std::string& environment = "");
// Runs quenda once for each argument list, all at the same time.
std::vector<RunResult> runQuendaTogether(const std::vector<std::vector<std::string>>& runs);

// A clip of `frames` frames of the demo scene.
quenda_cli::DemoSettings clipSettings(AVPixelFormat format, int width, int height, int frames);
// Writes the clean scene, or its noisy copy, with the encoder named or the extension's.
void writeClip(const std::string& path, const quenda_cli::DemoSettings& settings, bool noisy,
               const std::string& codec = "");
// The same video with a mono audio stream: FFV1 and PCM in Matroska, H.264
// (libx264) and AAC in a path ending in .mp4.
// With `extras`, what users' files carry besides: the video rotated by 90
// degrees (which only MP4 stores), HDR mastering display and light levels,
// fields top first, two chapters; in Matroska also cover art and a second
// video stream.
void writeClipWithAudio(const std::string& path, const quenda_cli::DemoSettings& settings, bool extras = false);

std::vector<quenda_cli::FramePtr> readAllFrames(const std::string& path);
// Same format, size and plane contents.
bool samePlanes(const AVFrame& a, const AVFrame& b);
// The packets of the first audio stream, concatenated, each after its time
// stamp and duration if asked; empty without one.
std::string audioBytes(const std::string& path, bool withTimes = false);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
// Names in the directory ending in `suffix`.
std::vector<std::string> filesEndingWith(const std::string& dir, const std::string& suffix);
// Copies the first `fraction` of a file.
void truncateCopy(const std::string& from, const std::string& to, double fraction);
// Copies a file with `length` bytes from `fraction` of the way in scrambled.
void damageCopy(const std::string& from, const std::string& to, double fraction, size_t length);
// The number after "key": in a JSON text; NaN when absent.
double jsonValue(const std::string& json, const std::string& key, size_t from = 0);

}  // namespace cli_test
