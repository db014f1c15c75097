// Bad input gets one clear message and its own exit status, never a crash or
// a half-written file under the output's name.
#include "cli/commands/errors.h"
#include "tests/cli/cli_test_media.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

namespace {

using namespace quenda_cli;
using cli_test::runQuenda;

struct BadCase {
    const char* name;
    std::function<void(const cli_test::TempDir&)> make;  // makes dir/"in.*"
    std::vector<std::string> args;                        // {IN} and {OUT} stand for the paths
    ExitCode code;
    const char* message;
    bool needsX264 = false;
};

std::vector<std::string> expand(const std::vector<std::string>& args, const cli_test::TempDir& dir) {
    std::vector<std::string> out;
    for (const std::string& arg : args) {
        if (arg.rfind("cache:{IN}", 0) == 0) out.push_back("cache:" + dir.path("in" + arg.substr(10)));
        else if (arg.rfind("{IN}", 0) == 0) out.push_back(dir.path("in" + arg.substr(4)));
        else if (arg.rfind("{OUT}", 0) == 0) out.push_back(dir.path("out.mkv" + arg.substr(5)));
        else out.push_back(arg);
    }
    return out;
}

void cleanClip(const cli_test::TempDir& dir) {
    cli_test::writeClip(dir.path("in.y4m"), cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 3), true);
}

