// The whole plug-in driven through its export, as the editor drives it: the
// frame scheduler, the worker thread, output runs and the window messages.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/test_hooks.h"
#include "tests/plugin/module/plugin_module.h"
#include "tests/plugin/plugin_fixture.h"
#include "tests/support/reference_frame.h"
#include "tests/support/test_host.h"

using platform_hooks::FailPoint;

namespace {

SyntheticClip smallClip(int count, int width = 24, int height = 16) {
    SyntheticClip clip;
    clip.width = width;
    clip.height = height;
    clip.count = count;
    return clip;
}

// One failure and what the scheduler shows and leaves for it.
struct FailureRow {
    const char* name;
    std::function<int32_t()> act;  // arms the failure and makes the call
    std::vector<std::string> boxes;
    int32_t result;
    std::function<void()> after;  // what the state left allows next
};

class SchedulerTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        host = std::make_unique<TestHost>(&sharedPluginModule().table());
        host->setClip(smallClip(4));
        ASSERT_EQ(host->init(), 1);
    }
    void TearDown() override {
        EXPECT_EQ(host->exit(), 1);
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << "objects left alive after onExit";
        host.reset();
        PluginTest::TearDown();
    }

    int threadStarts() const { return platform_hooks::callCount(FailPoint::ThreadStart); }

    // Processes frame n and returns the frame written, checked against the
    // CPU reference of the kernels.
    std::vector<PixelYC> processChecked(int n) {
        EXPECT_EQ(host->process(n), 1) << "frame " << n << " " << ::testing::PrintToString(boxLines());
        std::vector<PixelYC> got = host->result();
        EXPECT_LE(compareFrames(got, referenceFrame(host->clip(), n, tracks)).maxAbs, 1) << "frame " << n;
        return got;
    }

    // Outside an output run each call starts one worker; inside one, a call
    // that computes its frame starts a second on the next frame.
    void computesAhead(bool ahead, int n) {
        host->clearCalls();
        const int before = threadStarts();
        processChecked(n);
        EXPECT_EQ(threadStarts() - before, ahead ? 2 : 1) << "frame " << n;
    }

    // Each row's act leaves the state that the next row starts from.
    std::vector<FailureRow> failureRows();

    std::array<int32_t, 6> tracks = {3, 1, 50, 3, 1, 50};
    std::unique_ptr<TestHost> host;
};

TEST_F(SchedulerTest, OutputRunWalkThrough) {
    struct Step {
        int frame;
        std::vector<int32_t> fetched;
        int threadsStarted;
    };
    // maxTime 1 over frames 0 to 3: frame 0 is computed while the host waits,
    // then each call is served ahead and starts the worker on the next frame.
    const std::vector<Step> steps = {
        {0, {0, 0, 1, 2, 3}, 2},
        {1, {}, 1},
        {2, {}, 1},
        {3, {}, 1},
    };
    ASSERT_EQ(host->message(1129), 0);
    for (const Step& step : steps) {
        host->clearCalls();
        const int before = threadStarts();
        processChecked(step.frame);
        EXPECT_EQ(host->fetchedFrames(), step.fetched) << "frame " << step.frame;
        EXPECT_EQ(threadStarts() - before, step.threadsStarted) << "frame " << step.frame;
    }
    EXPECT_EQ(host->message(1130), 0);
    EXPECT_TRUE(boxLines().empty());
}

TEST_F(SchedulerTest, OutsideAnOutputRunEveryCallStartsAfresh) {
    host->setClip(smallClip(6));
    struct Step {
        int frame;
        std::vector<int32_t> fetched;
    };
    // The first fetch makes the staging textures (a reset, fetching again);
    // after that every call fetches its whole window: the cache was emptied.
    for (const Step& step : {Step{2, {1, 1, 2, 3}}, Step{2, {1, 2, 3}}, Step{5, {4, 5}}}) {
        host->clearCalls();
        const int before = threadStarts();
        processChecked(step.frame);
        EXPECT_EQ(threadStarts() - before, 1);
        EXPECT_EQ(host->fetchedFrames(), step.fetched);
    }
}

TEST_F(SchedulerTest, OutputRunEqualsPreviewFrameByFrame) {
    host->setClip(smallClip(5, 33, 19));
    tracks = {4, 2, 30, 5, 1, 70};
    host->setTracks(tracks);
    std::vector<std::vector<PixelYC>> preview;
    for (int n = 0; n < 5; ++n) preview.push_back(processChecked(n));
    ASSERT_EQ(host->message(1129), 0);
    long differing = 0;
    for (int n = 0; n < 5; ++n) {
        const FrameDifference d = compareFrames(processChecked(n), preview[n]);
        EXPECT_LE(d.maxAbs, 1) << n;
        differing += d.differing;
    }
    EXPECT_LT(differing, 5 * 33 * 19 * 3 / 200) << "fixed and runtime kernels differ only where H2 rounds";
    ASSERT_EQ(host->message(1130), 0);
}

