// Every call the stand-ins can make fail, failed at each of its occurrences
// in a short output run: no crash, no hang, the boxes, nothing left alive,
// and a fresh initialisation denoises correctly again.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include "platform/test_hooks.h"
#include "tests/plugin/module/plugin_module.h"
#include "tests/plugin/plugin_fixture.h"
#include "tests/support/reference_frame.h"
#include "tests/support/test_host.h"

using platform_hooks::FailPoint;

namespace {

constexpr int frameCount = 4;

// Every caption and text the plug-in may show (the compiler's own texts come
// with "CSエラー").
const std::set<std::string> knownBoxes = {
    "エラー|Direct3D10の作成に失敗しました", "エラー|IDXGIDevice1の取得に失敗しました",
    "エラー|IDXGIAdapterの取得に失敗しました", "エラー|シェーダーの作成に失敗しました",
    "エラー|シェーダーの作成に失敗", "エラー|パラメータバッファの生成に失敗",
    "エラー|ピクセルシェーダーの作成に失敗しました", "エラー|キャッシュの設定に失敗しました",
    "エラー|作業用バッファの作成に失敗しました", "エラー|スレッドの作成に失敗しました",
    "エラー|メインメモリ上のテクスチャの作成に失敗しました", "エラー|ビデオメモリ上のテクスチャの作成に失敗しました",
    "エラー|メインメモリテクスチャのロックに失敗しました", "エラー|リソースの作成に失敗しました",
    "エラー|フレームテクスチャの取得に失敗しました", "エラー|メモリの確保に失敗しました",
    "エラー|VRAM上のバッファ作成に失敗しました", "エラー|アクセスビューの作成に失敗しました",
    "エラー|ホストバッファの作成に失敗しました", "エラー|不明なエラー",
};

struct RunOutcome {
    bool initOk = false;
    int failedCalls = 0;  // processing calls that returned 0
};

// init, 1129, every frame, 1130, exit: the editor's output run.
RunOutcome outputRun(TestHost& host) {
    RunOutcome outcome;
    outcome.initOk = host.init() == 1;
    host.message(1129);
    for (int n = 0; n < frameCount; ++n)
        if (host.process(n) != 1) ++outcome.failedCalls;
    host.message(1130);
    EXPECT_EQ(host.exit(), 1);
    return outcome;
}

class FaultSweepTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        host = std::make_unique<TestHost>(&sharedPluginModule().table());
        SyntheticClip clip;
        clip.width = 20;
        clip.height = 12;
        clip.count = frameCount;
        host->setClip(clip);
        for (int n = 0; n < frameCount; ++n) expected.push_back(referenceFrame(clip, n, {3, 1, 50, 3, 1, 50}));
    }

    // A fresh registry, so that every run compiles and stores the kernels.
    void freshRegistry() {
        std::filesystem::remove_all(registry.root());
        std::filesystem::create_directories(registry.root());
    }

    void expectDenoisesCorrectly(const std::string& label) {
        platform_hooks::resetHooks();
        ASSERT_EQ(host->init(), 1) << label;
        ASSERT_EQ(host->message(1129), 0);
        for (int n = 0; n < frameCount; ++n) {
            ASSERT_EQ(host->process(n), 1) << label << " frame " << n;
            EXPECT_LE(compareFrames(host->result(), expected[n]).maxAbs, 1) << label << " frame " << n;
        }
        host->message(1130);
        EXPECT_EQ(host->exit(), 1);
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << label;
    }

    std::unique_ptr<TestHost> host;
    std::vector<std::vector<PixelYC>> expected;
};

TEST_F(FaultSweepTest, EveryFailureAtEveryOccurrence) {
    const FailPoint points[] = {
        FailPoint::CreateDevice, FailPoint::QueryDxgiDevice, FailPoint::GetAdapter,
        FailPoint::GetDesc, FailPoint::CreateBuffer, FailPoint::CreateTexture2D,
        FailPoint::CreateShaderResourceView, FailPoint::CreateUnorderedAccessView, FailPoint::CreateComputeShader,
        FailPoint::Map, FailPoint::Compile, FailPoint::ThreadStart, FailPoint::RegistryOpen,
    };
    // A clean run counts how often each call occurs.
    freshRegistry();
    platform_hooks::resetHooks();
    const RunOutcome clean = outputRun(*host);
    ASSERT_TRUE(clean.initOk);
    ASSERT_EQ(clean.failedCalls, 0);
    std::vector<int> occurrences;
    for (FailPoint p : points) occurrences.push_back(platform_hooks::callCount(p));
    host->clearCalls();
    freshRegistry();
    outputRun(*host);
    const int fetches = static_cast<int>(host->fetchedFrames().size());

    int injected = 0;
    auto check = [&](const std::string& label, bool silentFailureAllowed) {
        const RunOutcome outcome = outputRun(*host);
        const std::vector<std::string> boxes = boxLines();
        for (const std::string& box : boxes) {
            const bool compilerText = box.rfind("CSエラー|", 0) == 0;
            EXPECT_TRUE(compilerText || knownBoxes.count(box)) << label << ": unexpected box " << box;
        }
        if ((!outcome.initOk || outcome.failedCalls > 0) && !silentFailureAllowed) {
            EXPECT_FALSE(boxes.empty()) << label << ": a failure without a box";
        }
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << label << ": objects left alive after onExit";
        ++injected;
        expectDenoisesCorrectly(label);
    };

    for (size_t i = 0; i < std::size(points); ++i) {
        for (int k = 1; k <= occurrences[i]; ++k) {
            const std::string label = std::string(platform_hooks::failPointName(points[i])) + " #" + std::to_string(k);
            SCOPED_TRACE(label);
            freshRegistry();
            platform_hooks::resetHooks();
            platform_hooks::failNth(points[i], k);
            check(label, points[i] == FailPoint::GetDesc);
        }
    }
    // The host's frame fetch returning null: only the cache box follows.
    for (int k = 1; k <= fetches; ++k) {
        const std::string label = "getFrameImage null #" + std::to_string(k);
        SCOPED_TRACE(label);
        freshRegistry();
        platform_hooks::resetHooks();
        host->clearCalls();
        host->nullFetches = {k};
        check(label, false);
        host->nullFetches.clear();
    }
    std::printf("fault sweep: %d faults injected\n", injected);
    EXPECT_GT(injected, 50);
}

}  // namespace
