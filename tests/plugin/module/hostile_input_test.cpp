// Values from the host that would reach past an array or a buffer: track
// values outside their ranges, frames that do not fit the output image, and
// sizes whose byte counts overflow.
#include <gtest/gtest.h>

#include <memory>

#include "platform/test_hooks.h"
#include "tests/plugin/module/plugin_module.h"
#include "tests/plugin/plugin_fixture.h"
#include "tests/support/reference_frame.h"
#include "tests/support/test_host.h"

namespace {

class HostileInputTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        host = std::make_unique<TestHost>(&sharedPluginModule().table());
        clip.width = 20;
        clip.height = 12;
        clip.count = 10;
        host->setClip(clip);
        ASSERT_EQ(host->init(), 1);
    }
    void TearDown() override {
        EXPECT_EQ(host->exit(), 1);
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
        host.reset();
        PluginTest::TearDown();
    }

    SyntheticClip clip;
    std::unique_ptr<TestHost> host;
};

TEST_F(HostileInputTest, TrackValuesAreHeldToTheirRanges) {
    struct Case {
        std::array<int32_t, 6> given;
        std::array<int32_t, 6> held;
    };
    const std::vector<Case> cases = {
        {{-5, -1, -100, -3, -7, -50}, {0, 0, 0, 0, 0, 0}},
        {{17, 8, 1000, 3, 100, 50}, {16, 7, 100, 3, 7, 50}},
        {{2, 1, 50, 40, 1000000, 101}, {2, 1, 50, 16, 7, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.given));
        host->setTracks(c.given);
        for (bool outputRun : {false, true}) {
            if (outputRun) {
                ASSERT_EQ(host->message(1129), 0);
            }
            ASSERT_EQ(host->process(5), 1) << ::testing::PrintToString(boxLines());
            EXPECT_LE(compareFrames(host->result(), referenceFrame(clip, 5, c.held)).maxAbs, 1)
                << (outputRun ? "output run" : "preview");
            if (outputRun) {
                ASSERT_EQ(host->message(1130), 0);
            }
        }
    }
    EXPECT_TRUE(boxLines().empty());
}

TEST_F(HostileInputTest, FramesThatDoNotFitTheOutputAreRefused) {
    struct Case {
        const char* name;
        int rowPixels, heightBound, reportedWidth, reportedHeight;
        std::vector<std::string> boxes;
    };
    const std::string cacheFailed = "エラー|キャッシュの設定に失敗しました";
    const std::string tooLarge = "エラー|メインメモリ上のテクスチャの作成に失敗しました";
    const std::vector<Case> cases = {
        {"wider than rowPixels", 16, 12, -1, -1, {cacheFailed}},
        {"more rows than heightBound", 20, 10, -1, -1, {cacheFailed}},
        {"a width whose byte counts overflow", 20, 12, 1 << 30, -1, {cacheFailed}},
        {"a zero height", 20, 12, -1, 0, {cacheFailed}},
        {"wider than a texture", 16353, 12, 16353, -1, {tooLarge, cacheFailed}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->setClip(clip, c.rowPixels, c.heightBound);
        host->reportedWidth = c.reportedWidth;
        host->reportedHeight = c.reportedHeight;
        platform_hooks::clearRecordedBoxes();
        EXPECT_EQ(host->process(3), 0);
        EXPECT_EQ(boxLines(), c.boxes);
        for (const PixelYC& p : host->outputImage()) ASSERT_EQ(p.y, 0x7777) << "nothing written";
        host->reportedWidth = host->reportedHeight = -1;
    }
    host->setClip(clip);
    EXPECT_EQ(host->process(3), 1) << "a sound frame afterwards works again";
}

}  // namespace