// Inputs that cannot be read as video, or not as asked.
std::vector<BadCase> badInputs() {
    return {
        {"missing file", [](const cli_test::TempDir&) {}, {"denoise", "{IN}.mkv", "{OUT}"}, ExitCode::input,
         "No such file"},
        {"not video", [](const cli_test::TempDir& d) { cli_test::writeFile(d.path("in.txt"), "just some words\n"); },
         {"denoise", "{IN}.txt", "{OUT}"}, ExitCode::input, "not a video file"},
        {"no frames", [](const cli_test::TempDir& d) { cli_test::writeFile(d.path("in.y4m"), "YUV4MPEG2 W32 H24 F25:1 Ip A1:1 C420jpeg\n"); },
         {"denoise", "{IN}.y4m", "{OUT}"}, ExitCode::input, "no video frames"},
        {"absurd width",
         [](const cli_test::TempDir& d) {
             cli_test::writeFile(d.path("in.y4m"), "YUV4MPEG2 W40000 H16 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(960000, '\x80'));
         },
         {"denoise", "{IN}.y4m", "{OUT}"}, ExitCode::input, "40000x16"},
        {"a negative width",
         [](const cli_test::TempDir& d) { cli_test::writeFile(d.path("in.y4m"), "YUV4MPEG2 W-64 H48 F25:1 Ip\nFRAME\n"); },
         {"denoise", "{IN}.y4m", "{OUT}"}, ExitCode::input, "its header declares frames of -64x48"},
        {"absurd area",
         [](const cli_test::TempDir& d) { cli_test::writeFile(d.path("in.y4m"), "YUV4MPEG2 W100000 H100000 F25:1 Ip\nFRAME\n"); },
         {"denoise", "{IN}.y4m", "{OUT}"}, ExitCode::input, "100000x100000"},
        {"an endless stream that is not video", [](const cli_test::TempDir&) {}, {"denoise", "/dev/zero", "{OUT}"},
         ExitCode::input, "/dev/zero is not a video stream that FFmpeg can read"},
        {"a list of files for the concat demuxer",
         [](const cli_test::TempDir& d) {
             cleanClip(d);
             cli_test::writeFile(d.path("in.ffconcat"), "ffconcat version 1.0\nfile in.y4m\nfile out.mkv\n");
         },
         {"denoise", "{IN}.ffconcat", "{OUT}", "-y"}, ExitCode::input, "a list of files for FFmpeg's concat demuxer"},
        {"a stream that is not there", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--stream", "3"}, ExitCode::usage,
         "has no video stream 3"},
        {"standard input as the input and the reference", cleanClip, {"denoise", "-", "{OUT}", "--reference", "-"},
         ExitCode::usage, "the reference and the input cannot both be read from standard input"},
    };
}

// Options and values out of their ranges or forms.
std::vector<BadCase> badOptions() {
    return {
        {"track out of range", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--luma-space", "17"}, ExitCode::usage,
         "0 to 16"},
        {"frames past the end", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--frames", "4:9"}, ExitCode::usage,
         "starts past the 3 frames"},
        {"frames from the end", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--frames", "3:"}, ExitCode::usage,
         "--frames 3: starts at the end of the 3 frames"},
        {"a word for a number", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--luma-space", "abc"}, ExitCode::usage,
         "abc is not a whole number"},
        {"a missing value", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--luma-space", "-q"}, ExitCode::usage,
         "--luma-space needs a value"},
        {"a range past any clip", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--frames", "2147483648:2147483649"},
         ExitCode::usage, "--frames starts past the 3 frames"},
        {"a plug-in named without a slash is a file here", cleanClip,
         {"denoise", "{IN}.y4m", "{OUT}", "--plugin", "quenda_dx11.so"}, ExitCode::plugin,
         "cannot load the plug-in quenda_dx11.so: ./quenda_dx11.so"},
        {"an empty value after =", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--report=", "-q"}, ExitCode::usage,
         "--report needs a value: nothing follows the ="},
        {"a negative frame", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--compare", "{OUT}.png", "--compare-frame", "-1"},
         ExitCode::usage, "below 0"},
        {"leading zeros are decimal", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--luma-space", "017"},
         ExitCode::usage, "17 not in range"},
        {"a quality that is no number", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--crf", "nan"}, ExitCode::usage,
         "nan is not a number"},
        {"a compare frame without a picture", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--compare-frame", "1"},
         ExitCode::usage, "--compare-frame chooses the frame for --compare"},
    };
}

// Outputs that cannot be written, or not in that form.
std::vector<BadCase> badOutputs() {
    return {
        {"unwritable output", cleanClip, {"denoise", "{IN}.y4m", "/nonexistent-dir/out.mkv"}, ExitCode::output,
         "cannot write /nonexistent-dir/out.mkv"},
        {"output is the input", cleanClip, {"denoise", "{IN}.y4m", "{IN}.y4m"}, ExitCode::usage, "same file as the input"},
        {"unknown extension", cleanClip, {"denoise", "{IN}.y4m", "out.unknownext"}, ExitCode::usage, "extension"},
        {"an output that is a loop of symbolic links",
         [](const cli_test::TempDir& d) {
             cleanClip(d);
             symlink("out.mkv", d.path("out.mkv").c_str());
         },
         {"denoise", "{IN}.y4m", "{OUT}"}, ExitCode::output, "out.mkv: Too many levels of symbolic links"},
        {"an audio format", cleanClip, {"denoise", "{IN}.y4m", "{OUT}.mp3"}, ExitCode::usage, "a mp3 file cannot hold"},
        {"an output name that reads as an option", cleanClip, {"denoise", "{IN}.y4m", "-dash.mkv"}, ExitCode::usage,
         "name such a file ./-dash.mkv"},
        {"frames longer than MP4 holds",
         [](const cli_test::TempDir& d) {
             cli_test::writeFile(d.path("in.y4m"), "YUV4MPEG2 W16 H16 F1:1000000 Ip C420jpeg\nFRAME\n" + std::string(384, '\x80'));
         },
         {"denoise", "{IN}.y4m", "{OUT}.mp4"}, ExitCode::usage, "a frame of 1000000 seconds is longer than", true},
        {"an encoder that will not start", cleanClip, {"denoise", "{IN}.y4m", "{OUT}", "--codec", "mjpeg"},
         ExitCode::encoder, "the mjpeg encoder cannot start: Non full-range YUV"},
        {"a quality past the encoder's scale", cleanClip, {"denoise", "{IN}.y4m", "{OUT}.mp4", "--crf", "52"},
         ExitCode::usage, "--crf 52 is outside the libx264 encoder's scale, 0 to 51", true},
        {"a setting that x264-params refuses", cleanClip,
         {"denoise", "{IN}.y4m", "{OUT}.mp4", "--encoder-options", "x264-params=bad=1"}, ExitCode::usage,
         "the libx264 encoder refuses a setting of --encoder-options: Error parsing option 'bad = 1'", true},
    };
}

std::vector<BadCase> badJoins() {
    return {
        {"join without a part", cleanClip, {"join", "{OUT}"}, ExitCode::usage, "join needs the parts and the output"},
        {"join of a file that is no chunk", cleanClip, {"join", "{IN}.y4m", "{OUT}"}, ExitCode::input,
         "does not say what it was made from"},
        {"join to Y4M", cleanClip, {"join", "{IN}.y4m", "{IN}.y4m", "{OUT}.y4m"}, ExitCode::usage,
         "Y4M holds raw frames only"},
        {"join through another protocol", cleanClip, {"join", "{IN}.y4m", "cache:{IN}.y4m", "{OUT}"}, ExitCode::usage,
         "cache: protocol"},
    };
}

// Each refused before the plug-in computes anything.
TEST(CliErrors, BadInputsAreRefusedClearly) {
    std::vector<BadCase> cases;
    for (const std::vector<BadCase>& group : {badInputs(), badOptions(), badOutputs(), badJoins()})
        cases.insert(cases.end(), group.begin(), group.end());
    const bool haveX264 = avcodec_find_encoder_by_name("libx264") != nullptr;
    for (const BadCase& c : cases) {
        if (c.needsX264 && !haveX264) continue;
        cli_test::TempDir dir;
        c.make(dir);
        const cli_test::RunResult run = runQuenda(expand(c.args, dir));
        EXPECT_EQ(run.exitCode, static_cast<int>(c.code)) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.name << ": " << run.output;
        EXPECT_FALSE(cli_test::fileExists(dir.path("out.mkv"))) << c.name;
        EXPECT_TRUE(cli_test::filesEndingWith(dir.dir(), ".part").empty()) << c.name;
    }
}

// A file cut off or damaged mid-stream: the frames before the break are
// denoised and finalised, and the error says where the input stopped. The
// damaged file is found out only while decoding, after the plug-in has
// been told the longer frame count.
TEST(CliErrors, BrokenInputIsFinalisedUpToTheBreak) {
    const struct {
        const char* name;
        const char* file;
        std::function<void(const std::string&, const std::string&)> breakIt;
    } cases[] = {
        {"cut Y4M", "in.y4m", [](const std::string& a, const std::string& b) { cli_test::truncateCopy(a, b, 0.55); }},
        {"cut Matroska", "in.mkv", [](const std::string& a, const std::string& b) { cli_test::truncateCopy(a, b, 0.55); }},
        {"damaged Matroska", "in.mkv",
         [](const std::string& a, const std::string& b) { cli_test::damageCopy(a, b, 0.6, 1500); }},
    };
    for (const auto& c : cases) {
        cli_test::TempDir dir;
        const std::string whole = dir.path(std::string("whole-") + c.file), broken = dir.path(c.file);
        cli_test::writeClip(whole, cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 10), true);
        c.breakIt(whole, broken);
        const cli_test::RunResult run = runQuenda({"denoise", broken, dir.path("out.mkv"), "-q"});
        EXPECT_EQ(run.exitCode, static_cast<int>(ExitCode::truncated)) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find("ends early"), std::string::npos) << c.name << ": " << run.output;
        const size_t holds = run.output.find("holds frames 0 to ");
        ASSERT_NE(holds, std::string::npos) << c.name << ": " << run.output;
        const int last = std::atoi(run.output.c_str() + holds + 18);
        const size_t frames = cli_test::readAllFrames(dir.path("out.mkv")).size();
        EXPECT_EQ(frames, static_cast<size_t>(last + 1)) << c.name;
        EXPECT_GE(frames, 3u) << c.name;
        EXPECT_LT(frames, 10u) << c.name;
        EXPECT_TRUE(cli_test::filesEndingWith(dir.dir(), ".part").empty()) << c.name;
    }
}

