// Bytes stored in the registry cache reaching CreateComputeShader: the input
// becomes the "ComputeShadeLight" and/or "ComputeShadeCollar" value beside a
// matching "Version", so that buildRuntimeShaders hits and hands the bytes to
// the device. Every input must either give both runtime kernels with no box,
// or fail with exactly the boxes of a refused cache entry, the key deleted and
// nothing leaked.
//
// Input: byte 0 chooses the layout; the rest is the payload.
//   bits 0-1: 0 payload as luma, 1 payload as chroma, 2 and 3 payload split
//             into luma and chroma at the offset in bytes 1-2 (little-endian)
//   bit 7:    go through onInit and releaseAll (a device made afresh) instead
//             of rebuilding the runtime kernels on the kept device
// The other value holds the kernel as this machine compiles it.
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "gpu/device.h"
#include "gpu/shader_build.h"
#include "host/callbacks.h"
#include "platform/test_hooks.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"

namespace {

using platform_hooks::FailPoint;

const char lumaName[] = "ComputeShadeLight";
const char chromaName[] = "ComputeShadeCollar";
const char versionName[] = "Version";

struct Setup {
    FilterTable* filter = nullptr;
    std::string keyDirectory;
    std::vector<BYTE> luma, chroma, version;
    uint32_t deviceId = 0;
};

std::vector<BYTE> readValue(const char* name) {
    HKEY key = nullptr;
    FUZZ_CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_READ, nullptr, &key,
                               nullptr) == ERROR_SUCCESS,
               "cannot open the cache key");
    std::vector<BYTE> data(shaderCacheBlobLimit);
    DWORD size = shaderCacheBlobLimit;
    const LONG result = RegQueryValueExA(key, name, nullptr, nullptr, data.data(), &size);
    RegCloseKey(key);
    FUZZ_CHECK(result == ERROR_SUCCESS, "value %s missing after the first initialisation", name);
    data.resize(size);
    return data;
}

void writeValues(const std::vector<BYTE>& luma, const std::vector<BYTE>& chroma, const std::vector<BYTE>& version) {
    HKEY key = nullptr;
    FUZZ_CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                               nullptr) == ERROR_SUCCESS,
               "cannot open the cache key for writing");
    RegSetValueExA(key, lumaName, 0, REG_BINARY, luma.data(), static_cast<DWORD>(luma.size()));
    RegSetValueExA(key, chromaName, 0, REG_BINARY, chroma.data(), static_cast<DWORD>(chroma.size()));
    RegSetValueExA(key, versionName, 0, REG_QWORD, version.data(), static_cast<DWORD>(version.size()));
    RegCloseKey(key);
}

bool keyExists(const Setup& setup) {
    struct stat st {};
    return stat(setup.keyDirectory.c_str(), &st) == 0;
}

std::string boxesText() {
    std::string text;
    for (const auto& box : platform_hooks::recordedBoxes()) text += "[" + box.caption + "|" + box.text + "] ";
    return text;
}

void resetHooks() {
    platform_hooks::resetHooks();
    platform_hooks::setBoxEcho(false);
}

// Brings the device group up on a good cache entry.
void bringUp(Setup& setup) {
    writeValues(setup.luma, setup.chroma, setup.version);
    FUZZ_CHECK(onInit(setup.filter) == 1, "initialisation on a good cache entry failed: %s", boxesText().c_str());
    FUZZ_CHECK(platform_hooks::callCount(FailPoint::Compile) == 0, "a good cache entry must hit");
}

Setup& setup() {
    static Setup* instance = [] {
        auto* s = new Setup;
        const std::string root = fuzz_support::processTempDirectory() + "/registry";
        setenv("QUENDA_REGISTRY_ROOT", root.c_str(), 1);
        s->keyDirectory = root + "/HKEY_LOCAL_MACHINE/SOFTWARE/Aviutl/Plugins/quenda for DX11";
        resetHooks();
        s->filter = GetFilterTable();
        // A first initialisation compiles and stores the kernels this machine makes.
        FUZZ_CHECK(onInit(s->filter) == 1, "first initialisation failed: %s", boxesText().c_str());
        s->luma = readValue(lumaName);
        s->chroma = readValue(chromaName);
        s->version = readValue(versionName);
        FUZZ_CHECK(s->version.size() == 8, "Version is %zu bytes", s->version.size());
        for (int i = 0; i < 4; ++i) s->deviceId |= static_cast<uint32_t>(s->version[4 + i]) << (8 * i);
        std::atexit([] { releaseAll(); });
        return s;
    }();
    return *instance;
}

void releaseRuntimeShaders() {
    DenoiseState& s = denoiseState;
    if (s.lumaShaderRuntime) {
        s.lumaShaderRuntime->Release();
        s.lumaShaderRuntime = nullptr;
    }
    if (s.chromaShaderRuntime) {
        s.chromaShaderRuntime->Release();
        s.chromaShaderRuntime = nullptr;
    }
}

