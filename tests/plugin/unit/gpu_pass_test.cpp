// Work buffers and the GPU pass: sizes, reuse, the frame against the CPU
// reference of the kernels, and every failure the pass can meet.
#include <gtest/gtest.h>

#include <cstring>

#include "gpu/device.h"
#include "gpu/shader_build.h"
#include "host/callbacks.h"
#include "pipeline/frame_cache.h"
#include "pipeline/gpu_pass.h"
#include "pipeline/work_buffers.h"
#include "state/denoise_state.h"
#include "state/message_table.h"
#include "tests/plugin/plugin_fixture.h"
#include "tests/support/reference_frame.h"
#include "tests/support/test_host.h"

using platform_hooks::FailPoint;

namespace {

UINT byteWidth(ID3D11Buffer* buffer) {
    D3D11_BUFFER_DESC desc;
    buffer->GetDesc(&desc);
    return desc.ByteWidth;
}

class GpuPassTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_EQ(onInit(table), 1);
    }
    void TearDown() override {
        releaseAll();
        denoiseState.outputRunActive = false;
        denoiseState.fixedParamsDirty = false;
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
        PluginTest::TearDown();
    }

    // Caches frame n's window and sizes the buffers, as the scheduler does.
    void prepare(const SyntheticClip& clip, int n, const std::array<int32_t, 6>& tracks) {
        host.setClip(clip);
        host.setTracks(tracks);
        info = FrameProcInfo{};
        info.rowPixels = clip.width;
        info.heightBound = clip.height;
        info.editHandle = &host;
        releaseCache();
        std::memcpy(&denoiseState.denoiseParams, tracks.data(), sizeof(DenoiseParams));
        const int maxTime = std::max(tracks[1], tracks[4]);
        ASSERT_EQ(uploadWindow(table, &info, n, maxTime), 1);
        denoiseState.procWidth = info.frameWidth;
        denoiseState.procHeight = info.frameHeight;
        ASSERT_TRUE(ensureWorkBuffers(table));
        denoiseState.pendingFrame = n;
        denoiseState.workerBoxCount = 0;
    }

    std::vector<PixelYC> hostResult() const {
        const PixelYC* p = denoiseState.hostResult;
        return std::vector<PixelYC>(p, p + static_cast<size_t>(denoiseState.procWidth) * denoiseState.procHeight);
    }

    std::vector<std::string> workerBoxes() const {
        std::vector<std::string> texts;
        for (int i = 0; i < denoiseState.workerBoxCount; ++i) texts.push_back(denoiseState.workerBoxes[i].text);
        return texts;
    }

    FilterTable* table = GetFilterTable();
    TestHost host{table};
    FrameProcInfo info{};
};

TEST_F(GpuPassTest, SmallOddFramesAtTheClipEndsMatchTheReference) {
    struct Case {
        int width, height, frame;
    };
    const std::array<int32_t, 6> tracks = {16, 7, 40, 16, 7, 60};
    for (const Case& c : {Case{2, 15, 0}, Case{3, 1, 5}, Case{17, 15, 5}, Case{17, 1, 0}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " frame " + std::to_string(c.frame));
        SyntheticClip clip{c.width, c.height, 6};
        prepare(clip, c.frame, tracks);
        ASSERT_EQ(GpuPass(), 1);
        EXPECT_EQ(denoiseState.readyFrame.load(), c.frame);
        EXPECT_EQ(denoiseState.pendingFrame, -1);
        const FrameDifference d = compareFrames(hostResult(), referenceFrame(clip, c.frame, tracks));
        EXPECT_LE(d.maxAbs, 1);
    }
}

TEST_F(GpuPassTest, DefaultTracksMatchTheReference) {
    SyntheticClip clip{96, 64, 4};
    const std::array<int32_t, 6> tracks = {3, 1, 50, 3, 1, 50};
    prepare(clip, 1, tracks);
    ASSERT_EQ(GpuPass(), 1);
    const FrameDifference d = compareFrames(hostResult(), referenceFrame(clip, 1, tracks));
    EXPECT_LE(d.maxAbs, 1);
    EXPECT_LT(d.differing, 96 * 64 * 3 / 100) << "off-by-one truncations must stay rare";
}

