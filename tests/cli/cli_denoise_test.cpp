// quenda denoising real files through the plug-in: exact round trips, a gain
// against the clean source, chunks equal to the whole run, audio kept.
#include "cli/analysis/metrics.h"
#include "cli/commands/errors.h"
#include "cli/media/video_input.h"
#include "cli/media/video_output.h"
#include "tests/cli/cli_test_media.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/mastering_display_metadata.h>
}

#include <cmath>

namespace {

using namespace quenda_cli;
using cli_test::runQuenda;

using cli_test::identity;
using cli_test::operator+;

struct RoundTripCase {
    const char* name;
    AVPixelFormat format;
    int width;
    int height;
    const char* input;
    const char* output;
    bool keepChroma = false;  // chroma for every pixel: --chroma-detail keep
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class CliRoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

// With every range 0 the plug-in gives back its input, and so must the host:
// every frame bit-exact, in the input's size and pixel format. Chroma for
// every pixel comes back so with --chroma-detail keep; without it, averaged
// over pixel pairs, with a warning.
TEST_P(CliRoundTripTest, IdentityFilterGivesBackTheInput) {
    const RoundTripCase c = GetParam();
    cli_test::TempDir dir;
    const std::string input = dir.path(c.input), output = dir.path(c.output);
    cli_test::writeClip(input, cli_test::clipSettings(c.format, c.width, c.height, 3), true);

    const std::vector<std::string> keep = c.keepChroma ? std::vector<std::string>{"--chroma-detail", "keep"}
                                                       : std::vector<std::string>{};
    const cli_test::RunResult run = runQuenda(std::vector<std::string>{"denoise", input, output} + identity + keep);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output.find("warning"), std::string::npos) << run.output;
    if (c.keepChroma) {
        const std::string pairs = dir.path(std::string("pairs-") + c.output);
        const cli_test::RunResult averaged = runQuenda(std::vector<std::string>{"denoise", input, pairs} + identity);
        ASSERT_EQ(averaged.exitCode, 0) << averaged.output;
        EXPECT_NE(averaged.output.find("one chroma value per two pixels across"), std::string::npos) << averaged.output;
        EXPECT_FALSE(cli_test::samePlanes(*cli_test::readAllFrames(pairs)[0], *cli_test::readAllFrames(input)[0]));
    }
    const std::vector<FramePtr> before = cli_test::readAllFrames(input), after = cli_test::readAllFrames(output);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(pixelFormatName(after[i]->format), pixelFormatName(before[i]->format)) << "frame " << i;
        EXPECT_TRUE(cli_test::samePlanes(*after[i], *before[i])) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CliRoundTripTest,
    ::testing::Values(RoundTripCase{"Yuv420p8BitY4m", AV_PIX_FMT_YUV420P, 64, 48, "in.y4m", "out.y4m"},
                      RoundTripCase{"Yuv422p10BitMkv", AV_PIX_FMT_YUV422P10LE, 64, 48, "in.mkv", "out.mkv"},
                      RoundTripCase{"OddSize", AV_PIX_FMT_YUV420P, 17, 11, "in.mkv", "out.mkv"},
                      RoundTripCase{"OnePixel", AV_PIX_FMT_YUV420P, 1, 1, "in.y4m", "out.y4m"},
                      // Sizes where a sliced FFV1 stream decodes wrong.
                      RoundTripCase{"OneRowMkv", AV_PIX_FMT_YUV420P, 40, 1, "in.y4m", "out.mkv"},
                      RoundTripCase{"GreyTwoRowsMkv", AV_PIX_FMT_GRAY8, 40, 2, "in.y4m", "out.mkv"},
                      RoundTripCase{"GreyTwoColumnsMkv", AV_PIX_FMT_GRAY8, 2, 40, "in.y4m", "out.mkv"},
                      RoundTripCase{"Yuv444pMkv", AV_PIX_FMT_YUV444P, 33, 24, "in.mkv", "out.mkv", true},
                      RoundTripCase{"Yuv444p10BitTwoRowsMkv", AV_PIX_FMT_YUV444P10LE, 40, 2, "in.y4m", "out.mkv", true}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return std::string(info.param.name); });

// Y4M through pipes: standard input to standard output; a report to
// /dev/stdout, which is the pipe that runQuenda reads.
TEST(CliDenoise, PipesCarryY4m) {
    cli_test::TempDir dir;
    const std::string input = dir.path("in.y4m"), output = dir.path("out.y4m");
    cli_test::writeClip(input, cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 3), true);
    const cli_test::RunResult run = runQuenda(std::vector<std::string>{"denoise", "-", "-"} + identity, input, output);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(cli_test::readFile(output), cli_test::readFile(input));

