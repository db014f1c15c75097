#include "cli/commands/command_line.h"

#include "cli/commands/demo_command.h"
#include "cli/commands/denoise_job.h"
#include "cli/commands/errors.h"
#include "cli/commands/frame_range.h"
#include "cli/commands/join_command.h"
#include "cli/commands/output_files.h"
#include "cli/hosting/kernel_cache.h"
#include "cli/hosting/plugin_host.h"
#include "cli/media/ffmpeg_util.h"
#include "cli/report/run_report.h"
#include "host/version.h"
#include "platform/instrumentation.h"
#include "platform/vulkan_adapters.h"

#include <CLI/CLI.hpp>

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quenda_cli {

namespace {

struct TrackOption {
    const char* flag;
    const char* what;
};

// In track order.
const TrackOption trackOptions[trackCountValue] = {
    {"--luma-space", "luma search radius in pixels: how far around each pixel similar patches are sought"},
    {"--luma-time", "luma time range: frames searched on each side of the current one"},
    {"--luma-dispersion", "luma strength: higher smooths more"},
    {"--chroma-space", "chroma search radius in pixels"},
    {"--chroma-time", "chroma time range in frames on each side"},
    {"--chroma-dispersion", "chroma strength: higher smooths more"},
};

const char* const examples =
    "Examples:\n"
    "  quenda demo                                  make, denoise and measure an example clip\n"
    "  quenda denoise noisy.mkv clean.mkv           denoise with the default settings\n"
    "  quenda denoise in.mp4 out.mp4 --strength auto\n"
    "  quenda denoise in.mkv part3.mkv --frames 2000:3000\n"
    "  quenda join part*.mkv whole.mkv              join the chunks again, exactly\n"
    "  ffmpeg -i in.mov -f yuv4mpegpipe - | quenda denoise - - | ffmpeg -i - out.mp4\n";

// The plug-in named by --plugin, found before parsing so that the options can
// show its defaults and ranges.
std::string pluginArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--plugin") == 0 && i + 1 < argc) return argv[i + 1];
        if (std::strncmp(argv[i], "--plugin=", 9) == 0) return argv[i] + 9;
    }
    return PluginModule::defaultPath();
}

// An empty value after = is refused: the parser would take the next
// argument as the value (--report= -q would write a file named -q).
void refuseEmptyValues(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.find('=') == arg.size() - 1)
            throw CliError(ExitCode::usage, arg.substr(0, arg.size() - 1) + " needs a value: nothing follows the =");
    }
}

// The options that take numbers, checked before parsing so that a word or a
// missing value is named as such (the parser would speak of a range). Returns
// a copy of the arguments with whole numbers written in plain decimal, where
// the parser would read 010 as octal 8 and refuse 08; argv is left as it is.
std::vector<std::string> checkNumbers(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    static const struct {
        const char* flag;
        bool fraction;
        bool takesAuto;  // the dispersions: "auto" chooses from the measured noise
    } numeric[] = {{"--luma-space", false, false},   {"--luma-time", false, false},  {"--luma-dispersion", false, true},
                   {"--chroma-space", false, false}, {"--chroma-time", false, false}, {"--chroma-dispersion", false, true},
                   {"--compare-frame", false, false}, {"--crf", true, false}, {"--stream", false, false}};
    auto isNumber = [](const std::string& text, bool fraction) {
        if (text.empty()) return false;
        char* end = nullptr;
        if (fraction) std::strtod(text.c_str(), &end);
        else std::strtoll(text.c_str(), &end, 10);
        return *end == '\0';
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t equals = arg.find('=');
        const std::string flag = arg.substr(0, equals);
        for (const auto& option : numeric) {
            if (flag != option.flag) continue;
            const bool inlineValue = equals != std::string::npos;
            if (!inlineValue && (i + 1 >= argc || (argv[i + 1][0] == '-' && !isNumber(argv[i + 1], option.fraction))))
                throw CliError(ExitCode::usage, flag + " needs a value");
            std::string& argument = arguments[inlineValue ? i : i + 1];
            const size_t at = inlineValue ? equals + 1 : 0;
            const std::string value = argument.substr(at);
            const char* text = value.c_str();
            if (option.takesAuto && value == "auto") continue;
            if (!isNumber(value, option.fraction) || (option.fraction && !std::isfinite(std::strtod(text, nullptr))))
                throw CliError(ExitCode::usage, flag + ": " + value + " is not " + (option.fraction ? "a number" : "a whole number"));
            const bool negative = value[0] == '-';
            const size_t digits = value.find_first_not_of("+-");
            const size_t significant = value.find_first_not_of('0', digits);
            const bool zero = option.fraction ? std::strtod(text, nullptr) == 0 : significant == std::string::npos;
            if (negative && !zero) throw CliError(ExitCode::usage, flag + ": " + value + " is below 0");
            if (!option.fraction) argument = argument.substr(0, at) + (zero ? "0" : value.substr(significant));
        }
    }
    return arguments;
}