TEST_F(SchedulerTest, LastFrameAndZeroTimeRanges) {
    ASSERT_EQ(host->message(1129), 0);
    // The last frame computed directly starts no worker after it.
    int before = threadStarts();
    processChecked(3);
    EXPECT_EQ(threadStarts() - before, 1);
    // Served ahead, the last frame restarts the worker on itself.
    processChecked(2);
    before = threadStarts();
    processChecked(3);
    EXPECT_EQ(threadStarts() - before, 1);
    processChecked(3);
    ASSERT_EQ(host->message(1130), 0);

    tracks = {2, 0, 50, 2, 0, 50};
    host->setTracks(tracks);
    ASSERT_EQ(host->message(1129), 0);
    host->clearCalls();
    before = threadStarts();
    processChecked(0);
    EXPECT_EQ(threadStarts() - before, 2) << "still one frame ahead";
    EXPECT_EQ(host->fetchedFrames(), (std::vector<int32_t>{0, 2, 1}));
    processChecked(1);
    ASSERT_EQ(host->message(1130), 0);
}

TEST_F(SchedulerTest, CacheWindowsUseTheLargerTimeRange) {
    host->setClip(smallClip(20, 16, 16));
    tracks = {2, 2, 50, 1, 5, 50};
    host->setTracks(tracks);
    host->clearCalls();
    processChecked(10);
    std::vector<int32_t> expected = {5};
    for (int f = 5; f <= 15; ++f) expected.push_back(f);
    EXPECT_EQ(host->fetchedFrames(), expected);
}

TEST_F(SchedulerTest, WindowMessagesOnTheirOwn) {
    EXPECT_EQ(host->message(1124), 0) << "no worker, nothing ready";
    EXPECT_EQ(host->message(1130), 0) << "an end without a start";
    EXPECT_EQ(host->message(4242), 0);
    processChecked(1);
    ASSERT_EQ(host->message(1129), 0);
    processChecked(0);  // leaves the worker computing frame 1 with these tracks
    const std::array<int32_t, 6> newTracks = {1, 1, 90, 1, 1, 90};
    host->setTracks(newTracks);
    ASSERT_EQ(host->message(1129), 0) << "a second start waits for the worker and rebuilds";
    host->clearCalls();
    processChecked(1);  // the result computed ahead stays ready
    EXPECT_FALSE(host->fetchedFrames().empty()) << "the cache was emptied";
    tracks = newTracks;
    processChecked(2);  // computed ahead by the new fixed kernels
    ASSERT_EQ(host->message(1130), 0);
    EXPECT_TRUE(boxLines().empty());
}

TEST_F(SchedulerTest, DiscardedOrResizedResultsAreNotServed) {
    ASSERT_EQ(host->message(1129), 0);
    processChecked(0);  // leaves the worker computing frame 1
    EXPECT_EQ(host->message(1124), 0);
    int before = threadStarts();
    processChecked(1);
    EXPECT_EQ(threadStarts() - before, 2) << "frame 1 computed again, then frame 2 ahead";

    ASSERT_EQ(host->message(1130), 0);

    // Frame 1 is computed ahead at the old size; then the host's frames grow.
    // The constants are written again for the new width although the run
    // wrote them once already: the frames must still match the reference.
    host->setClip(smallClip(8, 24, 16));
    ASSERT_EQ(host->message(1129), 0);
    processChecked(0);
    host->setClip(smallClip(8, 40, 24));
    before = threadStarts();
    processChecked(1);
    EXPECT_EQ(host->info().frameWidth, 40);
    EXPECT_EQ(threadStarts() - before, 2) << "the old-size result is not served";
    processChecked(2);
    processChecked(3);
    ASSERT_EQ(host->message(1130), 0);
}

TEST_F(SchedulerTest, BackgroundFailureIsFoundByTheNextCall) {
    // Count the Map calls of frame 0 plus the worker computing frame 1 ahead.
    ASSERT_EQ(host->message(1129), 0);
    int maps = platform_hooks::callCount(FailPoint::Map);
    processChecked(0);
    ASSERT_EQ(host->message(1130), 0);
    maps = platform_hooks::callCount(FailPoint::Map) - maps;

    ASSERT_EQ(host->message(1129), 0);
    platform_hooks::failNth(FailPoint::Map, maps);  // the worker's readback
    processChecked(0);
    platform_hooks::clearRecordedBoxes();
    // The worker's box belongs to the window of the call that started it.
    host->table()->window = reinterpret_cast<void*>(uintptr_t{0x7777});
    EXPECT_EQ(host->process(1), 0);
    host->table()->window = host->window();
    const auto boxes = platform_hooks::recordedBoxes();
    ASSERT_EQ(boxes.size(), 1u) << "the worker's box, shown at the join, and no other";
    EXPECT_EQ(boxes[0].text, "不明なエラー");
    EXPECT_EQ(boxes[0].owner, host->window());
    EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << "released on the host's thread after the join";
    // The next call brings the device back and goes on.
    processChecked(1);
    ASSERT_EQ(host->message(1130), 0);
}

