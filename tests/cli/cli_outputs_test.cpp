// What quenda writes, and what it must never touch: its input, files it did
// not create, each other's results, and leftovers after an interruption.
#include "cli/commands/errors.h"
#include "tests/cli/cli_test_media.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace {

using namespace quenda_cli;
using cli_test::runQuenda;

using cli_test::identity;
using cli_test::operator+;

bool isSymlink(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

using Dir = cli_test::TempDir;

// Each case runs in a folder holding in.y4m and the files its setup makes;
// {D} in an argument stands for that folder. The files named in `kept` must
// come out as they went in, and no temporary file may stay. The arguments
// follow `denoise in.y4m`, or are a `demo` command of their own, which keeps
// to the same rules.
struct OutputCase {
    const char* name;
    std::function<void(const Dir&)> setup;
    std::vector<std::string> args;
    ExitCode code;
    const char* message;
    std::vector<std::string> kept;
    std::function<void(const Dir&)> after;
    const char* environment = "";
};

// Outputs refused before anything is written, or a run that fails and keeps
// nothing of its own.
std::vector<OutputCase> refusedOutputs() {
    return {
        {"--compare names the input", nullptr, {"{D}/out.mkv", "--compare", "{D}/in.y4m"}, ExitCode::usage,
         "same file as the input", {"in.y4m"}, nullptr},
        {"--report through a symbolic link to the input",
         [](const Dir& d) { symlink("in.y4m", d.path("link").c_str()); }, {"{D}/out.mkv", "--report", "{D}/link"},
         ExitCode::usage, "same file as the input", {"in.y4m"}, nullptr},
        {"--report through a hard link to the input",
         [](const Dir& d) { link(d.path("in.y4m").c_str(), d.path("hard").c_str()); },
         {"{D}/out.mkv", "--report", "{D}/hard"}, ExitCode::usage, "same file as the input", {"in.y4m"}, nullptr},
        {"--report and --compare on one name", nullptr, {"{D}/out.mkv", "--report", "{D}/x", "--compare", "{D}/x"},
         ExitCode::usage, "same file as --report", {}, nullptr},
        {"--report - with the video on standard output", nullptr, {"-", "--report", "-"}, ExitCode::usage,
         "standard output", {}, nullptr},
        {"an existing output", [](const Dir& d) { cli_test::writeFile(d.path("out.mkv"), "mine"); }, {"{D}/out.mkv"},
         ExitCode::usage, "add -y", {"out.mkv"}, nullptr},
        {"an existing output with -n", [](const Dir& d) { cli_test::writeFile(d.path("out.mkv"), "mine"); },
         {"{D}/out.mkv", "-n"}, ExitCode::usage, "already exists", {"out.mkv"}, nullptr},
        {"an existing report", [](const Dir& d) { cli_test::writeFile(d.path("run.json"), "mine"); },
         {"{D}/out.mkv", "--report", "{D}/run.json"}, ExitCode::usage, "add -y", {"run.json"}, nullptr},
        {"a character device that fails: no video kept either", nullptr, {"{D}/out.mkv", "--report", "/dev/full"},
         ExitCode::output, "/dev/full: No space left on device; no file of this run is kept", {},
         [](const Dir& d) {
             struct stat info;
             EXPECT_TRUE(stat("/dev/full", &info) == 0 && S_ISCHR(info.st_mode));
             EXPECT_FALSE(cli_test::fileExists(d.path("out.mkv")));
         }},
        {"a picture that cannot be written: no video or report kept", nullptr,
         {"{D}/out.mkv", "--report", "{D}/run.json", "--compare", "/dev/full"}, ExitCode::output,
         "no file of this run is kept", {},
         [](const Dir& d) {
             EXPECT_FALSE(cli_test::fileExists(d.path("out.mkv")));
             EXPECT_FALSE(cli_test::fileExists(d.path("run.json")));
         }},
        {"-y onto the input named file:", nullptr, {"file:{D}/in.y4m", "-y"}, ExitCode::usage, "same file as the input",
         {"in.y4m"}, nullptr},
        {"--report onto the input named file:", nullptr, {"{D}/out.mkv", "-y", "--report", "file:{D}/in.y4m"},
         ExitCode::usage, "same file as the input", {"in.y4m"}, nullptr},
        {"a reference read through another protocol", nullptr,
         {"{D}/out.mkv", "--reference", "subfile,,start,0,end,0,,:{D}/in.y4m"}, ExitCode::usage, "subfile: protocol",
         {"in.y4m"}, nullptr},
    };
}

// Runs that write, and what they write.
std::vector<OutputCase> writtenOutputs() {
    return {
        {"a name with a colon is a file name", nullptr, {"{D}/a:b.mkv"}, ExitCode::ok, "", {},
         [](const Dir& d) { EXPECT_EQ(cli_test::readAllFrames(d.path("a:b.mkv")).size(), 3u); }},
        {"a longer reference in another format is compared in part, with a warning",
         [](const Dir& d) {
             cli_test::writeClip(d.path("ref.y4m"), cli_test::clipSettings(AV_PIX_FMT_YUV444P, 32, 24, 5), false);
         },
         {"{D}/out.mkv", "--reference", "{D}/ref.y4m", "--report", "{D}/run.json"}, ExitCode::ok,
         "ref.y4m has 5 frames, the input 3; its first 3 are compared", {},
         [](const Dir& d) {
             const std::string json = cli_test::readFile(d.path("run.json"));
             EXPECT_NE(json.find("ref.y4m is yuv444p, the input yuv420p"), std::string::npos) << json;
         }},
        {"a name too long for the temporary suffix", nullptr, {"{D}/" + std::string(246, 'a') + ".mkv"}, ExitCode::ok,
         "", {}, [](const Dir& d) { EXPECT_EQ(cli_test::readAllFrames(d.path(std::string(246, 'a') + ".mkv")).size(), 3u); }},
        {"OUTPUT.part of someone else", [](const Dir& d) { cli_test::writeFile(d.path("out.mkv.part"), "mine"); },
         {"{D}/out.mkv"}, ExitCode::ok, "", {"out.mkv.part"}, nullptr},
        {"-y replaces; a report through a symbolic link writes its target",
         [](const Dir& d) {
             cli_test::writeFile(d.path("out.mkv"), "old");
             symlink("target.json", d.path("link.json").c_str());
         },
         {"{D}/out.mkv", "-y", "--report", "{D}/link.json"}, ExitCode::ok, "", {},
         [](const Dir& d) {
             EXPECT_EQ(cli_test::readAllFrames(d.path("out.mkv")).size(), 3u);
             EXPECT_TRUE(isSymlink(d.path("link.json")));
             EXPECT_EQ(cli_test::jsonValue(cli_test::readFile(d.path("target.json")), "frames_written"), 3);
         }},
        {"--report - writes standard output", nullptr, {"{D}/out.mkv", "--report", "-"}, ExitCode::ok, "", {},
         [](const Dir& d) { EXPECT_EQ(cli_test::jsonValue(cli_test::readFile(d.path("stdout")), "frames_written"), 3); }},
        {"MP4 to standard output that is a file, which can be sought", nullptr, {"-", "-f", "mp4", "--codec", "mpeg4"},
         ExitCode::ok, "", {}, [](const Dir& d) { EXPECT_EQ(cli_test::readAllFrames(d.path("stdout")).size(), 3u); }},
        {"a file name that is not UTF-8 is escaped in the report", nullptr,
         {"{D}/out\xff.mkv", "--report", "{D}/run.json"}, ExitCode::ok, "", {},
         [](const Dir& d) {
             const std::string json = cli_test::readFile(d.path("run.json"));
             EXPECT_NE(json.find("out\\ufffd.mkv"), std::string::npos) << json;
             EXPECT_EQ(json.find('\xff'), std::string::npos) << json;
         }},
    };
}

std::vector<OutputCase> demoOutputs() {
    return {
        {"demo keeps a file of the user's without -y",
         [](const Dir& d) {
             mkdir(d.path("demo").c_str(), 0700);
             cli_test::writeFile(d.path("demo/clean.mkv"), "mine");
         },
         {"demo", "{D}/demo"}, ExitCode::usage, "demo/clean.mkv already exists; add -y", {"demo/clean.mkv"},
         [](const Dir& d) { EXPECT_FALSE(cli_test::fileExists(d.path("demo/noisy.mkv"))); }},
        {"demo -y replaces a symbolic link, not the file it leads to",
         [](const Dir& d) {
             mkdir(d.path("demo").c_str(), 0700);
             cli_test::writeFile(d.path("outside.mkv"), "mine");
             symlink("../outside.mkv", d.path("demo/noisy.mkv").c_str());
         },
         {"demo", "{D}/demo", "-y"}, ExitCode::ok, "", {"outside.mkv"},
         [](const Dir& d) {
             EXPECT_FALSE(isSymlink(d.path("demo/noisy.mkv")));
             EXPECT_EQ(cli_test::readAllFrames(d.path("demo/noisy.mkv")).size(), 36u);
         }},
        {"a failed demo leaves nothing, nor the folder it made", nullptr, {"demo", "{D}/new/demo"}, ExitCode::plugin,
         "could not start its GPU device", {}, [](const Dir& d) { EXPECT_FALSE(cli_test::fileExists(d.path("new"))); },
         "QUENDA_VULKAN_DEVICE=99"},
    };
}

void runOutputCase(const OutputCase& c) {
    Dir dir;
    cli_test::writeClip(dir.path("in.y4m"), cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 3), true);
    if (c.setup) c.setup(dir);
    std::vector<std::string> before;
    for (const std::string& name : c.kept) before.push_back(cli_test::readFile(dir.path(name)));
    const bool demo = c.args[0] == "demo";
    std::vector<std::string> args = demo ? std::vector<std::string>{} : std::vector<std::string>{"denoise", dir.path("in.y4m")};
    for (std::string arg : c.args) {
        const size_t folder = arg.find("{D}");
        args.push_back(folder == std::string::npos ? arg : arg.replace(folder, 3, dir.dir()));
    }
    const cli_test::RunResult run =
        runQuenda(args + (demo ? std::vector<std::string>{} : identity) + std::vector<std::string>{"-q"}, "",
                  dir.path("stdout"), c.environment);
    EXPECT_EQ(run.exitCode, static_cast<int>(c.code)) << c.name << ": " << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.name << ": " << run.output;
    for (size_t i = 0; i < c.kept.size(); ++i)
        EXPECT_EQ(cli_test::readFile(dir.path(c.kept[i])), before[i]) << c.name << ": " << c.kept[i];
    for (const std::string& folder : {dir.dir(), dir.path("demo")})
        for (const std::string& part : cli_test::filesEndingWith(folder, ".part"))
            EXPECT_NE(std::find(c.kept.begin(), c.kept.end(), part), c.kept.end()) << c.name << ": " << part;
    if (c.after) c.after(dir);
}

