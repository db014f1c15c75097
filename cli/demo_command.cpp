#include "cli/demo_command.h"

#include "cli/demo_clip.h"
#include "cli/denoise_job.h"
#include "cli/errors.h"
#include "cli/metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

namespace quenda_cli {

namespace {

void makeDirectory(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
                throw CliError(ExitCode::output, "cannot make the directory " + partial + ": " + std::strerror(errno));
        }
        if (i < path.size()) partial += path[i];
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw CliError(ExitCode::output, path + " is not a directory");
}

}  // namespace

void runDemo(const std::string& directory, PluginModule& plugin, bool quiet) {
    makeDirectory(directory);
    const DemoSettings settings;
    const std::string clean = directory + "/clean.mkv";
    const std::string noisy = directory + "/noisy.mkv";
    std::cout << "making a " << settings.frames << "-frame " << settings.width << "x" << settings.height
              << " clip of moving shapes and texture, with Gaussian noise of sigma " << settings.noiseSigma << "\n";
    writeDemoClips(settings, clean, noisy);

    DenoiseOptions options;
    options.input = noisy;
    options.output = directory + "/denoised.mkv";
    options.reference = clean;
    options.compare = directory + "/compare.png";
    options.compareFrame = settings.frames / 2;
    options.tracks = plugin.defaults();
    options.quiet = quiet;
    options.written.overwrite = Overwrite::allow;  // the demo's own folder
    std::cout << "denoising it with " << plugin.info() << " at its default settings\n" << std::flush;
    const RunReport report = runDenoise(options, plugin);

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