std::string versionText(const std::string& pluginPath) {
    std::string text = "quenda " QUENDA_VERSION_TEXT "\n";
    try {
        PluginModule plugin(pluginPath);
        text += "plug-in: " + plugin.info() + " (" + plugin.path() + ")\n";
    } catch (const CliError& error) {
        text += std::string("plug-in: not loaded (") + error.what() + ")\n";
    }
    auto version = [](unsigned v) {
        return std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
               std::to_string(AV_VERSION_MICRO(v));
    };
    text += "FFmpeg " + std::string(av_version_info()) + ": libavformat " + version(avformat_version()) +
            ", libavcodec " + version(avcodec_version()) + ", libswscale " + version(swscale_version()) +
            ", libavutil " + version(avutil_version()) + "\n";
    text += "CLI11 " CLI11_VERSION "\n";
    return text;
}

int listDevices() {
    const std::vector<platform_d3d11::VulkanAdapter> adapters = platform_d3d11::listVulkanAdapters();
    if (adapters.empty()) {
        std::cerr << "quenda: error: no Vulkan device found; install a Vulkan driver (Debian's "
                     "mesa-vulkan-drivers has lavapipe, which runs on the CPU)\n";
        return static_cast<int>(ExitCode::plugin);
    }
    std::cout << "Vulkan devices for the Direct3D 11 stand-in (* = the one used; set QUENDA_VULKAN_DEVICE to an\n"
                 "index or a name to choose another):\n";
    for (const platform_d3d11::VulkanAdapter& a : adapters) {
        char ids[48];
        std::snprintf(ids, sizeof ids, "%04x:%04x", a.vendorId, a.deviceId);
        std::cout << (a.picked ? "  * " : "    ") << a.index << "  " << a.name << "  [" << a.type << ", " << ids
                  << "]" << (a.usable ? "" : "  not usable: lacks " + a.missing) << "\n";
    }
    bool picked = false;
    for (const platform_d3d11::VulkanAdapter& a : adapters) picked = picked || a.picked;
    if (picked) return 0;
    const char* wanted = std::getenv("QUENDA_VULKAN_DEVICE");
    std::cerr << "quenda: error: "
              << (wanted && *wanted ? "QUENDA_VULKAN_DEVICE=" + std::string(wanted) + " names none of the usable devices"
                                    : std::string("none of these devices can be used"))
              << ": `quenda denoise` would fail\n";
    return static_cast<int>(ExitCode::plugin);
}

// The plug-in, loaded before parsing so that the options can show its
// defaults and ranges; where it fails to load, that is the error of the
// commands that need it.
class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::string& path) {
        try {
            module_ = std::make_unique<PluginModule>(path);
        } catch (const CliError& error) {
            error_ = error;
        }
    }
    const PluginModule* get() const { return module_.get(); }
    PluginModule& need() const {
        if (!module_) throw *error_;
        return *module_;
    }

private:
    std::unique_ptr<PluginModule> module_;
    std::optional<CliError> error_;
};

// The denoise subcommand's options as parsed, before they become a job.
struct DenoiseCommand {
    CLI::App* app = nullptr;
    DenoiseOptions options;
    std::string frameRange;
    std::array<std::optional<int>, trackCountValue> trackValues;
    // The dispersions also take "auto": chosen from the noise measured in the input.
    std::array<std::optional<std::string>, 2> dispersionTexts;
    std::string audio;
    bool overwrite = false, noOverwrite = false;
    std::string strength;
    std::string chromaDetail;
};