    const cli_test::RunResult report = runQuenda(
        std::vector<std::string>{"denoise", input, dir.path("out.mkv"), "-q", "--report", "/dev/stdout"} + identity);
    ASSERT_EQ(report.exitCode, 0) << report.output;
    EXPECT_EQ(cli_test::jsonValue(report.output, "frames_written"), 3) << report.output;
}

// A noisy clip comes out closer to its clean source, as quenda's own report
// says and as an independent measurement of the written file confirms.
// --preview, with the plug-in's runtime kernels, writes the same frames to
// within one code value, and rarely that.
TEST(CliDenoise, DenoisingGainsPsnrAgainstTheCleanSource) {
    cli_test::TempDir dir;
    const std::string clean = dir.path("clean.mkv"), noisy = dir.path("noisy.mkv"), output = dir.path("out.mkv");
    const DemoSettings settings = cli_test::clipSettings(AV_PIX_FMT_YUV420P, 64, 48, 4);
    cli_test::writeClip(clean, settings, false);
    cli_test::writeClip(noisy, settings, true);

    const cli_test::RunResult run =
        runQuenda({"denoise", noisy, output, "--reference", clean, "--report", dir.path("run.json"), "--compare",
                   dir.path("compare.png"), "--compare-frame", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("fps"), std::string::npos) << run.output;

    const std::string json = cli_test::readFile(dir.path("run.json"));
    const double reportedBefore = cli_test::jsonValue(json, "psnr_input", json.find("\"all\""));
    const double reportedAfter = cli_test::jsonValue(json, "psnr_output", json.find("\"all\""));
    EXPECT_GT(reportedAfter, reportedBefore + 1.0) << json;
    EXPECT_EQ(cli_test::jsonValue(json, "frames_written"), 4) << json;

    QualityMeter before, after;
    const std::vector<FramePtr> cleanFrames = cli_test::readAllFrames(clean), noisyFrames = cli_test::readAllFrames(noisy),
                                outFrames = cli_test::readAllFrames(output);
    ASSERT_EQ(outFrames.size(), cleanFrames.size());
    for (size_t i = 0; i < cleanFrames.size(); ++i) {
        before.add(*noisyFrames[i], *cleanFrames[i]);
        after.add(*outFrames[i], *cleanFrames[i]);
    }
    EXPECT_GT(after.plane(0).psnr, before.plane(0).psnr + 1.0) << "luma";
    EXPECT_GT(after.overallPsnr(), before.overallPsnr() + 1.0);
    EXPECT_NEAR(after.overallPsnr(), reportedAfter, 0.01);

    // The comparison picture: three panels (noisy, denoised, clean) with gaps.
    const std::vector<FramePtr> picture = cli_test::readAllFrames(dir.path("compare.png"));
    ASSERT_EQ(picture.size(), 1u);
    EXPECT_EQ(picture[0]->width, 3 * 64 + 2 * 4);
    EXPECT_EQ(picture[0]->height, 48);

    const std::string preview = dir.path("preview.mkv");
    ASSERT_EQ(runQuenda({"denoise", noisy, preview, "--preview", "-q"}).exitCode, 0);
    const std::vector<FramePtr> previewFrames = cli_test::readAllFrames(preview);
    ASSERT_EQ(previewFrames.size(), outFrames.size());
    int largest = 0;
    long samples = 0, differing = 0;
    for (size_t i = 0; i < outFrames.size(); ++i)
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < (p ? 24 : 48); ++y)
                for (int x = 0; x < (p ? 32 : 64); ++x) {
                    const int a = outFrames[i]->data[p][y * outFrames[i]->linesize[p] + x];
                    const int b = previewFrames[i]->data[p][y * previewFrames[i]->linesize[p] + x];
                    largest = std::max(largest, std::abs(a - b));
                    differing += a != b;
                    ++samples;
                }
    EXPECT_LE(largest, 1);
    EXPECT_LE(differing * 1000, samples) << differing << " of " << samples << " samples differ";
}