std::vector<FailureRow> SchedulerTest::failureRows() {
    const std::string cacheFailed = "エラー|キャッシュの設定に失敗しました";
    const std::string pixelShaderFailed = "エラー|ピクセルシェーダーの作成に失敗しました";
    const std::string shaderFailed = "エラー|シェーダーの作成に失敗しました";
    return {
        {"staging texture",
         [this] {
             platform_hooks::failNth(FailPoint::CreateTexture2D, 1);
             return host->process(0);
         },
         {"エラー|メインメモリ上のテクスチャの作成に失敗しました", cacheFailed}, 0, [] {}},
        {"work buffer view",
         [this] {
             platform_hooks::failNth(FailPoint::CreateUnorderedAccessView, 1);
             return host->process(0);
         },
         {"エラー|アクセスビューの作成に失敗しました", "エラー|作業用バッファの作成に失敗しました"}, 0, [] {}},
        {"fixed kernels at the start of a run",
         [this] {
             processChecked(0);  // the device back after the rows before
             platform_hooks::clearRecordedBoxes();
             platform_hooks::failNth(FailPoint::CreateComputeShader, 1);
             return host->message(1129);
         },
         {shaderFailed, pixelShaderFailed}, 0, [this] { computesAhead(false, 0); }},
        {"fixed kernels at a second start inside a run",
         [this] {
             EXPECT_EQ(host->message(1129), 0);
             processChecked(0);  // leaves the worker computing frame 1
             platform_hooks::clearRecordedBoxes();
             platform_hooks::failNth(FailPoint::CreateComputeShader, 1);
             return host->message(1129);
         },
         {shaderFailed, pixelShaderFailed}, 0,
         [this] {
             // Still in the run: the next call rebuilds the fixed kernels.
             computesAhead(true, 1);
             EXPECT_EQ(host->message(1130), 0);
         }},
        {"thread for the next frame, after the frame was written",
         [this] {
             EXPECT_EQ(host->message(1129), 0);
             platform_hooks::failNth(FailPoint::ThreadStart, 2);
             return host->process(0);
         },
         {"エラー|スレッドの作成に失敗しました"}, 0,
         [this] {
             EXPECT_LE(compareFrames(host->result(), referenceFrame(host->clip(), 0, tracks)).maxAbs, 1)
                 << "frame 0 stays written";
             EXPECT_EQ(host->message(1130), 0);
         }},
    };
}

TEST_F(SchedulerTest, FailureRowsShowTheCauseThenTheStepAndReleaseEverything) {
    for (const FailureRow& row : failureRows()) {
        SCOPED_TRACE(row.name);
        platform_hooks::clearRecordedBoxes();
        EXPECT_EQ(row.act(), row.result);
        EXPECT_EQ(boxLines(), row.boxes);
        for (const auto& box : platform_hooks::recordedBoxes()) EXPECT_EQ(box.owner, host->window());
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << "everything released";
        row.after();
    }
}

TEST_F(SchedulerTest, ThreadStartFailureAndRecovery) {
    platform_hooks::failNth(FailPoint::ThreadStart, 1);
    EXPECT_EQ(host->process(0), 0);
    EXPECT_EQ(boxLines(), (std::vector<std::string>{"エラー|スレッドの作成に失敗しました"}));
    processChecked(0);

    // Failed again, and the device cannot come back: the call says so.
    platform_hooks::clearRecordedBoxes();
    platform_hooks::failNth(FailPoint::ThreadStart, 1);
    EXPECT_EQ(host->process(1), 0);
    platform_hooks::clearRecordedBoxes();
    platform_hooks::failNth(FailPoint::CreateDevice, 1);
    EXPECT_EQ(host->process(1), 0);
    EXPECT_EQ(boxLines(), (std::vector<std::string>{"エラー|Direct3D10の作成に失敗しました"}));
    processChecked(1);

    // A start message while the device is gone brings it back first.
    platform_hooks::failNth(FailPoint::ThreadStart, 1);
    EXPECT_EQ(host->process(2), 0);
    ASSERT_EQ(host->message(1129), 0);
    processChecked(2);
    processChecked(3);
    ASSERT_EQ(host->message(1130), 0);
}

TEST_F(SchedulerTest, ExitJoinsAWorkerStillComputingAhead) {
    ASSERT_EQ(host->message(1129), 0);
    processChecked(0);
    EXPECT_EQ(host->exit(), 1);
    EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
    ASSERT_EQ(host->init(), 1);
    ASSERT_EQ(host->init(), 1) << "a second onInit releases the first";
}

}  // namespace