// Damage that the decoder conceals is reported, with the output finalised
// whole; a frame size that changes is refused alike in every container; a
// FIFO is read once, as standard input is.
TEST(CliErrors, DamagedAndStreamedInputsAreToldTruly) {
    const bool haveX264 = avcodec_find_encoder_by_name("libx264") != nullptr;
    const auto settings = [](int width, int height) { return cli_test::clipSettings(AV_PIX_FMT_YUV420P, width, height, 10); };
    const auto damagedH264 = [&](const char* name) {
        return [=](const cli_test::TempDir& d) {
            cli_test::writeClip(d.path(std::string("whole-") + name), settings(64, 48), true, "libx264");
            cli_test::damageCopy(d.path(std::string("whole-") + name), d.path(name), 0.5, 150);
        };
    };
    const struct {
        const char* name;
        bool needsX264;
        const char* input;
        std::function<void(const cli_test::TempDir&)> make;
        ExitCode code;
        const char* message;
        size_t frames;  // in the output
    } cases[] = {
        {"damaged H.264 in MP4", true, "in.mp4", damagedH264("in.mp4"), ExitCode::truncated, "is damaged", 10},
        {"damaged H.264 in Matroska", true, "in.mkv", damagedH264("in.mkv"), ExitCode::truncated, "is damaged", 10},
        {"frame size change in MPEG-TS", false, "in.ts",
         [&](const cli_test::TempDir& d) {
             cli_test::writeClip(d.path("a.ts"), settings(64, 48), true);
             cli_test::writeClip(d.path("b.ts"), settings(32, 24), true);
             cli_test::writeFile(d.path("in.ts"), cli_test::readFile(d.path("a.ts")) + cli_test::readFile(d.path("b.ts")));
         },
         ExitCode::input, "changing frame sizes", 0},
        {"FIFO", false, "in.fifo",
         [&](const cli_test::TempDir& d) {
             cli_test::writeClip(d.path("in.y4m"), settings(32, 24), true);
             mkfifo(d.path("in.fifo").c_str(), 0600);
         },
         ExitCode::ok, "", 10},
    };
    for (const auto& c : cases) {
        if (c.needsX264 && !haveX264) continue;
        cli_test::TempDir dir;
        c.make(dir);
        // A writer for the FIFO, for as long as it has a reader.
        std::thread feeder([&] {
            if (std::string(c.input) != "in.fifo") return;
            for (int tries = 0; tries < 6000; ++tries) {
                const int fd = open(dir.path("in.fifo").c_str(), O_WRONLY | O_NONBLOCK);
                if (fd < 0) {
                    usleep(10000);
                    continue;
                }
                fcntl(fd, F_SETFL, 0);
                const std::string bytes = cli_test::readFile(dir.path("in.y4m"));
                (void)!write(fd, bytes.data(), bytes.size());
                close(fd);
                return;
            }
        });
        const cli_test::RunResult run = runQuenda({"denoise", dir.path(c.input), dir.path("out.mkv"), "-q", "--luma-time",
                                                   "0", "--chroma-time", "0"});
        feeder.join();
        EXPECT_EQ(run.exitCode, static_cast<int>(c.code)) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.name << ": " << run.output;
        EXPECT_EQ(c.frames ? cli_test::readAllFrames(dir.path("out.mkv")).size() : 0u, c.frames) << c.name;
    }
}