TEST_F(GpuPassTest, OnePassBindsDispatchesAndReadsBackInOrder) {
    SyntheticClip clip{40, 20, 3};  // aligned 48 x 32: 3 x 2 groups
    prepare(clip, 1, {1, 1, 50, 1, 1, 50});
    platform_hooks::setCallLog(true);
    ASSERT_EQ(GpuPass(), 1);
    const std::vector<std::string> kernel = {"CSSetShader 0 0", "CSSetShaderResources 0 16", "Dispatch 3 2 1"};
    std::vector<std::string> expected = {"Map 4 0", "Unmap", "Map 4 0", "Unmap",  // constants, discarded
                                         "CSSetUnorderedAccessViews 0 1 0", "CSSetConstantBuffers 0 1"};
    expected.insert(expected.end(), kernel.begin(), kernel.end());
    expected.push_back("CSSetConstantBuffers 0 1");
    expected.insert(expected.end(), kernel.begin(), kernel.end());
    for (const char* call : {"ClearState", "CopyResource", "Map 1 0", "Unmap"}) expected.push_back(call);
    EXPECT_EQ(platform_hooks::loggedCalls(), expected);
}

// The work buffers and constant buffers of a 40 x 20 frame (48 x 32 aligned).
void expectBufferDescriptions(const DenoiseState& s) {
    struct BufferCase {
        const char* name;
        ID3D11Buffer* buffer;
        UINT byteWidth, usage, bind, cpu, misc, stride;
    };
    const UINT outBytes = 48 * 32 * 12;
    for (const BufferCase& c : {
             BufferCase{"outBuffer", s.outBuffer, outBytes, D3D11_USAGE_DEFAULT,
                        D3D11_BIND_UNORDERED_ACCESS | D3D11_BIND_SHADER_RESOURCE, 0,
                        D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12},
             BufferCase{"readbackBuffer", s.readbackBuffer, outBytes, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ,
                        D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12},
             BufferCase{"lumaParams", s.lumaParams, 16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER,
                        D3D11_CPU_ACCESS_WRITE, 0, 0},
             BufferCase{"chromaParams", s.chromaParams, 16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER,
                        D3D11_CPU_ACCESS_WRITE, 0, 0}}) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.buffer, nullptr);
        D3D11_BUFFER_DESC d;
        c.buffer->GetDesc(&d);
        EXPECT_EQ(d.ByteWidth, c.byteWidth);
        EXPECT_EQ(static_cast<UINT>(d.Usage), c.usage);
        EXPECT_EQ(d.BindFlags, c.bind);
        EXPECT_EQ(d.CPUAccessFlags, c.cpu);
        EXPECT_EQ(d.MiscFlags, c.misc);
        EXPECT_EQ(d.StructureByteStride, c.stride);
    }
}

// The staging textures and a cached frame's textures of a 40 x 20 frame
// (planes 72 and 36 texels wide, 52 rows).
void expectTextureDescriptions(const DenoiseState& s) {
    auto viewTexture = [](ID3D11ShaderResourceView* view) {
        ID3D11Resource* resource = nullptr;
        view->GetResource(&resource);
        return static_cast<ID3D11Texture2D*>(resource);
    };
    ID3D11Texture2D* frameLuma = viewTexture(s.frameCache[0].lumaView);
    ID3D11Texture2D* frameChroma = viewTexture(s.frameCache[0].chromaView);
    struct TextureCase {
        const char* name;
        ID3D11Texture2D* texture;
        UINT width;
        DXGI_FORMAT format;
        UINT usage, bind, cpu;
    };
    const UINT staging = D3D11_CPU_ACCESS_WRITE | D3D11_CPU_ACCESS_READ;
    for (const TextureCase& c : {
             TextureCase{"stagingLuma", s.stagingLuma, 72, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_STAGING, 0, staging},
             TextureCase{"stagingChroma", s.stagingChroma, 36, DXGI_FORMAT_R16G16_UNORM, D3D11_USAGE_STAGING, 0,
                         staging},
             TextureCase{"frame luma", frameLuma, 72, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_DEFAULT,
                         D3D11_BIND_SHADER_RESOURCE, 0},
             TextureCase{"frame chroma", frameChroma, 36, DXGI_FORMAT_R16G16_UNORM, D3D11_USAGE_DEFAULT,
                         D3D11_BIND_SHADER_RESOURCE, 0}}) {
        SCOPED_TRACE(c.name);
        D3D11_TEXTURE2D_DESC d;
        c.texture->GetDesc(&d);
        EXPECT_EQ(d.Width, c.width);
        EXPECT_EQ(d.Height, 52u);
        EXPECT_EQ(d.Format, c.format);
        EXPECT_EQ(static_cast<UINT>(d.Usage), c.usage);
        EXPECT_EQ(d.BindFlags, c.bind);
        EXPECT_EQ(d.CPUAccessFlags, c.cpu);
        EXPECT_EQ(d.MipLevels * d.ArraySize * d.SampleDesc.Count, 1u);
    }
    frameLuma->Release();
    frameChroma->Release();
}