// One option per track, with the plug-in's default and range where it loaded.
void addTrackOptions(DenoiseCommand& command, const std::vector<TrackInfo>& tracks) {
    for (int i = 0; i < trackCountValue; ++i) {
        const size_t t = static_cast<size_t>(i);
        std::string help = trackOptions[i].what;
        if (t < tracks.size())
            help += " [" + std::to_string(tracks[t].defaultValue) + ", " + std::to_string(tracks[t].minimum) + " to " +
                    std::to_string(tracks[t].maximum) + "; " + tracks[t].name + "]";
        const bool dispersion = t == dispersionTrack[0] || t == dispersionTrack[1];
        CLI::Option* option =
            dispersion ? command.app->add_option(trackOptions[i].flag, command.dispersionTexts[t == dispersionTrack[1]],
                                                 help + ", or auto")
                       : command.app->add_option(trackOptions[i].flag, command.trackValues[t], help);
        if (t < tracks.size()) {
            const CLI::Validator range = CLI::Range(tracks[t].minimum, tracks[t].maximum);
            option->check(dispersion ? range | CLI::IsMember({"auto"}) : range);
        }
    }
}

// How the output is encoded, which of the input's audio it keeps, and
// whether it may replace a file.
void addWrittenOptions(DenoiseCommand& command) {
    CLI::App* denoise = command.app;
    OutputSettings& written = command.options.written;
    denoise->add_option("--codec", written.codec, "FFmpeg encoder to use instead of the extension's");
    denoise->add_option("-f,--format", written.format,
                        "FFmpeg output format, for standard output or a name without extension (matroska, mp4, null, ...)");
    denoise->add_option("--crf", written.crf, "the encoder's constant quality (libx264: 0 lossless to 51; default 16)");
    denoise->add_option("--preset", written.preset, "the encoder's speed preset (libx264: ultrafast to placebo)");
    denoise->add_option("--encoder-options", written.encoderOptions,
                        "other encoder settings, as KEY=VALUE:KEY=VALUE (FFmpeg's names)");
    denoise->add_option("--audio", command.audio,
                        "copy: audio as it is, or an error where OUTPUT cannot hold it; transcode: always encode it "
                        "again; drop: no audio (default: copy, converted where OUTPUT cannot hold it)")
        ->check(CLI::IsMember({"copy", "transcode", "drop"}));
    CLI::Option* yes = denoise->add_flag("-y,--overwrite", command.overwrite, "replace existing output files");
    denoise->add_flag("-n,--no-overwrite", command.noOverwrite, "never replace an existing file (the default)")
        ->excludes(yes);
}

void addDenoiseCommand(CLI::App& app, DenoiseCommand& command, const PluginModule* plugin) {
    DenoiseOptions& options = command.options;
    CLI::App* denoise = command.app = app.add_subcommand("denoise", "denoise a video file");
    denoise->footer(
        "Example:\n"
        "  quenda denoise noisy.mkv denoised.mkv --strength auto --reference clean.mkv --report run.json\n"
        "The codec follows OUTPUT's extension: .mkv lossless FFV1, .mp4 H.264, .y4m raw. The input's other streams,\n"
        "chapters and metadata are kept where OUTPUT can hold them, and existing files are replaced only with -y.\n"
        "With --frames, frames outside the range still serve as temporal context, so the chunks of a\n"
        "long video give the same frames as one whole run; `quenda join` puts them together.");
    denoise->add_option("INPUT", options.input, "video to denoise (- reads a Y4M stream from standard input)")->required();
    denoise->add_option("OUTPUT", options.output, "file to write (- writes Y4M to standard output)")->required();
    addTrackOptions(command, plugin ? plugin->tracks() : std::vector<TrackInfo>{});
    denoise->add_option("--frames", command.frameRange,
                        "process frames A to B-1 only (A:B, A: or :B; A alone: that one frame)");
    denoise->add_option("--stream", options.stream,
                        "the input's video stream to denoise, by its index in the file (default: the one with the "
                        "most frames)");
    denoise->add_option("--reference", options.reference, "clean clip: report PSNR and SSIM of input and output");
    denoise->add_option("--compare", options.compare, "write a PNG of the noisy and denoised frame side by side");
    denoise->add_option("--compare-frame", options.compareFrame, "frame for --compare (default: the middle one)");
    denoise->add_option("--report", options.report, "write a JSON summary of the run (- for standard output)");
    addWrittenOptions(command);
    denoise->add_option("--strength", command.strength,
                        "auto: each plane's dispersion from the noise measured in the input; an explicit dispersion "
                        "wins")
        ->check(CLI::IsMember({"auto"}));
    denoise->add_option("--chroma-detail", command.chromaDetail,
                        "for 4:4:4 and RGB input: pairs: chroma as the plug-in gives it, one value per two pixels "
                        "across (the default); keep: the input's own chroma detail restored on the denoised pairs")
        ->check(CLI::IsMember({"pairs", "keep"}));
    denoise->add_flag("--preview", options.preview, "drive each frame on its own, outside an output run");
    denoise->add_flag("-q,--quiet", options.quiet, "no progress, no summary and no encoder banners");
}