// A plug-in that cannot be loaded, or cannot start its device, is an error
// of its own, said once in English with the plug-in's own text beside it.
TEST(CliErrors, PluginFailuresAreNamed) {
    cli_test::TempDir dir;
    cleanClip(dir);
    const cli_test::RunResult missing =
        runQuenda({"denoise", dir.path("in.y4m"), dir.path("out.mkv"), "--plugin", dir.path("none.so")});
    EXPECT_EQ(missing.exitCode, static_cast<int>(ExitCode::plugin)) << missing.output;
    EXPECT_NE(missing.output.find("cannot load the plug-in"), std::string::npos) << missing.output;

    const cli_test::RunResult noDevice =
        runQuenda({"denoise", dir.path("in.y4m"), dir.path("out.mkv")}, "", "", "QUENDA_VULKAN_DEVICE=99");
    EXPECT_EQ(noDevice.exitCode, static_cast<int>(ExitCode::plugin)) << noDevice.output;
    const size_t english = noDevice.output.find("creating the Direct3D device failed (Direct3D10");
    EXPECT_NE(english, std::string::npos) << noDevice.output;
    EXPECT_EQ(noDevice.output.find("Direct3D10", english + 40), std::string::npos) << "said twice: " << noDevice.output;
    EXPECT_FALSE(cli_test::fileExists(dir.path("out.mkv")));
}

