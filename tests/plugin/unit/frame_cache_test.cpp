// The frame texture cache: which frames are fetched, where they are stored,
// what is evicted, and what each failure releases.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "gpu/device.h"
#include "host/callbacks.h"
#include "pipeline/frame_cache.h"
#include "state/denoise_state.h"
#include "tests/plugin/plugin_fixture.h"
#include "tests/support/test_host.h"

using platform_hooks::FailPoint;

namespace {

std::vector<int32_t> frames(int from, int to) {
    std::vector<int32_t> v;
    for (int i = from; i <= to; ++i) v.push_back(i);
    return v;
}

std::vector<int32_t> slotFrames() {
    std::vector<int32_t> v;
    for (const FrameCacheSlot& slot : denoiseState.frameCache)
        if (slot.lumaView) v.push_back(slot.frame);
    return v;
}

class FrameCacheTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        SyntheticClip clip;
        clip.width = 24;
        clip.height = 16;
        clip.count = 100;
        host.setClip(clip);
        ASSERT_EQ(onInit(table), 1);
        info = host.info();
        info.rowPixels = clip.width;
        info.heightBound = clip.height;
        info.editHandle = &host;
    }
    void TearDown() override {
        releaseAll();
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
        PluginTest::TearDown();
    }
    // Makes the staging textures, then starts from an empty cache.
    void warmUp() {
        ASSERT_EQ(uploadWindow(table, &info, 50, 0), 1);
        releaseCache();
        host.clearCalls();
    }

    FilterTable* table = GetFilterTable();
    TestHost host{table};
    FrameProcInfo info{};
};

TEST_F(FrameCacheTest, WindowsFetchEachClampedFrameOnceInOrder) {
    warmUp();
    struct Case {
        int centre, radius;
        std::vector<int32_t> fetched;
    };
    for (const Case& c : {Case{5, 2, frames(3, 7)}, Case{0, 2, frames(0, 2)}, Case{99, 2, frames(97, 99)},
                          Case{150, 2, frames(97, 99)}}) {
        SCOPED_TRACE("centre " + std::to_string(c.centre));
        releaseCache();
        host.clearCalls();
        ASSERT_EQ(uploadWindow(table, &info, c.centre, c.radius), 1);
        EXPECT_EQ(host.fetchedFrames(), c.fetched);
        EXPECT_EQ(slotFrames(), c.fetched) << "slots fill in order";
    }
    // An overlapping window fetches only what is new.
    releaseCache();
    ASSERT_EQ(uploadWindow(table, &info, 5, 2), 1);
    host.clearCalls();
    ASSERT_EQ(uploadWindow(table, &info, 6, 2), 1);
    EXPECT_EQ(host.fetchedFrames(), frames(8, 8));
}

TEST_F(FrameCacheTest, FirstUploadDeclaresTheCacheAndResets) {
    releaseAll();
    ASSERT_EQ(onInit(table), 1);
    host.clearCalls();
    ASSERT_EQ(uploadWindow(table, &info, 50, 3), 1);
    EXPECT_EQ(host.cacheDeclarations(), (std::vector<int32_t>{1, 0, 1}));
    std::vector<int32_t> expected = {47};
    for (int f : frames(47, 53)) expected.push_back(f);
    EXPECT_EQ(host.fetchedFrames(), expected);
    EXPECT_EQ(slotFrames(), frames(47, 53));
    EXPECT_EQ(info.frameWidth, 24);
    EXPECT_EQ(info.frameHeight, 16);
}

TEST_F(FrameCacheTest, EvictionKeepsTheClampedWindow) {
    warmUp();
    ASSERT_EQ(uploadWindow(table, &info, 11, 6), 1);
    evictOutside(table, &info, 11, 4);
    EXPECT_EQ(slotFrames(), frames(7, 15));

    releaseCache();
    host.reportedCount = 10;
    ASSERT_EQ(uploadWindow(table, &info, 6, 3), 1);  // frames 3 .. 9 after the reset
    evictOutside(table, &info, 11, 4);
    EXPECT_EQ(slotFrames(), frames(5, 9));
}

TEST_F(FrameCacheTest, NegativeRadiusFetchesNothing) {
    warmUp();
    info.frameWidth = 999;
    EXPECT_EQ(uploadWindow(table, &info, 5, -1), 1);
    EXPECT_TRUE(host.fetchedFrames().empty());
    EXPECT_EQ(info.frameWidth, 24);

    // Right after the first initialisation nothing was ever fetched.
    releaseAll();
    denoiseState.srcWidth = denoiseState.srcHeight = 0;
    ASSERT_EQ(onInit(table), 1);
    EXPECT_EQ(uploadWindow(table, &info, 5, -1), 1);
    EXPECT_EQ(info.frameWidth, 0);
    EXPECT_TRUE(host.fetchedFrames().empty());
}

