// The command-line host's frame service decodes the next frame ahead on a
// thread of its own; what the plug-in sees must be what decoding on request
// gives, in every order of requests and on broken files.
#include "cli/commands/errors.h"
#include "cli/hosting/input_frames.h"
#include "cli/media/pixel_convert.h"
#include "cli/media/video_input.h"
#include "tests/cli/cli_test_media.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace quenda_cli;

// The plain service: each request decoded and converted there and then.
class OnRequest {
public:
    OnRequest(const std::string& path, int window)
        : input_(path, window),
          converter_(input_.info().format, input_.info().width, input_.info().height,
                     isFullRange(input_.info().format, input_.info().range), input_.info().colorSpace),
          image_(static_cast<size_t>(converter_.rowPixels()) * converter_.height()) {}
    int frameCount() const { return input_.frameCount(); }
    const std::vector<PixelYC>& frameImage(int index) {
        converter_.toYc(input_.frame(index), image_.data());
        return image_;
    }

private:
    VideoInput input_;
    YcConverter converter_;
    std::vector<PixelYC> image_;
};

bool sameImage(const PixelYC* a, const std::vector<PixelYC>& b) {
    return std::memcmp(a, b.data(), b.size() * sizeof(PixelYC)) == 0;
}

TEST(CliInputFramesTest, EveryOrderOfRequestsGivesTheDecodedFrames) {
    cli_test::TempDir dir;
    const std::string path = dir.path("clip.mkv");
    cli_test::writeClip(path, cli_test::clipSettings(AV_PIX_FMT_YUV420P, 34, 24, 12), true);
    const std::vector<FramePtr> decoded = cli_test::readAllFrames(path);
    ASSERT_EQ(decoded.size(), 12u);
    const struct {
        const char* name;
        std::vector<int> requests;
    } orders[] = {
        {"ascending", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {"each twice, as after a cache reset", {0, 0, 1, 1, 2, 2, 3, 4, 4}},
        {"sliding windows, as a preview asks", {0, 1, 2, 1, 2, 3, 2, 3, 4, 3, 4, 5}},
        {"output run: window, then one ahead", {0, 1, 2, 3, 4, 5, 6}},
        {"jumps", {5, 2, 9, 0, 11, 10, 3}},
    };
    for (const auto& order : orders) {
        VideoInput input(path, 7);
        InputFrames served(input, 7);
        OnRequest plain(path, 7);
        EXPECT_EQ(served.frameCount(), 12) << order.name;
        for (int index : order.requests) {
            int width = 0, height = 0;
            const PixelYC* image = served.frameImage(index, &width, &height);
            EXPECT_EQ(width, 34) << order.name;
            EXPECT_EQ(height, 24) << order.name;
            EXPECT_TRUE(sameImage(image, plain.frameImage(index))) << order.name << ", frame " << index;
            EXPECT_TRUE(cli_test::samePlanes(served.source(index), *decoded[static_cast<size_t>(index)]))
                << order.name << ", frame " << index;
        }
        EXPECT_EQ(served.frameCount(), 12) << order.name;
    }
}

// On a broken file the failure comes at the same request, with the same
// message, and the frame count the plug-in sees changes only then, however
// far the decoding ahead got.
TEST(CliInputFramesTest, BrokenInputFailsWhereDecodingOnRequestFails) {
    const struct {
        const char* name;
        const char* file;
        bool damage;
    } cases[] = {{"cut Y4M", "in.y4m", false}, {"cut Matroska", "in.mkv", false}, {"damaged Matroska", "in.mkv", true}};
    for (const auto& c : cases) {
        cli_test::TempDir dir;
        const std::string whole = dir.path(std::string("whole-") + c.file), broken = dir.path(c.file);
        cli_test::writeClip(whole, cli_test::clipSettings(AV_PIX_FMT_YUV420P, 32, 24, 10), true);
        if (c.damage)
            cli_test::damageCopy(whole, broken, 0.6, 1500);
        else
            cli_test::truncateCopy(whole, broken, 0.55);

        VideoInput input(broken, 5);
        InputFrames served(input, 5);
        OnRequest plain(broken, 5);
        std::string servedError, plainError;
        int servedStop = -1, plainStop = -1;
        for (int index = 0; index < 10 && (servedStop < 0 || plainStop < 0); ++index) {
            if (servedStop < 0) {
                EXPECT_EQ(served.frameCount(), plain.frameCount()) << c.name << ", before frame " << index;
                try {
                    int width = 0, height = 0;
                    if (index < served.frameCount()) served.frameImage(index, &width, &height);
                    else servedStop = index;
                } catch (const InputEndsEarly& error) {
                    servedStop = index;
                    servedError = error.what();
                }
            }
            if (plainStop < 0) {
                try {
                    if (index < plain.frameCount()) plain.frameImage(index);
                    else plainStop = index;
                } catch (const InputEndsEarly& error) {
                    plainStop = index;
                    plainError = error.what();
                }
            }
        }
        EXPECT_EQ(servedStop, plainStop) << c.name;
        EXPECT_EQ(servedError, plainError) << c.name;
        EXPECT_EQ(served.frameCount(), plain.frameCount()) << c.name;
        EXPECT_GE(servedStop, 3) << c.name;
        // Damage is found by decoding, cut files already by the scan.
        EXPECT_EQ(servedError.empty(), !c.damage) << c.name;
    }
}

}  // namespace