// The chunks' container and encoding, and the container they are joined into.
struct ChunkFormat {
    const char* chunks;  // the chunks' extension
    std::vector<std::string> encoding;
    const char* joined;
};

// One clip cut into chunks and joined, in a folder of its own. Each step is
// void for gtest's fatal assertions; the test stops at the first that fails.
class ChunkJoin {
public:
    ChunkJoin(const ChunkFormat& r, bool haveFfmpeg)
        : r_(r), haveFfmpeg_(haveFfmpeg), name_(std::string(r.chunks) + (r.encoding.empty() ? "" : " " + r.encoding[1]) + " to " + r.joined),
          settings_(std::vector<std::string>{"--luma-time", "2", "--chroma-time", "1", "-q"} + r.encoding) {}

    // The whole run, chunks 0:4, 4:7 and 7:, and the chunks joined out of order.
    void makeChunks() {
        cli_test::writeClipWithAudio(path("in"), cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 10));
        ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", path("in"), joinedPath("whole")} + settings_).exitCode,
                  0);
        const char* const ranges[] = {"0:4", "4:7", "7:"};
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", path("in"), path("part" + std::to_string(i)),
                                                         "--frames", ranges[i]} + settings_).exitCode, 0) << ranges[i];
        const cli_test::RunResult join =
            runQuenda({"join", path("part2"), path("part0"), path("part1"), joinedPath("joined"), "-q"});
        ASSERT_EQ(join.exitCode, 0) << name_ << ": " << join.output;
    }

    // Frames, time stamps, audio and duration of the whole run.
    void expectJoinedIsWhole() {
        const std::vector<FramePtr> whole = cli_test::readAllFrames(joinedPath("whole")),
                                    joined = cli_test::readAllFrames(joinedPath("joined"));
        ASSERT_EQ(whole.size(), 10u) << name_;
        ASSERT_EQ(joined.size(), 10u) << name_;
        VideoInput wholeTimes(joinedPath("whole"), 2), joinedTimes(joinedPath("joined"), 2);
        for (int i = 0; i < 10; ++i) {
            EXPECT_TRUE(cli_test::samePlanes(*joined[i], *whole[i])) << name_ << " frame " << i;
            EXPECT_NEAR(joinedTimes.frameSeconds(i), wholeTimes.frameSeconds(i), 1e-6) << name_ << " frame " << i;
        }
        EXPECT_EQ(cli_test::audioBytes(joinedPath("joined"), true), cli_test::audioBytes(joinedPath("whole"), true))
            << name_;
        EXPECT_EQ(openInputFile(joinedPath("joined"))->duration, openInputFile(joinedPath("whole"))->duration)
            << name_;
    }

    // One part alone, a range asked for, and standard output.
    void expectAcceptedJoins() {
        const struct {
            const char* name;
            std::vector<std::string> parts;
            std::vector<std::string> options;
            int frames;
        } accepted[] = {
            {"one part", {joinedPath("joined")}, {}, 10},
            {"a range asked for", {path("part1"), path("part0")}, {"--frames", "0:7"}, 7},
            {"standard output", {path("part0"), path("part1"), path("part2")}, {"-f", "matroska"}, 10},
        };
        for (const auto& a : accepted) {
            const bool toPipe = a.options.size() == 2 && a.options[0] == "-f";
            const std::string out = dir_.path(std::string("accepted") + (toPipe ? ".out" : r_.joined));
            const cli_test::RunResult run =
                runQuenda(std::vector<std::string>{"join"} + a.parts + a.options +
                              std::vector<std::string>{toPipe ? "-" : out},
                          "", toPipe ? out : "");
            ASSERT_EQ(run.exitCode, 0) << name_ << " " << a.name << ": " << run.output;
            EXPECT_EQ(cli_test::readAllFrames(out).size(), static_cast<size_t>(a.frames)) << name_ << " " << a.name;
            if (toPipe) {
                EXPECT_EQ(cli_test::readFile(out).find("joined 3 parts"), std::string::npos) << name_;
            }
            std::remove(out.c_str());
        }
    }

    // Middle chunks that do not belong: of another clip, other settings,
    // another encoding, cut short, and (Matroska, with ffmpeg) cut afterwards.
    void makeStrayChunks() {
        cli_test::writeClipWithAudio(path("other"), cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 12));
        ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", path("other"), path("other1"), "--frames", "4:7"} +
                            settings_).exitCode, 0);
        ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", path("in"), path("weaker1"), "--frames", "4:7",
                                                     "--luma-dispersion", "30"} + settings_).exitCode, 0);
        const std::vector<std::string> otherEncoding =
            r_.encoding.empty() ? std::vector<std::string>{"--encoder-options", "context=1"}
                                : std::vector<std::string>{"--preset", "veryfast"};
        ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", path("in"), path("coded1"), "--frames", "4:7"} +
                            settings_ + otherEncoding).exitCode, 0);
        cli_test::truncateCopy(path("part1"), path("short1"), 0.6);
        // An ffmpeg cut keeps the record in Matroska and counts from zero.
        cut_ = matroska() && haveFfmpeg_ &&
               std::system(("ffmpeg -v error -ss 0.1 -i '" + path("part1") + "' -c copy '" + path("cut1") + "'")
                               .c_str()) == 0;
    }

    void expectRefusedJoins() const;