TEST_F(FrameCacheTest, SizeChangeResetsAndRemakesStaging) {
    warmUp();
    ASSERT_EQ(uploadWindow(table, &info, 5, 1), 1);
    SyntheticClip wider = host.clip();
    wider.width = 30;
    host.setClip(wider);
    info.rowPixels = 30;
    releaseCache();  // only a fetch notices the new size
    host.clearCalls();
    ASSERT_EQ(uploadWindow(table, &info, 5, 1), 1);
    EXPECT_EQ(host.cacheDeclarations(), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(host.fetchedFrames(), (std::vector<int32_t>{4, 4, 5, 6}));
    EXPECT_EQ(denoiseState.srcWidth, 30);
    D3D11_TEXTURE2D_DESC desc;
    denoiseState.stagingLuma->GetDesc(&desc);
    EXPECT_EQ(desc.Width, 62u);
}

TEST_F(FrameCacheTest, ResetInTheMiddleOfAPassRestartsIt) {
    struct Case {
        const char* name;
        std::function<void(TestHost&)> change;
    };
    const std::vector<Case> cases = {
        {"taller frames",
         [this](TestHost& h) {
             SyntheticClip taller = h.clip();
             taller.height = 20;
             h.setClip(taller);
             info.heightBound = 20;
         }},
        {"frame count alone", [](TestHost& h) { h.reportedCount = 90; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        releaseCache();
        ASSERT_EQ(uploadWindow(table, &info, 5, 2), 1);
        evictOutside(table, &info, 6, 2);  // keeps 4 .. 7; 8 is missing
        host.clearCalls();
        host.beforeFetch = [&c](TestHost& h, int32_t) {
            c.change(h);
            h.beforeFetch = nullptr;
        };
        ASSERT_EQ(uploadWindow(table, &info, 6, 2), 1);
        EXPECT_EQ(host.cacheDeclarations(), (std::vector<int32_t>{0, 1}));
        std::vector<int32_t> held = slotFrames();
        std::sort(held.begin(), held.end());
        EXPECT_EQ(held, frames(4, 8)) << "the whole window is cached after the reset";
    }
    EXPECT_EQ(denoiseState.srcHeight, 20);
    EXPECT_EQ(denoiseState.frameCountAtUpload, 90);

    // A host whose frame count changes at every fetch resets at every
    // frame: the pass starts over twice at most, then goes on to its end.
    releaseCache();
    host.clearCalls();
    host.beforeFetch = [](TestHost& h, int32_t) { h.reportedCount = h.reportedCount == 100 ? 101 : 100; };
    EXPECT_EQ(uploadWindow(table, &info, 50, 2), 1);
    host.beforeFetch = nullptr;
    const std::vector<int32_t> fetched = host.fetchedFrames();
    EXPECT_EQ(std::count(fetched.begin(), fetched.end(), 48), 2 * 3) << "three passes, each fetching 48 twice";
    EXPECT_EQ(fetched.back(), 52);
}

TEST_F(FrameCacheTest, HostImageThatDoesNotFitIsRefused) {
    warmUp();
    info.rowPixels = 20;  // narrower than the frames the host returns
    EXPECT_EQ(uploadWindow(table, &info, 5, 0), 0);
    EXPECT_TRUE(platform_hooks::recordedBoxes().empty());
}

TEST_F(FrameCacheTest, EachFailureShowsItsBoxAndLeaksNothing) {
    struct Case {
        FailPoint point;
        int occurrence;
        bool atReset;
        const char* box;  // null for none
    };
    const std::vector<Case> cases = {
        {FailPoint::CreateTexture2D, 1, true, "メインメモリ上のテクスチャの作成に失敗しました"},
        {FailPoint::CreateTexture2D, 2, true, "メインメモリ上のテクスチャの作成に失敗しました"},
        {FailPoint::CreateTexture2D, 1, false, "ビデオメモリ上のテクスチャの作成に失敗しました"},
        {FailPoint::CreateTexture2D, 2, false, "ビデオメモリ上のテクスチャの作成に失敗しました"},
        {FailPoint::Map, 1, false, "メインメモリテクスチャのロックに失敗しました"},
        {FailPoint::Map, 2, false, "メインメモリテクスチャのロックに失敗しました"},
        {FailPoint::CreateShaderResourceView, 1, false, "リソースの作成に失敗しました"},
        {FailPoint::CreateShaderResourceView, 2, false, "リソースの作成に失敗しました"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(platform_hooks::failPointName(c.point)) + " #" + std::to_string(c.occurrence) +
                     (c.atReset ? " at reset" : ""));
        releaseAll();
        ASSERT_EQ(onInit(table), 1);
        if (!c.atReset) warmUp();
        const long live = platform_hooks::liveObjects();
        platform_hooks::clearRecordedBoxes();
        platform_hooks::failNth(c.point, c.occurrence);
        EXPECT_EQ(uploadWindow(table, &info, 5, 0), 0);
        const auto boxes = platform_hooks::recordedBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.box);
        EXPECT_EQ(boxes[0].caption, "エラー");
        if (!c.atReset) {
            EXPECT_EQ(platform_hooks::liveObjects(), live) << "the frame's objects are released";
        }
    }
    // A failed fetch is silent.
    releaseAll();
    ASSERT_EQ(onInit(table), 1);
    platform_hooks::clearRecordedBoxes();
    host.clearCalls();
    host.nullFetches = {1};
    EXPECT_EQ(uploadWindow(table, &info, 5, 0), 0);
    EXPECT_TRUE(platform_hooks::recordedBoxes().empty());
}

TEST_F(FrameCacheTest, AFullCacheRefusesTheFrameWithoutLeaking) {
    warmUp();
    ASSERT_EQ(uploadWindow(table, &info, 20, 9), 1);  // 19 frames
    ASSERT_EQ(uploadWindow(table, &info, 60, 0), 1);  // the 20th
    const long live = platform_hooks::liveObjects();
    EXPECT_EQ(uploadWindow(table, &info, 70, 0), 0);
    EXPECT_EQ(platform_hooks::liveObjects(), live);
    ASSERT_EQ(platform_hooks::recordedBoxes().size(), 1u);
    EXPECT_EQ(platform_hooks::recordedBoxes()[0].text, "フレームテクスチャの取得に失敗しました");
}

}  // namespace