// The shared cache copied into the folder, its kernels damaged where the
// device would read them.
void damagedCacheCopy(const cli_test::TempDir& d) {
    const std::string shared = cli_test::registrySetting().substr(std::string("QUENDA_REGISTRY_ROOT=").size());
    // The shared cache holds the kernels once a run has used it.
    ASSERT_EQ(runQuenda({"denoise", d.path("in.y4m"), d.path("first.mkv"), "-q"}).exitCode, 0);
    ASSERT_EQ(std::system(("cp -r '" + shared + "' '" + d.path("cache") + "'").c_str()), 0);
    const std::string key = d.path("cache/HKEY_LOCAL_MACHINE/SOFTWARE/Aviutl/Plugins/quenda for DX11/");
    for (const char* value : {"ComputeShadeLight.value", "ComputeShadeCollar.value"}) {
        std::string bytes = cli_test::readFile(key + value);
        ASSERT_GT(bytes.size(), 300u) << value;
        for (size_t i = 200; i < 260; ++i) bytes[i] = '\x55';
        cli_test::writeFile(key + value, bytes);
    }
}

struct CacheCase {
    const char* name;
    std::function<void(const cli_test::TempDir&)> make;
    const char* environment;  // {D} stands for the folder
    const char* warning;      // empty: none
    const char* absent;       // what the run must not make; a relative name is in the current folder
    bool needsRoot;           // to give a folder to another user
};

const char relativeCache[] = "quenda-test-relative-cache";

std::vector<CacheCase> cacheCases() {
    return {
        {"a file where the cache folder should be",
         [](const cli_test::TempDir& d) { cli_test::writeFile(d.path("cache"), "not a folder"); },
         "QUENDA_REGISTRY_ROOT={D}/cache", "cannot keep compiled kernels in {D}/cache (Not a directory)", "", false},
        {"a file where ~/.cache/quenda should be",
         [](const cli_test::TempDir& d) {
             mkdir(d.path("home").c_str(), 0700);
             mkdir(d.path("home/.cache").c_str(), 0700);
             cli_test::writeFile(d.path("home/.cache/quenda"), "not a folder");
         },
         "QUENDA_REGISTRY_ROOT= XDG_CACHE_HOME= HOME={D}/home",
         "cannot keep compiled kernels in {D}/home/.cache/quenda/registry (Not a directory)", "", false},
        {"damaged kernels in the cache", damagedCacheCopy, "QUENDA_REGISTRY_ROOT={D}/cache",
         "could not use the kernels kept in {D}/cache", "", false},
        {"damaged kernels in a cache folder of another user: never read",
         [](const cli_test::TempDir& d) {
             damagedCacheCopy(d);
             ASSERT_EQ(std::system(("chown -R 65534 '" + d.path("cache") + "'").c_str()), 0);
         },
         "QUENDA_REGISTRY_ROOT={D}/cache",
         "will not use compiled kernels from {D}/cache: {D}/cache is owned by another user (uid 65534)", "", true},
        {"a cache folder that others can write",
         [](const cli_test::TempDir& d) {
             mkdir(d.path("cache").c_str(), 0700);
             chmod(d.path("cache").c_str(), 0777);
         },
         "QUENDA_REGISTRY_ROOT={D}/cache", "{D}/cache can be written by other users", "", false},
        {"a home that does not exist", nullptr, "QUENDA_REGISTRY_ROOT= XDG_CACHE_HOME= HOME={D}/missing/home",
         "cannot keep compiled kernels in {D}/missing/home/.cache/quenda/registry (No such file or directory)",
         "{D}/missing", false},
        {"a relative XDG_CACHE_HOME is ignored",
         [](const cli_test::TempDir& d) { mkdir(d.path("home").c_str(), 0700); },
         "QUENDA_REGISTRY_ROOT= XDG_CACHE_HOME=quenda-test-relative-cache HOME={D}/home", "", relativeCache, false},
    };
}