private:
    std::string path(const std::string& file) const { return dir_.path(file + r_.chunks); }
    std::string joinedPath(const std::string& file) const { return dir_.path(file + r_.joined); }
    bool matroska() const { return std::string(r_.chunks) == ".mkv"; }

    const ChunkFormat& r_;
    const bool haveFfmpeg_;
    const std::string name_;
    const std::vector<std::string> settings_;
    cli_test::TempDir dir_;
    bool cut_ = false;
};

// Parts that do not make the whole clip are refused, naming them, and
// nothing is written.
void ChunkJoin::expectRefusedJoins() const {
    const struct {
        const char* name;
        std::vector<std::string> parts;
        std::string message;
        bool applies;
    } refused[] = {
        {"a missing chunk", {path("part0"), path("part2")}, "frames 4 to 6 are missing between " + path("part0"), true},
        {"a missing first chunk", {path("part1"), path("part2")},
         "frames 0 to 3 are missing before " + path("part1") + " (the clip has 10 frames)", true},
        {"a missing last chunk", {path("part0"), path("part1")}, "frames 7 to 9 are missing after " + path("part1"),
         true},
        {"a chunk cut short", {path("part0"), path("short1"), path("part2")},
         matroska() ? path("short1") + " holds " : path("short1") + " is not a video file", true},
        {"a chunk cut afterwards", {path("part0"), path("cut1"), path("part2")},
         path("cut1") + " starts at 0.000 s where its record says", cut_},
        {"a chunk of another clip", {path("part0"), path("other1"), path("part2")},
         path("other1") + " was made from another input than " + path("part0"), true},
        {"a chunk with other settings", {path("part0"), path("weaker1"), path("part2")},
         path("weaker1") + " was made with other settings (3,2,30,3,1,50)", true},
        {"a chunk encoded otherwise", {path("part0"), path("coded1"), path("part2")},
         path("coded1") + " was encoded with other settings", true},
        {"a whole run among chunks", {path("part0"), joinedPath("whole")},
         joinedPath("whole") + " (frames 0 to 9) overlaps " + path("part0"), std::string(r_.chunks) == r_.joined},
        {"a file that is no chunk", {path("part0"), path("in")}, path("in") + " does not say what it was made from",
         true},
    };
    for (const auto& f : refused) {
        if (!f.applies) continue;
        const cli_test::RunResult run = runQuenda(std::vector<std::string>{"join"} + f.parts +
                                                  std::vector<std::string>{joinedPath("refused"), "-q"});
        EXPECT_EQ(run.exitCode, static_cast<int>(ExitCode::input)) << name_ << " " << f.name << ": " << run.output;
        EXPECT_NE(run.output.find(f.message), std::string::npos) << name_ << " " << f.name << ": " << run.output;
        EXPECT_FALSE(cli_test::fileExists(joinedPath("refused"))) << name_ << " " << f.name;
    }
}