TEST(CliOutputs, SideOutputsAndOverwriteRules) {
    for (const std::vector<OutputCase>& cases : {refusedOutputs(), writtenOutputs(), demoOutputs()})
        for (const OutputCase& c : cases) runOutputCase(c);
}

// Two runs on one output at once: each writes its own temporary file; the
// output is one run's whole result. Without -y the run that finishes second
// keeps the first one's file and says so.
TEST(CliOutputs, ConcurrentRunsLeaveOneWholeOutput) {
    cli_test::TempDir dir;
    const std::string input = dir.path("in.y4m");
    cli_test::writeClip(input, cli_test::clipSettings(AV_PIX_FMT_YUV420P, 64, 48, 8), true);
    const std::vector<std::string> settings[] = {identity, {"--luma-time", "0", "--chroma-time", "0"}};
    std::vector<std::vector<FramePtr>> alone;
    for (int i = 0; i < 2; ++i) {
        const std::string path = dir.path("alone" + std::to_string(i) + ".mkv");
        ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", input, path, "-q"} + settings[i]).exitCode, 0);
        alone.push_back(cli_test::readAllFrames(path));
    }
    ASSERT_FALSE(cli_test::samePlanes(*alone[0][4], *alone[1][4]));

    for (const bool overwrite : {false, true}) {
        const std::string output = dir.path(overwrite ? "y.mkv" : "n.mkv");
        std::vector<std::vector<std::string>> runs;
        for (const auto& s : settings)
            runs.push_back(std::vector<std::string>{"denoise", input, output, "-q", overwrite ? "-y" : "-n"} + s);
        const std::vector<cli_test::RunResult> results = cli_test::runQuendaTogether(runs);
        int succeeded = 0;
        for (const cli_test::RunResult& r : results) {
            if (r.exitCode == 0) {
                ++succeeded;
                continue;
            }
            // Refused at the start, or when its result was to be moved into place.
            EXPECT_TRUE(r.exitCode == static_cast<int>(ExitCode::usage) || r.exitCode == static_cast<int>(ExitCode::output))
                << r.output;
            EXPECT_NE(r.output.find("-y"), std::string::npos) << r.output;
        }
        EXPECT_EQ(succeeded, overwrite ? 2 : 1) << results[0].output << results[1].output;
        const std::vector<FramePtr> frames = cli_test::readAllFrames(output);
        ASSERT_EQ(frames.size(), 8u) << (overwrite ? "-y" : "-n");
        bool whole[2] = {true, true};
        for (size_t f = 0; f < frames.size(); ++f)
            for (int i = 0; i < 2; ++i) whole[i] = whole[i] && cli_test::samePlanes(*frames[f], *alone[i][f]);
        EXPECT_TRUE(whole[0] || whole[1]) << (overwrite ? "-y" : "-n");
        EXPECT_TRUE(cli_test::filesEndingWith(dir.dir(), ".part").empty());
    }
}