// The job the parsed options ask for: the plug-in's defaults where a track
// is not given.
DenoiseOptions denoiseOptions(const DenoiseCommand& command, PluginModule& module) {
    DenoiseOptions options = command.options;
    options.tracks = module.defaults();
    for (size_t i = 0; i < command.trackValues.size(); ++i)
        if (command.trackValues[i]) options.tracks[i] = *command.trackValues[i];
    for (size_t plane = 0; plane < command.dispersionTexts.size(); ++plane) {
        const std::optional<std::string>& text = command.dispersionTexts[plane];
        options.autoDispersion[plane] = text ? *text == "auto" : command.strength == "auto";
        if (text && *text != "auto") options.tracks[dispersionTrack[plane]] = std::stoi(*text);
    }
    if (!command.frameRange.empty()) parseFrameRange(command.frameRange, options.firstFrame, options.endFrame);
    options.framesGiven = !command.frameRange.empty();
    options.written.overwrite = command.overwrite ? Overwrite::allow : Overwrite::refuse;
    const std::string& audio = command.audio;
    options.written.audio = audio == "copy"        ? AudioMode::copy
                            : audio == "transcode" ? AudioMode::transcode
                            : audio == "drop"      ? AudioMode::drop
                                                   : AudioMode::automatic;
    options.written.quiet = options.quiet;
    options.chromaDetail = command.chromaDetail == "keep" ? ChromaDetail::keep : ChromaDetail::pairs;
    return options;
}

struct DemoCommand {
    CLI::App* app = nullptr;
    std::string directory = "quenda-demo";
    bool quiet = false;
    bool overwrite = false, noOverwrite = false;
};

void addDemoCommand(CLI::App& app, DemoCommand& command) {
    CLI::App* demo = command.app = app.add_subcommand("demo", "make an example clip, denoise it and compare");
    demo->footer("Example:\n  quenda demo /tmp/demo   writes noisy.mkv, denoised.mkv, clean.mkv and compare.png there");
    demo->add_option("DIR", command.directory, "where to write the clips and the picture (default: ./quenda-demo)");
    CLI::Option* yes = demo->add_flag("-y,--overwrite", command.overwrite, "replace the files of an earlier demo in DIR");
    demo->add_flag("-n,--no-overwrite", command.noOverwrite, "never replace an existing file (the default)")->excludes(yes);
    demo->add_flag("-q,--quiet", command.quiet, "no progress line");
}

struct JoinCommand {
    CLI::App* app = nullptr;
    JoinOptions options;
    std::vector<std::string> files;
    std::string frameRange;
    bool overwrite = false, noOverwrite = false;
};

void addJoinCommand(CLI::App& app, JoinCommand& command) {
    CLI::App* join = command.app =
        app.add_subcommand("join", "join chunks made with --frames into one file, exactly");
    join->footer(
        "Example:\n"
        "  quenda join part-*.mkv whole.mkv\n"
        "The parts are put in time order whatever order they are named in, and their packets are copied with\n"
        "their own time stamps, audio included; a missing, short, overlapping or differently encoded chunk is\n"
        "an error, named. One part alone is copied.");
    join->add_option("FILES", command.files, "the parts, then the output (PART... OUTPUT)")->required()->expected(1, -1);
    join->add_option("-f,--format", command.options.format, "FFmpeg output format (default: by OUTPUT's extension)");
    join->add_option("--frames", command.frameRange,
                     "join a part of the clip: the parts cover frames A to B-1 exactly (A:B, A: to the end; "
                     "default: the whole clip)");
    CLI::Option* yes = join->add_flag("-y,--overwrite", command.overwrite, "replace an existing OUTPUT");
    join->add_flag("-n,--no-overwrite", command.noOverwrite, "never replace an existing file (the default)")
        ->excludes(yes);
    join->add_flag("-q,--quiet", command.options.quiet, "no summary");
}

JoinOptions joinOptions(const JoinCommand& command) {
    JoinOptions options = command.options;
    options.output = command.files.back();
    options.parts.assign(command.files.begin(), command.files.end() - 1);
    options.overwrite = command.overwrite ? Overwrite::allow : Overwrite::refuse;
    options.framesGiven = !command.frameRange.empty();
    if (options.framesGiven) parseFrameRange(command.frameRange, options.firstFrame, options.endFrame);
    return options;
}