// The refused-entry boxes: buildRuntimeShaders' own, then onInit's.
void expectRefusal(const Setup& setup, bool throughInit) {
    const auto boxes = platform_hooks::recordedBoxes();
    const size_t expected = throughInit ? 2 : 1;
    FUZZ_CHECK(boxes.size() == expected, "refusal boxes: %s", boxesText().c_str());
    FUZZ_CHECK(boxes[0].caption == "エラー" && boxes[0].text == "シェーダーの作成に失敗しました" &&
                   boxes[0].style == MB_ICONQUESTION && boxes[0].owner == setup.filter->window,
               "refusal box: %s", boxesText().c_str());
    if (throughInit)
        FUZZ_CHECK(boxes[1].caption == "エラー" && boxes[1].text == "シェーダーの作成に失敗" &&
                       boxes[1].style == MB_ICONQUESTION,
                   "initialisation box: %s", boxesText().c_str());
    FUZZ_CHECK(!keyExists(setup), "a refused cache entry must delete the key");
}

// The two cached kernels the input stands for: the mode's low bits say
// whether it replaces the luma entry, the chroma entry, or both, split where
// its first two bytes say.
void entriesFromInput(uint8_t mode, const std::vector<BYTE>& payload, std::vector<BYTE>* luma,
                      std::vector<BYTE>* chroma) {
    switch (mode & 3) {
        case 0: *luma = payload; break;
        case 1: *chroma = payload; break;
        default: {
            const size_t at = payload.size() < 2 ? 0 : (payload[0] | payload[1] << 8) % (payload.size() - 1);
            const size_t from = payload.size() < 2 ? payload.size() : 2;
            luma->assign(payload.begin() + from, payload.begin() + from + at);
            chroma->assign(payload.begin() + from + at, payload.end());
        }
    }
}

// The entries read by a whole onInit: it succeeds with the device group up,
// or refuses with its boxes and nothing left alive.
void throughInit(Setup& s, const std::vector<BYTE>& luma, const std::vector<BYTE>& chroma) {
    releaseAll();
    const long liveBefore = platform_hooks::liveObjects();
    writeValues(luma, chroma, s.version);
    resetHooks();
    const int32_t result = onInit(s.filter);
    FUZZ_CHECK(platform_hooks::callCount(FailPoint::Compile) == 0, "a matching Version must hit");
    if (result == 1) {
        FUZZ_CHECK(platform_hooks::recordedBoxes().empty(), "boxes on success: %s", boxesText().c_str());
        FUZZ_CHECK(deviceGroupReady(), "onInit returned 1 without the device group");
    } else {
        FUZZ_CHECK(result == 0, "onInit returned %d", static_cast<int>(result));
        expectRefusal(s, true);
        FUZZ_CHECK(platform_hooks::liveObjects() == liveBefore, "a failed onInit left %ld objects alive",
                   platform_hooks::liveObjects() - liveBefore);
    }
    releaseAll();
    FUZZ_CHECK(platform_hooks::liveObjects() == liveBefore, "releaseAll left %ld objects alive",
               platform_hooks::liveObjects() - liveBefore);
    resetHooks();
    bringUp(s);
}

// The entries read by buildRuntimeShaders alone, on a device that is up.
void throughRuntimeBuild(Setup& s, const std::vector<BYTE>& luma, const std::vector<BYTE>& chroma) {
    if (!deviceGroupReady()) {
        resetHooks();
        bringUp(s);
    }
    releaseRuntimeShaders();
    const long liveBefore = platform_hooks::liveObjects();
    writeValues(luma, chroma, s.version);
    resetHooks();
    const int result = buildRuntimeShaders(s.filter, s.deviceId);
    FUZZ_CHECK(platform_hooks::callCount(FailPoint::Compile) == 0, "a matching Version must hit");
    if (result == 1) {
        FUZZ_CHECK(platform_hooks::recordedBoxes().empty(), "boxes on success: %s", boxesText().c_str());
        FUZZ_CHECK(denoiseState.lumaShaderRuntime && denoiseState.chromaShaderRuntime, "kernels missing");
    } else {
        FUZZ_CHECK(result == 0, "buildRuntimeShaders returned %d", result);
        FUZZ_CHECK(!denoiseState.chromaShaderRuntime, "chroma kernel set after a refusal");
        expectRefusal(s, false);
    }
    releaseRuntimeShaders();
    FUZZ_CHECK(platform_hooks::liveObjects() == liveBefore, "%ld objects leaked",
               platform_hooks::liveObjects() - liveBefore);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 2 * shaderCacheBlobLimit) return 0;
    Setup& s = setup();
    const uint8_t mode = data[0];
    const std::vector<BYTE> payload(data + 1, data + size);
    std::vector<BYTE> luma = s.luma, chroma = s.chroma;
    entriesFromInput(mode, payload, &luma, &chroma);
    // Larger values cannot be read back: a miss, which is not this target's concern.
    if (luma.size() > shaderCacheBlobLimit || chroma.size() > shaderCacheBlobLimit) return 0;
    if (mode & 0x80)
        throughInit(s, luma, chroma);
    else
        throughRuntimeBuild(s, luma, chroma);
    return 0;
}