TEST_F(GpuPassTest, ResourcesAreMadeForHowTheKernelsAndTheCpuUseThem) {
    SyntheticClip clip{40, 20, 3};
    prepare(clip, 1, {1, 1, 50, 1, 1, 50});
    expectBufferDescriptions(denoiseState);
    expectTextureDescriptions(denoiseState);
}

TEST_F(GpuPassTest, WorkBufferSizesFollowTheFrame) {
    denoiseState.procWidth = 1920;
    denoiseState.procHeight = 1080;
    ASSERT_TRUE(ensureWorkBuffers(table));
    EXPECT_EQ(denoiseState.alignedWidth, 1920);
    EXPECT_EQ(denoiseState.alignedHeight, 1088);
    EXPECT_EQ(byteWidth(denoiseState.outBuffer), 25067520u);
    EXPECT_EQ(byteWidth(denoiseState.readbackBuffer), 25067520u);
    EXPECT_EQ(denoiseState.hostResultPixels * 6, 12441600);

    ID3D11Buffer* out = denoiseState.outBuffer;
    ASSERT_TRUE(ensureWorkBuffers(table));
    EXPECT_EQ(denoiseState.outBuffer, out) << "the same size re-makes nothing";

    denoiseState.procWidth = 1280;
    denoiseState.procHeight = 720;
    ASSERT_TRUE(ensureWorkBuffers(table));
    EXPECT_EQ(byteWidth(denoiseState.outBuffer), 1280u * 720 * 12);
    EXPECT_EQ(denoiseState.hostResultPixels, 1280 * 720);

    // A larger exact size inside the same multiples of 16 still fits hostResult.
    denoiseState.procWidth = 1275;
    denoiseState.procHeight = 710;
    ASSERT_TRUE(ensureWorkBuffers(table));
    denoiseState.procWidth = 1280;
    denoiseState.procHeight = 720;
    ASSERT_TRUE(ensureWorkBuffers(table));
    EXPECT_GE(denoiseState.hostResultPixels, 1280 * 720);

    for (auto size : {std::pair<int, int>{1, 1}, {1000, 500}}) {
        denoiseState.procWidth = size.first;
        denoiseState.procHeight = size.second;
        ASSERT_TRUE(ensureWorkBuffers(table));
        EXPECT_EQ(denoiseState.alignedWidth, (size.first + 15) / 16 * 16);
        EXPECT_EQ(denoiseState.alignedHeight, (size.second + 15) / 16 * 16);
    }
    EXPECT_EQ(denoiseState.alignedWidth / 16, 63);
    EXPECT_EQ(denoiseState.alignedHeight / 16, 32);
}

TEST_F(GpuPassTest, WorkBufferFailuresReleaseEverything) {
    struct Case {
        FailPoint point;
        int occurrence;
        int width, height;
        const char* box;
    };
    for (const Case& c : {Case{FailPoint::CreateBuffer, 1, 64, 32, "VRAM上のバッファ作成に失敗しました"},
                          Case{FailPoint::CreateUnorderedAccessView, 1, 64, 32, "アクセスビューの作成に失敗しました"},
                          Case{FailPoint::CreateBuffer, 2, 64, 32, "ホストバッファの作成に失敗しました"},
                          Case{FailPoint::Count, 0, 30000, 30000, "メモリの確保に失敗しました"}}) {
        SCOPED_TRACE(c.box);
        releaseAll();
        ASSERT_EQ(onInit(table), 1);
        platform_hooks::clearRecordedBoxes();
        if (c.point != FailPoint::Count) platform_hooks::failNth(c.point, c.occurrence);
        denoiseState.procWidth = c.width;
        denoiseState.procHeight = c.height;
        EXPECT_FALSE(ensureWorkBuffers(table));
        ASSERT_EQ(platform_hooks::recordedBoxes().size(), 1u);
        EXPECT_EQ(platform_hooks::recordedBoxes()[0].text, c.box);
        EXPECT_EQ(denoiseState.device, nullptr) << "everything is released";
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
    }
}