CLI::App* addDevicesCommand(CLI::App& app) {
    CLI::App* devices = app.add_subcommand("devices", "list the compute devices and the one in use");
    devices->footer("Example:\n  QUENDA_VULKAN_DEVICE=1 quenda devices");
    return devices;
}

// Checks and parses the arguments; an exit code where the run ends here
// (--help, or an argument refused).
std::optional<int> parseArguments(CLI::App& app, int argc, char** argv) {
    std::vector<std::string> arguments;
    try {
        refuseEmptyValues(argc, argv);
        arguments = checkNumbers(argc, argv);
    } catch (const CliError& error) {
        std::cerr << "quenda: error: " << error.what() << "\n";
        return static_cast<int>(error.code());
    }
    std::vector<char*> checked;
    for (std::string& argument : arguments) checked.push_back(argument.data());
    checked.push_back(nullptr);
    try {
        app.parse(argc, checked.data());
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        if (code == 0) return 0;
        // A file name that starts with a dash reads as an option.
        for (int i = 1; i < argc; ++i) {
            const char* arg = argv[i];
            if (arg[0] == '-' && arg[1] && arg[1] != '-' && !std::isdigit(static_cast<unsigned char>(arg[1])) &&
                std::strchr(arg, '.')) {
                std::cerr << "quenda: " << arg << " is read as an option; name such a file ./" << arg
                          << ", or put -- before the file names\n";
                break;
            }
        }
        return static_cast<int>(ExitCode::usage);
    }
    return std::nullopt;
}

// Runs `command`, turning what it throws into a message and an exit code.
template <typename Command>
int reportingErrors(Command command) {
    try {
        return command();
    } catch (const CliError& error) {
        std::cerr << "quenda: error: " << error.what() << "\n";
        return static_cast<int>(error.code());
    } catch (const std::bad_alloc&) {
        std::cerr << "quenda: error: out of memory\n";
        return static_cast<int>(ExitCode::failure);
    } catch (const std::exception& error) {
        std::cerr << "quenda: error: " << error.what() << "\n";
        return static_cast<int>(ExitCode::failure);
    }
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    // A relative XDG_CACHE_HOME is ignored, as the XDG rules say, by quenda
    // and by the libraries it loads (Mesa keeps its shader cache there).
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache && *cache != '/') unsetenv("XDG_CACHE_HOME");
    configureFfmpegLogging();
    reportWriteFailuresAsErrors();
    // The plug-in's message boxes reach the user inside quenda's own messages.
    platform_instrumentation::setBoxEcho(false);
    const std::string pluginPath = pluginArgument(argc, argv);
    const LoadedPlugin plugin(pluginPath);

    CLI::App app{"quenda: removes noise from video by non-local means on the GPU, through the Quenda plug-in"};
    app.footer(examples);
    app.require_subcommand(0, 1);
    bool showVersion = false;
    std::string pluginOption = pluginPath;
    app.add_flag("--version", showVersion, "show the plug-in's and the libraries' versions");
    app.add_option("--plugin", pluginOption, "the plug-in module (default: the quenda_dx11.so installed with quenda, or beside it)");
    app.fallthrough();
    DenoiseCommand denoise;
    addDenoiseCommand(app, denoise, plugin.get());
    DemoCommand demo;
    addDemoCommand(app, demo);
    JoinCommand join;
    addJoinCommand(app, join);
    CLI::App* devices = addDevicesCommand(app);
    if (const std::optional<int> code = parseArguments(app, argc, argv)) return *code;

    return reportingErrors([&] {
        if (showVersion) {
            std::cout << versionText(pluginOption);
            return 0;
        }
        if (denoise.app->parsed() || demo.app->parsed()) {
            const std::string warning = ensureWritableKernelCache();
            if (!warning.empty()) std::cerr << "quenda: warning: " << warning << "\n";
        }
        if (denoise.app->parsed()) {
            PluginModule& module = plugin.need();
            const DenoiseOptions options = denoiseOptions(denoise, module);
            const RunReport report = runDenoise(options, module);
            if (!options.quiet) options.messages() << summaryText(report);
            return 0;
        }
        if (demo.app->parsed()) {
            runDemo(demo.directory, plugin.need(), demo.quiet, demo.overwrite ? Overwrite::allow : Overwrite::refuse);
            return 0;
        }
        if (join.app->parsed()) {
            runJoin(joinOptions(join));
            return 0;
        }
        if (devices->parsed()) return listDevices();
        std::cout << app.help();
        return 0;
    });
}

}  // namespace quenda_cli
