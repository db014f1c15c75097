// The command-line host's own machinery, without the plug-in: the pixel
// scale, the conversion of frames to host images and back, and random
// access into video files.
#include "cli/commands/errors.h"
#include "cli/media/pixel_convert.h"
#include "cli/media/video_input.h"
#include "tests/cli/cli_test_media.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <vector>

namespace {

using namespace quenda_cli;

struct ScaleCase {
    int depth;
    bool fullRange;
    bool chroma;
};

void PrintTo(const ScaleCase& c, std::ostream* os) {
    *os << c.depth << " bits, " << (c.fullRange ? "full" : "limited") << (c.chroma ? " chroma" : " luma");
}

class CliCodeScaleTest : public ::testing::TestWithParam<ScaleCase> {};

// Every file code has its own host value, inside the range the plug-in stores
// exactly, and comes back from it; up to 10 bits also when the value returns
// one off (the plug-in truncates its float results).
TEST_P(CliCodeScaleTest, EveryCodeRoundTrips) {
    const ScaleCase c = GetParam();
    const CodeScale scale(c.depth, c.fullRange, c.chroma);
    const int low = c.chroma ? -4096 : -2048, high = c.chroma ? 4095 : 6143;
    for (int code = 0; code < (1 << c.depth); ++code) {
        const int value = scale.toHost(code);
        ASSERT_GE(value, low) << "code " << code;
        ASSERT_LE(value, high) << "code " << code;
        ASSERT_EQ(scale.toFile(value), code) << "code " << code;
        if (c.depth <= 10) {
            ASSERT_EQ(scale.toFile(value - 1), code) << "code " << code << " less one";
            ASSERT_EQ(scale.toFile(value + 1), code) << "code " << code << " plus one";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, CliCodeScaleTest,
                         ::testing::Values(ScaleCase{8, false, false}, ScaleCase{8, false, true},
                                           ScaleCase{8, true, false}, ScaleCase{8, true, true},
                                           ScaleCase{10, false, false}, ScaleCase{10, false, true},
                                           ScaleCase{10, true, true}, ScaleCase{12, false, false},
                                           ScaleCase{12, true, true}),
                         [](const ::testing::TestParamInfo<ScaleCase>& info) {
                             return std::to_string(info.param.depth) + (info.param.fullRange ? "BitFull" : "BitLimited") +
                                    (info.param.chroma ? "Chroma" : "Luma");
                         });

TEST(CliCodeScale, VideoBlackAndWhiteAreTheHostsEnds) {
    const struct {
        int depth;
        bool fullRange;
        bool chroma;
        int code;
        int value;
    } cases[] = {
        {8, false, false, 16, 0},    {8, false, false, 235, 4096}, {8, false, true, 16, -2048},
        {8, false, true, 240, 2048}, {8, false, true, 128, 0},     {10, false, false, 64, 0},
        {10, false, false, 940, 4096}, {10, false, true, 512, 0},  {8, true, false, 0, 0},
        {8, true, false, 255, 4096}, {8, true, true, 128, 0},      {16, false, false, 235 << 8, 4096},
    };
    for (const auto& c : cases) {
        const CodeScale scale(c.depth, c.fullRange, c.chroma);
        EXPECT_EQ(scale.toHost(c.code), c.value)
            << c.depth << " bits " << (c.fullRange ? "full" : "limited") << (c.chroma ? " chroma " : " luma ") << c.code;
    }
}

struct FrameCase {
    AVPixelFormat format;
    int width;
    int height;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << pixelFormatName(c.format) << " " << c.width << "x" << c.height;
}

std::string frameCaseName(const ::testing::TestParamInfo<FrameCase>& info) {
    std::string name = pixelFormatName(info.param.format) + "_" + std::to_string(info.param.width) + "x" +
                       std::to_string(info.param.height);
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

class CliConverterTest : public ::testing::TestWithParam<FrameCase> {};

// A frame converted to a host image and back is the same frame; subsampled
// chroma is the same on both pixels of each horizontal pair, so the
// plug-in's pair averages change nothing; an odd width is padded by the
// last column.
TEST_P(CliConverterTest, HostImageRoundTrip) {
    const FrameCase c = GetParam();
    DemoSettings settings = cli_test::clipSettings(c.format, c.width, c.height, 1);
    FramePtr frame;
    if (isDirectFormat(c.format)) {
        settings.noiseSigma = 6;  // every code value in play
        frame = addNoise(*makeCleanFrame(settings, 3), settings, 3);
    } else {
        // Through a direct format of the same layout.
        settings.format = workingFormat(c.format);
        FramePtr source = addNoise(*makeCleanFrame(settings, 3), settings, 3);
        frame = newFrame(c.format, c.width, c.height);
        SwsPtr sws(sws_getContext(c.width, c.height, settings.format, c.width, c.height, c.format, SWS_POINT, nullptr,
                                  nullptr, nullptr));
        sws_scale(sws.get(), source->data, source->linesize, 0, c.height, frame->data, frame->linesize);
    }
    YcConverter converter(c.format, c.width, c.height, false, AVCOL_SPC_BT709);
    ASSERT_EQ(converter.rowPixels() % 2, 0);
    std::vector<PixelYC> image(static_cast<size_t>(converter.rowPixels()) * c.height);
    converter.toYc(*frame, image.data());

    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(workingFormat(c.format));
    for (int y = 0; y < c.height; ++y) {
        const PixelYC* row = &image[static_cast<size_t>(y) * converter.rowPixels()];
        if (c.width % 2) {
            EXPECT_EQ(row[c.width].y, row[c.width - 1].y) << "padding, row " << y;
        }
        if (desc->log2_chroma_w > 0) {
            for (int x = 0; x + 1 < converter.rowPixels(); x += 2) {
                ASSERT_EQ(row[x].cb, row[x + 1].cb) << "pair at " << x << "," << y;
                ASSERT_EQ(row[x].cr, row[x + 1].cr) << "pair at " << x << "," << y;
            }
        }
    }
    FramePtr back = converter.fromYc(image.data(), *frame);
    EXPECT_TRUE(cli_test::samePlanes(*back, *frame));
}

INSTANTIATE_TEST_SUITE_P(Formats, CliConverterTest,
                         ::testing::Values(FrameCase{AV_PIX_FMT_YUV420P, 64, 48}, FrameCase{AV_PIX_FMT_YUV420P, 17, 11},
                                           FrameCase{AV_PIX_FMT_YUV420P, 1, 1}, FrameCase{AV_PIX_FMT_YUV422P10LE, 16, 8},
                                           FrameCase{AV_PIX_FMT_YUV422P10LE, 15, 7},
                                           FrameCase{AV_PIX_FMT_YUV444P, 5, 3}, FrameCase{AV_PIX_FMT_GRAY8, 7, 5},
                                           FrameCase{AV_PIX_FMT_YUV420P12LE, 9, 9}, FrameCase{AV_PIX_FMT_NV12, 8, 6},
                                           FrameCase{AV_PIX_FMT_YUYV422, 10, 4}),
                         frameCaseName);

// Frames asked for out of order, with a window of three, are the frames a
// plain sequential decode gives.
TEST(CliVideoInputTest, RandomAccessMatchesSequentialDecoding) {
    cli_test::TempDir dir;
    const struct {
        const char* name;
        AVPixelFormat format;
    } files[] = {{"clip.mkv", AV_PIX_FMT_YUV420P}, {"clip.y4m", AV_PIX_FMT_YUV422P10LE}, {"clip.mp4", AV_PIX_FMT_YUV420P}};
    for (const auto& file : files) {
        if (std::string(file.name) == "clip.mp4" && !avcodec_find_encoder_by_name("libx264")) continue;
        const std::string path = dir.path(file.name);
        cli_test::writeClip(path, cli_test::clipSettings(file.format, 32, 24, 30), true);
        const std::vector<FramePtr> sequential = cli_test::readAllFrames(path);
        ASSERT_EQ(sequential.size(), 30u) << file.name;

        VideoInput input(path, 3);
        EXPECT_EQ(input.frameCount(), 30) << file.name;
        EXPECT_FALSE(input.info().endsEarly) << file.name;
        EXPECT_EQ(input.info().format, file.format) << file.name;
        for (int index : {20, 5, 29, 0, 15, 16, 17, 3, 28, 27, 1}) {
            EXPECT_TRUE(cli_test::samePlanes(input.frame(index), *sequential[static_cast<size_t>(index)]))
                << file.name << " frame " << index;
        }
        EXPECT_LT(input.framePts(3), input.framePts(4)) << file.name;
    }
}

// A Y4M file cut inside a frame, and a Matroska file shorter than it
// declares, are known as cut off before any frame is processed.
TEST(CliVideoInputTest, CutOffFilesAreRecognised) {
    cli_test::TempDir dir;
    for (const char* name : {"clip.y4m", "clip.mkv"}) {
        const std::string whole = dir.path(name), cut = dir.path(std::string("cut-") + name);
        cli_test::writeClip(whole, cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 20), true);
        cli_test::truncateCopy(whole, cut, 0.6);
        VideoInput input(cut, 3);
        EXPECT_TRUE(input.info().endsEarly) << name;
        EXPECT_GT(input.frameCount(), 5) << name;
        EXPECT_LT(input.frameCount(), 20) << name;
        VideoInput complete(whole, 3);
        EXPECT_FALSE(complete.info().endsEarly) << name;
    }
}

}  // namespace