// Chunks of a clip, each with its neighbours as temporal context, joined in
// whatever order they are named, give the whole run's file: its frames, time
// stamps, audio and duration. MP4 chunks are lossless (--crf 0) so that
// frames can be compared; Matroska chunks of H.264 joined into MP4 get their
// audio converted once, as the whole run does. Parts that do not make the
// whole clip are refused, naming them: a missing chunk (first, middle or
// last), one cut short or cut afterwards, one of another clip, other
// settings or another encoding, a whole run among chunks, a file that is no
// chunk. One part alone, a range asked for, and standard output are joined.
TEST(CliDenoise, ChunksJoinIntoTheWholeRun) {
    const bool haveFfmpeg = std::system("command -v ffmpeg >/dev/null") == 0;
    const ChunkFormat runs[] = {
        {".mkv", {}, ".mkv"},
        {".mp4", {"--crf", "0"}, ".mp4"},
        {".mkv", {"--codec", "libx264", "--crf", "0"}, ".mp4"},
    };
    for (const ChunkFormat& r : runs) {
        if (!r.encoding.empty() && !avcodec_find_encoder_by_name("libx264")) continue;
        ChunkJoin chunks(r, haveFfmpeg);
        ASSERT_NO_FATAL_FAILURE(chunks.makeChunks());
        ASSERT_NO_FATAL_FAILURE(chunks.expectJoinedIsWhole());
        ASSERT_NO_FATAL_FAILURE(chunks.expectAcceptedJoins());
        ASSERT_NO_FATAL_FAILURE(chunks.makeStrayChunks());
        chunks.expectRefusedJoins();
    }
}

// Audio that a chunk's container cannot hold is refused rather than encoded
// chunk by chunk, which would not join exactly.
TEST(CliDenoise, ChunksKeepTheirAudioAsItIs) {
    cli_test::TempDir dir;
    cli_test::writeClipWithAudio(dir.path("in.mkv"), cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 4));
    for (const std::vector<std::string>& chunk :
         {std::vector<std::string>{dir.path("part.mp4")}, {dir.path("part.mkv"), "--audio", "transcode"}}) {
        const cli_test::RunResult run = runQuenda(std::vector<std::string>{"denoise", dir.path("in.mkv")} + chunk +
                                                  std::vector<std::string>{"--frames", "0:2", "-q"} + identity);
        EXPECT_EQ(run.exitCode, static_cast<int>(ExitCode::usage)) << chunk[0] << ": " << run.output;
        EXPECT_NE(run.output.find("audio encoded chunk by chunk does not join exactly: write the chunks as .mkv"),
                  std::string::npos) << run.output;
        EXPECT_FALSE(cli_test::fileExists(chunk[0]));
    }
}

// Audio is copied untouched, and a chunk keeps the audio of its own span.
TEST(CliDenoise, AudioSurvives) {
    cli_test::TempDir dir;
    const std::string input = dir.path("in.mkv"), output = dir.path("out.mkv");
    cli_test::writeClipWithAudio(input, cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 4));
    const cli_test::RunResult run = runQuenda(std::vector<std::string>{"denoise", input, output, "-q"} + identity);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string audio = cli_test::audioBytes(input);
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(cli_test::audioBytes(output), audio);
    EXPECT_EQ(cli_test::readAllFrames(output).size(), 4u);

    const std::string chunk = dir.path("chunk.mkv");
    ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", input, chunk, "--frames", "2:", "-q"} + identity).exitCode, 0);
    const std::string chunkAudio = cli_test::audioBytes(chunk);
    EXPECT_EQ(chunkAudio, audio.substr(audio.size() / 2)) << "the second half of the audio";
}

