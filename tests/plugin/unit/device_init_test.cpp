// Device bring-up, teardown and the registry cache of compiled kernels.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "gpu/device.h"
#include "gpu/strength.h"
#include "gpu/shader_build.h"
#include "host/callbacks.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"
#include "tests/plugin/plugin_fixture.h"
#include "tests/support/test_host.h"

using platform_hooks::FailPoint;

namespace {

const char shaderFailed[] = "エラー|シェーダーの作成に失敗しました";
const char initShaderFailed[] = "エラー|シェーダーの作成に失敗";

std::vector<BYTE> readValue(const char* name) {
    HKEY key = nullptr;
    std::vector<BYTE> data(0x20000);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return {};
    DWORD size = static_cast<DWORD>(data.size());
    LONG result = RegQueryValueExA(key, name, nullptr, nullptr, data.data(), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return {};
    data.resize(size);
    return data;
}

void writeValue(const char* name, DWORD type, const std::vector<BYTE>& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

std::vector<BYTE> versionBytes(uint32_t level, uint32_t deviceId) {
    uint64_t key = shaderCacheKey(level, deviceId);
    std::vector<BYTE> bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<BYTE>(key >> (8 * i));
    return bytes;
}

class DeviceInitTest : public PluginTest {
protected:
    void TearDown() override {
        releaseAll();
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << "objects left alive";
        PluginTest::TearDown();
    }

    int compiles() const { return platform_hooks::callCount(FailPoint::Compile); }

    FilterTable* table = GetFilterTable();
    TestHost host{table};
};

TEST_F(DeviceInitTest, CacheThroughItsWholeLife) {
    platform_hooks::forceDeviceId(0x1234);
    ASSERT_EQ(onInit(table), 1) << ::testing::PrintToString(boxLines());
    EXPECT_TRUE(deviceGroupReady());
    EXPECT_EQ(compiles(), 2) << "first initialisation compiles both kernels";
    EXPECT_FALSE(readValue("ComputeShadeLight").empty());
    EXPECT_FALSE(readValue("ComputeShadeCollar").empty());
    const std::vector<BYTE> version = readValue("Version");
    EXPECT_EQ(version, (std::vector<BYTE>{0x00, 0xB0, 0x13, 0x01, 0x34, 0x12, 0x00, 0x00}));
    EXPECT_EQ(onExit(table), 1);
    EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);

    ASSERT_EQ(onInit(table), 1);
    EXPECT_EQ(compiles(), 2) << "the same adapter and level must hit the cache";
    releaseAll();

    platform_hooks::forceDeviceId(0x9999);
    ASSERT_EQ(onInit(table), 1);
    EXPECT_EQ(compiles(), 4) << "another device id misses";
    EXPECT_EQ(readValue("Version"), versionBytes(0xB000, 0x9999));
    releaseAll();

    platform_hooks::forceFeatureLevel(0xA100);
    ASSERT_EQ(onInit(table), 1);
    EXPECT_EQ(denoiseState.featureLevel, 0xA100u);
    EXPECT_EQ(compiles(), 6) << "another feature level misses";
    EXPECT_EQ(readValue("Version"), versionBytes(0xA100, 0x9999));
    EXPECT_TRUE(boxLines().empty());
}

TEST_F(DeviceInitTest, RegistryQueriesStopAtTheFirstMissAndWritesKeepTheirOrderAndTypes) {
    const std::string light = "RegQueryValueExA ComputeShadeLight", collar = "RegQueryValueExA ComputeShadeCollar";
    const std::vector<std::string> writes = {"RegSetValueExA ComputeShadeLight type 3",
                                             "RegSetValueExA ComputeShadeCollar type 3", "RegSetValueExA Version type 11"};
    auto then = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> calls;
    };
    // In this order, each on what the one before left.
    const std::vector<Case> cases = {
        {"empty key", [] {}, then({light}, writes)},
        {"filled key", [] {}, {light, collar, "RegQueryValueExA Version"}},
        {"chroma blob over the limit",
         [] { writeValue("ComputeShadeCollar", REG_BINARY, std::vector<BYTE>(70000, 0x03)); },
         then({light, collar}, writes)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        platform_hooks::resetHooks();
        platform_hooks::setCallLog(true);
        ASSERT_EQ(onInit(table), 1);
        EXPECT_EQ(loggedCalls("Reg"), c.calls);
        releaseAll();
    }
}

TEST_F(DeviceInitTest, CompilerCallsFollowTheFeatureLevelAndTheTracks) {
    struct Case {
        uint32_t level;
        const char* profile;
    };
    for (const Case& c : {Case{0xB000, "cs_5_0"}, Case{0xA100, "cs_4_1"}, Case{0xA000, "cs_4_0"}}) {
        SCOPED_TRACE(c.profile);
        std::filesystem::remove_all(registry.cacheKeyDirectory());
        platform_hooks::resetHooks();
        platform_hooks::forceFeatureLevel(c.level);
        platform_hooks::setCallLog(true);
        ASSERT_EQ(onInit(table), 1);
        const std::string call =
            std::string("D3DX11CompileFromMemory whole text no file no include CS ") + c.profile + " 0x8800 0 no pump macros";
        EXPECT_EQ(loggedCalls("D3DX11"), (std::vector<std::string>{call, call})) << "runtime kernels: no macros";

        platform_hooks::resetHooks();
        platform_hooks::setCallLog(true);
        ASSERT_EQ(buildFixedShaders(table, DenoiseParams{3, 1, 50, 16, 7, 0}), 1);
        EXPECT_NE(denoiseState.lumaShaderFixed, nullptr);
        EXPECT_NE(denoiseState.chromaShaderFixed, nullptr);
        EXPECT_EQ(loggedCalls("D3DX11"),
                  (std::vector<std::string>{
                      call + " SPACE_SEARCH_RADIUS=3 TIME_SEARCH_RADIUS=1 DISPERSION_RADIUS=50 H2=65.793320",
                      call + " SPACE_SEARCH_RADIUS=16 TIME_SEARCH_RADIUS=7 DISPERSION_RADIUS=0 H2=4328.761230"}));
        releaseAll();
    }
}

TEST_F(DeviceInitTest, DamagedOrOversizedCacheIsRecompiled) {
    ASSERT_EQ(onInit(table), 1);
    releaseAll();

    // Bytes that are not a kernel, or none at all: refused, the key
    // dropped, and the next initialisation compiles afresh.
    for (size_t size : {size_t{333}, size_t{0}}) {
        SCOPED_TRACE(size);
        platform_hooks::clearRecordedBoxes();
        writeValue("ComputeShadeLight", REG_BINARY, std::vector<BYTE>(size, 0xA5));
        EXPECT_EQ(onInit(table), 0);
        EXPECT_EQ(boxLines(), (std::vector<std::string>{shaderFailed, initShaderFailed}));
        EXPECT_FALSE(std::filesystem::exists(registry.cacheKeyDirectory())) << "key must be deleted";
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
        const int before = compiles();
        ASSERT_EQ(onInit(table), 1);
        EXPECT_EQ(compiles(), before + 2);
        releaseAll();
    }

    // A value over the 65,536-byte limit cannot be read back: compiled every time.
    platform_hooks::clearRecordedBoxes();
    for (int round = 0; round < 2; ++round) {
        writeValue("ComputeShadeCollar", REG_BINARY, std::vector<BYTE>(70000, 0x03));
        const int start = compiles();
        ASSERT_EQ(onInit(table), 1);
        EXPECT_EQ(compiles(), start + 2);
        releaseAll();
    }
    EXPECT_TRUE(boxLines().empty());
}

TEST_F(DeviceInitTest, EveryFailingStepShowsItsBoxesAndHoldsNothing) {
    struct Case {
        FailPoint point;
        int occurrence;
        std::vector<std::string> boxes;
        std::vector<uint32_t> styles;
    };
    const std::vector<Case> cases = {
        {FailPoint::CreateDevice, 1, {"エラー|Direct3D10の作成に失敗しました"}, {0x20}},
        {FailPoint::QueryDxgiDevice, 1, {"エラー|IDXGIDevice1の取得に失敗しました"}, {0x10}},
        {FailPoint::GetAdapter, 1, {"エラー|IDXGIAdapterの取得に失敗しました"}, {0x10}},
        {FailPoint::CreateComputeShader, 1, {shaderFailed, initShaderFailed}, {0x20, 0x20}},
        {FailPoint::CreateComputeShader, 2, {shaderFailed, initShaderFailed}, {0x20, 0x20}},
        {FailPoint::CreateBuffer, 1, {"エラー|パラメータバッファの生成に失敗"}, {0x20}},
        {FailPoint::CreateBuffer, 2, {"エラー|パラメータバッファの生成に失敗"}, {0x20}},
        // The cache key refused: the kernels are compiled, nothing is stored,
        // and the filter starts without a box.
        {FailPoint::RegistryOpen, 1, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(platform_hooks::failPointName(c.point)) + " #" + std::to_string(c.occurrence));
        std::filesystem::remove_all(registry.cacheKeyDirectory());
        platform_hooks::resetHooks();
        platform_hooks::failNth(c.point, c.occurrence);
        const bool starts = c.boxes.empty();
        EXPECT_EQ(onInit(table), starts ? 1 : 0);
        EXPECT_EQ(boxLines(), c.boxes);
        if (starts) {
            EXPECT_EQ(compiles(), 2);
            EXPECT_TRUE(deviceGroupReady());
            EXPECT_FALSE(std::filesystem::exists(registry.cacheKeyDirectory() + "/ComputeShadeLight.value"));
            releaseAll();
        }
        std::vector<uint32_t> styles;
        for (const auto& box : platform_hooks::recordedBoxes()) {
            styles.push_back(box.style);
            EXPECT_EQ(box.owner, host.window());
        }
        EXPECT_EQ(styles, c.styles);
        EXPECT_FALSE(denoiseState.device || denoiseState.context || denoiseState.lumaShaderRuntime ||
                     denoiseState.lumaParams || denoiseState.chromaParams);
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
        EXPECT_EQ(onExit(table), 1) << "onExit after a failed onInit";
    }
}

TEST_F(DeviceInitTest, CompileFailureShowsCompilerTextAndStopsAtLuma) {
    std::filesystem::remove_all(registry.cacheKeyDirectory());
    platform_hooks::failNth(FailPoint::Compile, 1);
    EXPECT_EQ(onInit(table), 0);
    EXPECT_EQ(compiles(), 1) << "the chroma kernel is not compiled after a luma failure";
    const auto boxes = platform_hooks::recordedBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "CSエラー");
    EXPECT_FALSE(boxes[0].text.empty());
    EXPECT_EQ(boxes[1].caption + "|" + boxes[1].text, initShaderFailed);
    EXPECT_FALSE(std::filesystem::exists(registry.cacheKeyDirectory() + "/ComputeShadeLight.value"));
}

TEST_F(DeviceInitTest, UnsupportedFeatureLevelHasItsOwnCaptionPerOperation) {
    platform_hooks::forceFeatureLevel(0x9300);
    EXPECT_EQ(onInit(table), 0);
    EXPECT_EQ(boxLines(), (std::vector<std::string>{"PSエラー|対応していないDirextXのバージョンです。", initShaderFailed}));

    platform_hooks::resetHooks();
    ASSERT_EQ(onInit(table), 1);
    denoiseState.featureLevel = static_cast<D3D_FEATURE_LEVEL>(0x9300);
    EXPECT_EQ(buildFixedShaders(table, DenoiseParams{3, 1, 50, 3, 1, 50}), 0);
    EXPECT_EQ(boxLines(), (std::vector<std::string>{"CSエラー|対応していないDirextXのバージョンです。"}));
}

// Sets a locale whose decimal mark is a comma, generating one with localedef
// into dir where none is installed; false where neither works.
bool setDecimalCommaLocale(const std::string& dir) {
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8", "de_DE"})
        if (std::setlocale(LC_ALL, name)) return true;
    const std::string command = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    setenv("LOCPATH", dir.c_str(), 1);
    return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}

TEST_F(DeviceInitTest, FixedKernelsCompileUnderADecimalCommaLocale) {
    const bool set = setDecimalCommaLocale(registry.root());
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    const std::string shown = probe;
    FixedMacroTexts texts;
    formatFixedMacros(3, 1, 50, &texts);
    bool built = false;
    if (set && shown == "0,5") {
        built = onInit(table) == 1 && buildFixedShaders(table, DenoiseParams{3, 1, 50, 3, 1, 50}) == 1;
    }
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    if (!set || shown != "0,5") GTEST_SKIP() << "no locale with a decimal comma can be set here";
    EXPECT_STREQ(texts.h2, "65.793320");
    EXPECT_TRUE(built);
    EXPECT_TRUE(boxLines().empty()) << ::testing::PrintToString(boxLines());
}

TEST_F(DeviceInitTest, FailingGetDescGivesDeviceIdZero) {
    platform_hooks::failNth(FailPoint::GetDesc, 1);
    ASSERT_EQ(onInit(table), 1);
    EXPECT_EQ(readValue("Version"), versionBytes(0xB000, 0));
}

TEST(FixedMacroTest, TextsFollowTheTrackValues) {
    struct Case {
        int32_t space, time, dispersion;
        const char* h2;
    };
    for (const Case& c : {Case{3, 1, 50, "65.793320"}, Case{0, 0, 0, "4328.761230"}, Case{16, 7, 100, "1.000000"}}) {
        FixedMacroTexts texts;
        formatFixedMacros(c.space, c.time, c.dispersion, &texts);
        EXPECT_EQ(std::string(texts.space), std::to_string(c.space));
        EXPECT_EQ(std::string(texts.time), std::to_string(c.time));
        EXPECT_EQ(std::string(texts.dispersion), std::to_string(c.dispersion));
        EXPECT_STREQ(texts.h2, c.h2);
    }
    // Every dispersion of the track, as the C run time's "%f" prints it in
    // the C locale (the test process's own).
    for (int dispersion = 0; dispersion <= 100; ++dispersion) {
        FixedMacroTexts texts;
        formatFixedMacros(0, 0, dispersion, &texts);
        char expected[64];
        std::snprintf(expected, sizeof expected, "%f", static_cast<double>(dispersionStrength(dispersion)));
        EXPECT_STREQ(texts.h2, expected) << "dispersion " << dispersion;
    }
}

TEST(ReleaseAllTest, EmptyStateTwiceIsHarmless) {
    EXPECT_EQ(releaseAll(), 1);
    EXPECT_EQ(releaseAll(), 1);
    for (const FrameCacheSlot& slot : denoiseState.frameCache) EXPECT_EQ(slot.frame, -1);
    EXPECT_TRUE(denoiseState.cacheSizeUnset);
    EXPECT_EQ(denoiseState.device, nullptr);
}

}  // namespace