TEST_F(GpuPassTest, ViewArraysUseTheClampedWindowAndRepeatTheCentre) {
    // A pass over a clip of four distinct frames with T = 2 at frame 0 must
    // equal the reference, which binds 0, 0, 0, 1, 2 and repeats frame 0.
    SyntheticClip clip{20, 12, 4};
    for (int frame : {0, 3}) {
        const std::array<int32_t, 6> tracks = {2, 2, 50, 2, 1, 50};
        prepare(clip, frame, tracks);
        ASSERT_EQ(GpuPass(), 1);
        EXPECT_LE(compareFrames(hostResult(), referenceFrame(clip, frame, tracks)).maxAbs, 1) << frame;
    }
}

TEST_F(GpuPassTest, MissingFrameFailsBeforeAnyKernelRuns) {
    SyntheticClip clip{16, 16, 10};
    prepare(clip, 5, {1, 1, 50, 1, 1, 50});
    evictOutside(table, &info, 5, 0);  // drops frames 4 and 6
    denoiseState.readyFrame.store(2);
    EXPECT_EQ(GpuPass(), 0);
    EXPECT_EQ(workerBoxes(), (std::vector<std::string>{textFrameMissing}));
    EXPECT_EQ(denoiseState.readyFrame.load(), 2);
    EXPECT_EQ(denoiseState.pendingFrame, 5);
    EXPECT_NE(denoiseState.device, nullptr) << "no release on this path";
}

TEST_F(GpuPassTest, MissingKernelOrFailedMapLeavesTheReleaseToTheHost) {
    SyntheticClip clip{16, 16, 3};
    struct Case {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"fixed kernels absent in an output run", [] { denoiseState.outputRunActive = true; }},
        {"constant buffer map", [] { platform_hooks::failNth(FailPoint::Map, 1); }},
        {"readback map", [] { platform_hooks::failNth(FailPoint::Map, 3); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        releaseAll();
        denoiseState.outputRunActive = false;
        ASSERT_EQ(onInit(table), 1);
        prepare(clip, 1, {1, 1, 50, 1, 1, 50});
        c.arrange();
        EXPECT_EQ(GpuPass(), 0);
        EXPECT_EQ(workerBoxes(), (std::vector<std::string>{textUnknownError}));
        EXPECT_NE(denoiseState.device, nullptr) << "the worker never tears the device down";
        EXPECT_TRUE(denoiseState.workerReleaseWanted) << "the host's thread releases after the join";
        denoiseState.workerReleaseWanted = false;
        denoiseState.outputRunActive = false;
    }
}

TEST_F(GpuPassTest, OutputRunWritesConstantsOnlyOnce) {
    SyntheticClip clip{16, 16, 3};
    prepare(clip, 1, {1, 1, 50, 1, 1, 50});
    ASSERT_EQ(buildFixedShaders(table, denoiseState.denoiseParams), 1);
    denoiseState.outputRunActive = true;
    denoiseState.fixedParamsDirty = true;
    int maps = platform_hooks::callCount(FailPoint::Map);
    ASSERT_EQ(GpuPass(), 1);
    EXPECT_EQ(platform_hooks::callCount(FailPoint::Map) - maps, 3) << "two constant buffers and the readback";
    EXPECT_FALSE(denoiseState.fixedParamsDirty);
    denoiseState.pendingFrame = 1;
    maps = platform_hooks::callCount(FailPoint::Map);
    ASSERT_EQ(GpuPass(), 1);
    EXPECT_EQ(platform_hooks::callCount(FailPoint::Map) - maps, 1) << "only the readback";
}

}  // namespace