std::string expandFolder(std::string text, const cli_test::TempDir& d) {
    for (size_t at; (at = text.find("{D}")) != std::string::npos;) text.replace(at, 3, d.dir());
    return text;
}

// The run writes its frames, warns once, and leaves no temporary file.
void runCacheCase(const CacheCase& c) {
    cli_test::TempDir dir;
    cleanClip(dir);
    if (c.make) c.make(dir);
    mkdir(dir.path("tmp").c_str(), 0700);
    std::system((std::string("rm -rf ") + relativeCache).c_str());
    const cli_test::RunResult run = runQuenda({"denoise", dir.path("in.y4m"), dir.path("out.mkv"), "-q"}, "", "",
                                              "TMPDIR=" + dir.path("tmp") + " " + expandFolder(c.environment, dir));
    EXPECT_EQ(run.exitCode, 0) << c.name << ": " << run.output;
    EXPECT_NE(run.output.find(expandFolder(c.warning, dir)), std::string::npos) << c.name << ": " << run.output;
    EXPECT_EQ(run.output.find("warning"), run.output.rfind("warning")) << c.name << ": said more than once: " << run.output;
    EXPECT_EQ(cli_test::readAllFrames(dir.path("out.mkv")).size(), 3u) << c.name;
    EXPECT_EQ(cli_test::filesEndingWith(dir.path("tmp"), "").size(), 2u) << c.name << ": more than . and ..";
    if (*c.absent) {
        EXPECT_FALSE(cli_test::fileExists(expandFolder(c.absent, dir))) << c.name;
    }
}

// The kernel cache only saves time: one that cannot be written, that another
// user controls, or that holds damaged kernels, gives one warning naming it,
// and the run goes on with a temporary cache that it removes. Nothing is made
// above the cache's own folders. Started with standard output and error
// closed, quenda puts a warning nowhere, never into the video.
TEST(CliErrors, KernelCacheNeverStopsARun) {
    for (const CacheCase& c : cacheCases()) {
        if (c.needsRoot && geteuid() != 0) continue;
        runCacheCase(c);
    }

    // 4:4:4 input: its warning comes once the output is open.
    cli_test::TempDir dir;
    cli_test::writeClip(dir.path("in.y4m"), cli_test::clipSettings(AV_PIX_FMT_YUV444P, 32, 24, 3), true);
    const std::string command = cli_test::registrySetting() + " '" QUENDA_CLI_PATH "' denoise '" + dir.path("in.y4m") +
                                "' '" + dir.path("out.mkv") + "' -q >&- 2>&-";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(cli_test::readFile(dir.path("out.mkv")).substr(0, 4), "\x1a\x45\xdf\xa3") << "not Matroska";
    EXPECT_EQ(cli_test::readAllFrames(dir.path("out.mkv")).size(), 3u);
}

}  // namespace