struct CarryCase {
    const char* input;
    const char* output;
    int rotation;  // counter-clockwise degrees kept; -1: none
    bool interlaced;
    int videoStreams;
    int covers;
    const char* audio;
    std::vector<const char*> warnings;
};

// The output's video stream: field order, rotation, HDR metadata.
void expectVideoCarried(const AVStream& video, const CarryCase& c, const std::string& name) {
    EXPECT_EQ(video.codecpar->field_order == AV_FIELD_TT, c.interlaced) << name;
    const auto* matrix = reinterpret_cast<const int32_t*>(av_stream_get_side_data(&video, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    EXPECT_EQ(matrix ? std::lround(av_display_rotation_get(matrix)) : -1, c.rotation) << name;
    const auto* mastering = reinterpret_cast<const AVMasteringDisplayMetadata*>(
        av_stream_get_side_data(&video, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, nullptr));
    const auto* light = reinterpret_cast<const AVContentLightMetadata*>(
        av_stream_get_side_data(&video, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, nullptr));
    ASSERT_TRUE(mastering && light) << name;
    EXPECT_EQ(av_q2d(mastering->max_luminance), 1000) << name;
    EXPECT_EQ(light->MaxCLL, 1000u) << name;
}

// One input denoised into one container: the warnings, the video stream,
// the chapters, and the streams beside the video.
void expectCarried(const cli_test::TempDir& dir, const CarryCase& c) {
    const std::string name = std::string(c.input) + " to " + c.output;
    const cli_test::RunResult run =
        runQuenda(std::vector<std::string>{"denoise", dir.path(c.input), dir.path(c.output), "-q"} + identity);
    ASSERT_EQ(run.exitCode, 0) << name << ": " << run.output;
    for (const char* warning : c.warnings) EXPECT_NE(run.output.find(warning), std::string::npos) << name << ": " << run.output;

    const InputContextPtr out = openInputFile(dir.path(c.output));
    ASSERT_NO_FATAL_FAILURE(expectVideoCarried(*out->streams[0], c, name));
    ASSERT_EQ(out->nb_chapters, 2u) << name;
    EXPECT_STREQ(av_dict_get(out->chapters[1]->metadata, "title", nullptr, 0)->value, "second") << name;
    EXPECT_NEAR(out->chapters[1]->start * av_q2d(out->chapters[1]->time_base), 0.08, 0.001) << name;
    int videos = 0, covers = 0;
    std::string audio;
    for (unsigned i = 0; i < out->nb_streams; ++i) {
        const AVStream& s = *out->streams[i];
        const bool cover = s.disposition & AV_DISPOSITION_ATTACHED_PIC;
        covers += cover;
        videos += s.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !cover;
        if (s.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) audio = avcodec_get_name(s.codecpar->codec_id);
    }
    EXPECT_EQ(videos, c.videoStreams) << name;
    EXPECT_EQ(covers, c.covers) << name;
    EXPECT_EQ(audio, c.audio) << name;
}

// Y4M cannot keep a variable frame rate, and says so; it plays at the
// average rate (a frame each 80 ms but the first), not the declared 25.
void expectVariableRateToY4m(const cli_test::TempDir& dir, const DemoSettings& settings) {
    {
        VideoInfo variable = demoVideoInfo(settings);
        variable.timeBase = AVRational{1, 1000};
        VideoOutput clip(dir.path("vfr.mkv"), "", variable);
        for (int i = 0; i < settings.frames; ++i) clip.write(*makeCleanFrame(settings, i), i < 2 ? 40 * i : 80 * i);
        clip.finish();
    }
    const cli_test::RunResult y4m =
        runQuenda(std::vector<std::string>{"denoise", dir.path("vfr.mkv"), dir.path("vfr.y4m"), "-q"} + identity);
    ASSERT_EQ(y4m.exitCode, 0) << y4m.output;
    EXPECT_NE(y4m.output.find("has a variable frame rate, and Y4M holds a constant one: 12.5 fps, its average"),
              std::string::npos)
        << y4m.output;
    EXPECT_EQ(av_q2d(openInputFile(dir.path("vfr.y4m"))->streams[0]->r_frame_rate), 12.5);
}

// What a file carries besides its pictures is kept where the output's
// container holds it, and named where it does not: rotation, HDR metadata,
// field order, chapters, cover art, a second video stream, and audio (PCM,
// which MP4 cannot hold, converted; Y4M, which holds none, leaves it out).
// AVI keeps the real frame rate.
TEST(CliDenoise, KeepsWhatFilesCarry) {
    cli_test::TempDir dir;
    const DemoSettings settings = cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 4);
    const bool haveX264 = avcodec_find_encoder_by_name("libx264") != nullptr;
    cli_test::writeClipWithAudio(dir.path("in.mkv"), settings, true);
    if (haveX264) cli_test::writeClipWithAudio(dir.path("in.mp4"), settings, true);
    const CarryCase cases[] = {
        {"in.mkv", "a.mkv", -1, true, 2, 1, "pcm_s16le", {"interlaced", "has 2 video streams: stream 0"}},
        {"in.mkv", "a.mp4", -1, true, 1, 1, "aac", {"video stream 2 (ffv1) cannot be stored", "converted to aac"}},
        {"in.mp4", "b.mp4", -90, false, 1, 0, "aac", {}},
        {"in.mp4", "b.mkv", -1, false, 1, 0, "aac", {"rotation of the video (90 degrees clockwise) cannot be stored"}},
    };
    for (const CarryCase& c : cases) {
        if (!haveX264 && (std::string(c.input) == "in.mp4" || std::string(c.output) == "a.mp4")) continue;
        ASSERT_NO_FATAL_FAILURE(expectCarried(dir, c));
    }

    ASSERT_EQ(runQuenda(std::vector<std::string>{"denoise", dir.path("in.mkv"), dir.path("out.avi"), "-q"} + identity).exitCode, 0);
    const InputContextPtr avi = openInputFile(dir.path("out.avi"));
    EXPECT_EQ(av_q2d(avi->streams[0]->r_frame_rate), 25);

    // Y4M holds no audio: by default it is left out, as a further video stream is.
    const cli_test::RunResult noAudio =
        runQuenda(std::vector<std::string>{"denoise", dir.path("in.mkv"), dir.path("a.y4m"), "-q"} + identity);
    EXPECT_EQ(noAudio.exitCode, 0) << noAudio.output;
    EXPECT_NE(noAudio.output.find("(pcm_s16le) is left out: Y4M holds video only"), std::string::npos) << noAudio.output;
    expectVariableRateToY4m(dir, settings);
}

TEST(CliCommands, VersionAndDevicesTellWhatIsInUse) {
    const cli_test::RunResult version = runQuenda({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.output.find("ver 1.13"), std::string::npos) << version.output;
    EXPECT_NE(version.output.find("libavcodec"), std::string::npos) << version.output;

    const cli_test::RunResult devices = runQuenda({"devices"});
    EXPECT_EQ(devices.exitCode, 0) << devices.output;
    EXPECT_NE(devices.output.find(" * "), std::string::npos) << devices.output;
    const cli_test::RunResult none = runQuenda({"devices"}, "", "", "QUENDA_VULKAN_DEVICE=99");
    EXPECT_EQ(none.exitCode, static_cast<int>(ExitCode::plugin)) << none.output;
    EXPECT_NE(none.output.find("QUENDA_VULKAN_DEVICE=99 names none of the usable devices"), std::string::npos)
        << none.output;

    const cli_test::RunResult help = runQuenda({"denoise", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--luma-dispersion"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("Example"), std::string::npos) << help.output;
}

}  // namespace