// Interrupted while it works, reading standard input and writing standard
// output that nobody reads: neither the copy of standard input nor the
// unfinished report stays behind, nor the temporary kernel cache of a run
// whose cache cannot be written. SIGKILL leaves the report's temporary file
// (nothing can remove it) but not the copy. A reader of the video that goes
// away (0 here) is an error of the output, with its message.
TEST(CliOutputs, InterruptedRunsLeaveNothing) {
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM, SIGKILL, 0}) {
        cli_test::TempDir dir;
        const std::string tmp = dir.path("tmp");
        mkdir(tmp.c_str(), 0700);
        // More Y4M than a pipe holds, so that the run waits on its output.
        cli_test::writeClip(dir.path("in.y4m"), cli_test::clipSettings(AV_PIX_FMT_YUV420P, 64, 48, 30), true);

        const std::vector<std::string> args = std::vector<std::string>{QUENDA_CLI_PATH, "denoise", "-", "-", "-q",
                                                                       "--report", dir.path("run.json")} + identity;
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        // The environment is made before the fork: the child only calls exec.
        cli_test::writeFile(dir.path("not-a-folder"), "");
        const std::string tmpdir = "TMPDIR=" + tmp,
                          registry = signalNumber == SIGKILL ? cli_test::registrySetting()
                                                             : "QUENDA_REGISTRY_ROOT=" + dir.path("not-a-folder");
        std::vector<char*> environment{const_cast<char*>(tmpdir.c_str()), const_cast<char*>(registry.c_str())};
        for (char** variable = environ; *variable; ++variable)
            if (std::string(*variable).rfind("TMPDIR=", 0) != 0 && std::string(*variable).rfind("QUENDA_REGISTRY_ROOT=", 0) != 0)
                environment.push_back(*variable);
        environment.push_back(nullptr);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const int in = open(dir.path("in.y4m").c_str(), O_RDONLY);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in, STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            execve(QUENDA_CLI_PATH, argv.data(), environment.data());
            _exit(127);
        }
        close(in);
        close(out[1]);
        // The first frames on the pipe: the run is under way.
        pollfd ready{out[0], POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 120000), 1);
        if (signalNumber) kill(pid, signalNumber);
        else close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (signalNumber) close(out[0]);
        const bool ended = signalNumber ? WIFSIGNALED(status) && WTERMSIG(status) == signalNumber
                                        : WIFEXITED(status) && WEXITSTATUS(status) == static_cast<int>(ExitCode::output);
        EXPECT_TRUE(ended) << "signal " << signalNumber << ": status " << status;
        EXPECT_EQ(cli_test::filesEndingWith(tmp, "").size(), 2u) << "signal " << signalNumber << ": more than . and ..";
        if (signalNumber != SIGKILL) {
            EXPECT_TRUE(cli_test::filesEndingWith(dir.dir(), ".part").empty()) << "signal " << signalNumber;
        }
        EXPECT_FALSE(cli_test::fileExists(dir.path("run.json"))) << "signal " << signalNumber;
    }
}

}  // namespace
