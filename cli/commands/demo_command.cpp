#include "cli/commands/demo_command.h"

#include "cli/analysis/metrics.h"
#include "cli/commands/denoise_job.h"
#include "cli/commands/errors.h"
#include "cli/media/demo_clip.h"
#include "cli/media/video_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace quenda_cli {

namespace {

// The folders of `path` that are missing, made; the ones made, deepest last.
std::vector<std::string> makeDirectory(const std::string& path) {
    std::vector<std::string> made;
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && mkdir(partial.c_str(), 0777) == 0) made.push_back(partial);
            else if (!partial.empty() && errno != EEXIST)
                throw CliError(ExitCode::output, "cannot make the directory " + partial + ": " + std::strerror(errno));
        }
        if (i < path.size()) partial += path[i];
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw CliError(ExitCode::output, path + " is not a directory");
    return made;
}

// The clips are written and denoised under their temporary names, and moved
// to theirs once the denoised video and the picture are.
RunReport makeAndDenoise(const std::string& directory, PluginModule& plugin, bool quiet, Overwrite overwrite,
                         DenoiseOptions& options) {
    const DemoSettings settings;
    const std::string clean = directory + "/clean.mkv";
    const std::string noisy = directory + "/noisy.mkv";
    options.output = directory + "/denoised.mkv";
    options.compare = directory + "/compare.png";
    for (const std::string& name : {clean, noisy, options.output, options.compare})
        OutputFile::check(name, overwrite, Links::replace);
    std::cout << "making a " << settings.frames << "-frame " << settings.width << "x" << settings.height
              << " clip of moving shapes and texture, with Gaussian noise of sigma " << settings.noiseSigma << "\n";
    OutputSettings written;
    written.overwrite = overwrite;
    written.links = Links::replace;
    written.quiet = true;
    const VideoInfo info = demoVideoInfo(settings);
    VideoOutput cleanClip(clean, written, info), noisyClip(noisy, written, info);
    writeDemoFrames(settings, &cleanClip, &noisyClip);
    cleanClip.finalise();
    noisyClip.finalise();

    options.input = noisyClip.writtenPath();
    options.reference = cleanClip.writtenPath();
    options.compareFrame = settings.frames / 2;
    options.tracks = plugin.defaults();
    options.quiet = quiet;
    options.written.overwrite = overwrite;
    options.written.links = Links::replace;
    std::cout << "denoising it with " << plugin.info() << " at its default settings\n" << std::flush;
    const RunReport report = runDenoise(options, plugin);
    cleanClip.commit();
    noisyClip.commit();
    options.input = noisy;
    options.reference = clean;
    return report;
}

}  // namespace

void runDemo(const std::string& directory, PluginModule& plugin, bool quiet, Overwrite overwrite) {
    const std::vector<std::string> made = makeDirectory(directory);
    DenoiseOptions options;
    RunReport report;
    try {
        report = makeAndDenoise(directory, plugin, quiet, overwrite, options);
    } catch (...) {
        for (auto folder = made.rbegin(); folder != made.rend(); ++folder) rmdir(folder->c_str());
        throw;
    }
    const DemoSettings settings;
    const std::string& clean = options.reference;
    const std::string& noisy = options.input;

    std::cout << "\n";
    for (const PlaneReport& plane : report.quality)
        std::cout << "  PSNR " << plane.name << (plane.name.size() == 1 ? " " : "") << "  noisy " << formatPsnr(plane.psnrInput)
                  << "  ->  denoised " << formatPsnr(plane.psnrOutput) << "\n";
    char gain[64];
    std::snprintf(gain, sizeof gain, "%+.2f dB", report.psnrOutput - report.psnrInput);
    std::cout << "  PSNR, all planes: noisy " << formatPsnr(report.psnrInput) << "  ->  denoised "
              << formatPsnr(report.psnrOutput) << "  (" << gain << ")\n\n";
    std::cout << report.framesWritten << " frames in " << formatDuration(report.seconds) << " on " << report.device
              << "\n";
    std::cout << "wrote " << noisy << " (noisy), " << options.output << " (denoised), " << clean << " (clean),\n"
              << "      " << options.compare << " (frame " << options.compareFrame << ": noisy | denoised | clean)\n";
}

}  // namespace quenda_cli
