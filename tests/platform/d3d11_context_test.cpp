// The immediate context running HLSL kernels compiled by the D3DX11 stand-in:
// bindings, out-of-range and unbound loads, constants per dispatch, ordering
// of dispatches on one view, and Map waiting for the work it depends on.
#include <cmath>

#include "tests/platform/d3d11_test.h"

namespace {

// Reads the texture array the way the denoise kernels do: a loop over
// elements bounded by the constant buffer, plus fixed elements 0 and 15
// (element 0 by constant index next to dynamic indexing once read zeros on
// lavapipe).
const char kSampleKernel[] = R"(
Texture2D<float> textureArray[16] : register(t0);
cbuffer PARAM : register(b0) {
    int shiftX : packoffset(c0.x);
    int count : packoffset(c0.y);
    int width : packoffset(c0.z);
    float scale : packoffset(c0.w);
};
RWStructuredBuffer<float3> outBuff;

[numthreads(16, 16, 1)]
void CS(uint3 id : SV_DispatchThreadID) {
    int x = int(id.x);
    int y = int(id.y);
    float sum = 0;
    [unroll(15)]
    for (int t = 0; t < count; ++t) sum += textureArray[t].Load(int3(x, y, 0));
    outBuff[y * width + x] = float3(textureArray[0].Load(int3(x + shiftX, y, 0)) * scale, sum,
                                    textureArray[15].Load(int3(x, y, 0)));
}
)";

// Writes only the first component, from its previous value: the result
// depends on the order of consecutive dispatches on the same view.
const char kAccumulateKernel[] = R"(
cbuffer PARAM : register(b0) {
    int unused1 : packoffset(c0.x);
    int unused2 : packoffset(c0.y);
    int width : packoffset(c0.z);
    float add : packoffset(c0.w);
};
RWStructuredBuffer<float3> outBuff;

[numthreads(16, 16, 1)]
void CS(uint3 id : SV_DispatchThreadID) {
    int i = int(id.y) * width + int(id.x);
    outBuff[i].x = outBuff[i].x * 2.0 + add;
}
)";

constexpr UINT kWidth = 32;
constexpr UINT kHeight = 16;
constexpr UINT kElements = kWidth * kHeight;

struct Params {
    int32_t a;
    int32_t b;
    int32_t width;
    float value;
};

uint16_t texelA(UINT x, UINT y) { return uint16_t(1000 + x * 300 + y * 17); }
uint16_t texelB(UINT x, UINT y) { return uint16_t(60000 - x * 11 - y * 1000); }
float unorm(uint16_t v) { return float(v) / 65535.0f; }

class D3D11ContextTest : public D3D11Test {
protected:
    void SetUp() override {
        D3D11Test::SetUp();
        if (HasFatalFailure()) return;
        D3D11_BUFFER_DESC cbDesc = constantBufferDesc();
        ASSERT_EQ(device->CreateBuffer(&cbDesc, nullptr, &params), S_OK);
    }
    void TearDown() override {
        releaseCom(params);
        D3D11Test::TearDown();
    }

    ID3D11ComputeShader* compile(const char* source) {
        ID3D10Blob* code = nullptr;
        ID3D10Blob* messages = nullptr;
        HRESULT hr = D3DX11CompileFromMemory(source, std::strlen(source), nullptr, nullptr, nullptr, "CS", "cs_5_0",
                                             D3D10_SHADER_OPTIMIZATION_LEVEL3 | D3D10_SHADER_ENABLE_STRICTNESS, 0,
                                             nullptr, &code, &messages, nullptr);
        EXPECT_EQ(hr, S_OK) << (messages ? static_cast<const char*>(messages->GetBufferPointer()) : "");
        releaseCom(messages);
        ID3D11ComputeShader* shader = nullptr;
        if (code) {
            EXPECT_EQ(device->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &shader),
                      S_OK);
        }
        releaseCom(code);
        return shader;
    }

    void setParams(Params p) {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        ASSERT_EQ(context->Map(params, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
        std::memcpy(mapped.pData, &p, sizeof p);
        context->Unmap(params, 0);
    }

    // A default R16 texture holding texel(x, y), uploaded through staging.
    ID3D11ShaderResourceView* makePlane(uint16_t (*texel)(UINT, UINT)) {
        D3D11_TEXTURE2D_DESC stagingDesc = textureDesc(kWidth, kHeight, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_STAGING);
        D3D11_TEXTURE2D_DESC gpuDesc = textureDesc(kWidth, kHeight, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_DEFAULT);
        ID3D11Texture2D *staging = nullptr, *gpu = nullptr;
        EXPECT_EQ(device->CreateTexture2D(&stagingDesc, nullptr, &staging), S_OK);
        EXPECT_EQ(device->CreateTexture2D(&gpuDesc, nullptr, &gpu), S_OK);
        writeStaging(staging, [&](uint8_t* data, UINT pitch) {
            for (UINT y = 0; y < kHeight; ++y)
                for (UINT x = 0; x < kWidth; ++x) reinterpret_cast<uint16_t*>(data + y * pitch)[x] = texel(x, y);
        });
        context->CopyResource(gpu, staging);
        ID3D11ShaderResourceView* view = nullptr;
        EXPECT_EQ(device->CreateShaderResourceView(gpu, nullptr, &view), S_OK);
        releaseCom(staging);
        releaseCom(gpu);
        return view;
    }

    // An output buffer with its view and a readback buffer.
    struct Output {
        ID3D11Buffer* buffer = nullptr;
        ID3D11UnorderedAccessView* view = nullptr;
        ID3D11Buffer* readback = nullptr;
    };
    Output makeOutput() {
        Output out;
        D3D11_BUFFER_DESC outDesc = outBufferDesc(kElements);
        D3D11_BUFFER_DESC backDesc = readbackDesc(kElements);
        D3D11_UNORDERED_ACCESS_VIEW_DESC viewDesc = uavDesc(0, kElements);
        EXPECT_EQ(device->CreateBuffer(&outDesc, nullptr, &out.buffer), S_OK);
        EXPECT_EQ(device->CreateUnorderedAccessView(out.buffer, &viewDesc, &out.view), S_OK);
        EXPECT_EQ(device->CreateBuffer(&backDesc, nullptr, &out.readback), S_OK);
        return out;
    }
    void release(Output& out) {
        releaseCom(out.view);
        releaseCom(out.buffer);
        releaseCom(out.readback);
    }
    // Copies the output to its readback buffer and maps it at once: the Map
    // alone must wait for every dispatch and the copy.
    std::vector<float> read(Output& out) {
        context->CopyResource(out.readback, out.buffer);
        return readStaging<float>(out.readback, kElements * 3);
    }
    void fill(Output& out, float x, float y, float z) {
        D3D11_BUFFER_DESC uploadDesc = readbackDesc(kElements);
        uploadDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        ID3D11Buffer* upload = nullptr;
        ASSERT_EQ(device->CreateBuffer(&uploadDesc, nullptr, &upload), S_OK);
        writeStaging(upload, [&](uint8_t* data, UINT) {
            auto* f = reinterpret_cast<float*>(data);
            for (UINT i = 0; i < kElements; ++i) {
                f[3 * i] = x;
                f[3 * i + 1] = y;
                f[3 * i + 2] = z;
            }
        });
        context->CopyResource(out.buffer, upload);
        releaseCom(upload);
    }
    void bindOutput(Output& out) {
        const UINT zero = 0;
        context->CSSetUnorderedAccessViews(0, 1, &out.view, &zero);
        context->CSSetConstantBuffers(0, 1, &params);
    }

    ID3D11Buffer* params = nullptr;
};

// Also with a size query, which the Direct3D stand-in cannot turn into
// storage-image reads: that kernel keeps its sampled textures.
TEST_F(D3D11ContextTest, KernelReadsBoundPlanesAndZeroOutsideOrUnbound) {
    std::string sizeQuery = kSampleKernel;
    sizeQuery.replace(sizeQuery.find("float sum = 0;"), 14,
                      "uint w, h; textureArray[1].GetDimensions(w, h); float sum = w == kWidth ? 0.0f : 1.0f;");
    sizeQuery.insert(0, "static const uint kWidth = " + std::to_string(kWidth) + ";\n");
    for (const char* source : {kSampleKernel, sizeQuery.c_str()}) {
        SCOPED_TRACE(source == kSampleKernel ? "loads only" : "with a size query");
        ID3D11ComputeShader* shader = compile(source);
        ASSERT_NE(shader, nullptr);
        ID3D11ShaderResourceView* planeA = makePlane(texelA);
        ID3D11ShaderResourceView* planeB = makePlane(texelB);
        Output out = makeOutput();

        // Slots 0 and 1 hold the planes, 2 to 14 stay unbound, 15 repeats B.
        ID3D11ShaderResourceView* views[16] = {planeA, planeB};
        views[15] = planeB;
        const int shift = 5, count = 4;
        const float scale = 3.0f;
        setParams({shift, count, int(kWidth), scale});
        bindOutput(out);
        context->CSSetShader(shader, nullptr, 0);
        context->CSSetShaderResources(0, 16, views);
        context->Dispatch(kWidth / 16, kHeight / 16, 1);
        context->ClearState();
        std::vector<float> result = read(out);

        int wrong = 0;
        for (UINT y = 0; y < kHeight; ++y) {
            for (UINT x = 0; x < kWidth; ++x) {
                const float* e = &result[3 * (y * kWidth + x)];
                float shifted = x + shift < kWidth ? unorm(texelA(x + shift, y)) * scale : 0.0f;
                float sum = unorm(texelA(x, y)) + unorm(texelB(x, y));
                bool ok = std::fabs(e[0] - shifted) < 1e-5f && std::fabs(e[1] - sum) < 1e-5f &&
                          std::fabs(e[2] - unorm(texelB(x, y))) < 1e-6f;
                if (!ok && ++wrong <= 5)
                    ADD_FAILURE() << "(" << x << ", " << y << "): " << e[0] << " " << e[1] << " " << e[2]
                                  << ", expected " << shifted << " " << sum << " " << unorm(texelB(x, y));
            }
        }
        EXPECT_EQ(wrong, 0);

        release(out);
        releaseCom(planeA);
        releaseCom(planeB);
        releaseCom(shader);
    }
}

// Each dispatch sees the constants of its own time, although the buffer is
// rewritten with WRITE_DISCARD before the GPU has run anything.
TEST_F(D3D11ContextTest, ConstantsAreThoseInForceAtEachDispatch) {
    // The count bounds a loop: with [loop] the stand-in builds the shader per
    // count on a CPU device, with [unroll(15)] once.
    std::string looped = kSampleKernel;
    looped.replace(looped.find("[unroll(15)]"), 12, "[loop]");
    for (const char* source : {kSampleKernel, looped.c_str()}) {
        SCOPED_TRACE(source == kSampleKernel ? "unroll" : "loop");
        ID3D11ComputeShader* shader = compile(source);
        ASSERT_NE(shader, nullptr);
        ID3D11ShaderResourceView* plane = makePlane(texelA);
        Output first = makeOutput();
        Output second = makeOutput();
        context->CSSetShader(shader, nullptr, 0);
        context->CSSetShaderResources(0, 1, &plane);

        setParams({0, 1, int(kWidth), 2.0f});
        bindOutput(first);
        context->Dispatch(kWidth / 16, kHeight / 16, 1);
        setParams({0, 0, int(kWidth), -7.0f});
        bindOutput(second);
        context->Dispatch(kWidth / 16, kHeight / 16, 1);
        context->ClearState();

        std::vector<float> a = read(first);
        std::vector<float> b = read(second);
        int wrong = 0;
        for (UINT i = 0; i < kElements; ++i) {
            float v = unorm(texelA(i % kWidth, i / kWidth));
            wrong += std::fabs(a[3 * i] - 2.0f * v) > 1e-5f || std::fabs(a[3 * i + 1] - v) > 1e-5f;
            wrong += std::fabs(b[3 * i] + 7.0f * v) > 1e-5f || b[3 * i + 1] != 0.0f;
        }
        EXPECT_EQ(wrong, 0);

        release(first);
        release(second);
        releaseCom(plane);
        releaseCom(shader);
    }
}

// Dispatches on one view run in order, each seeing the writes before it,
// across as many command batches as it takes; writing one component of a
// float3 leaves the other two alone.
TEST_F(D3D11ContextTest, DispatchesOnOneViewAreOrdered) {
    ID3D11ComputeShader* shader = compile(kAccumulateKernel);
    ASSERT_NE(shader, nullptr);
    Output out = makeOutput();
    fill(out, 1.0f, 7.0f, 9.0f);
    bindOutput(out);
    context->CSSetShader(shader, nullptr, 0);
    float expected = 1.0f;
    for (int i = 0; i < 70; ++i) {
        float add = float(i % 3);
        setParams({0, 0, int(kWidth), add});
        context->Dispatch(kWidth / 16, kHeight / 16, 1);
        expected = expected * 2.0f + add;
    }
    std::vector<float> result = read(out);
    int wrong = 0;
    for (UINT i = 0; i < kElements; ++i)
        wrong += result[3 * i] != expected || result[3 * i + 1] != 7.0f || result[3 * i + 2] != 9.0f;
    EXPECT_EQ(wrong, 0) << "element 0: " << result[0] << " " << result[1] << " " << result[2] << ", expected "
                        << expected << " 7 9";
    context->ClearState();
    release(out);
    releaseCom(shader);
}

// Mapping the staging texture for the next frame waits until the copy of
// the previous frame out of it has run, so each texture gets its own frame.
TEST_F(D3D11ContextTest, MappingStagingWaitsForThePendingCopy) {
    D3D11_TEXTURE2D_DESC stagingDesc = textureDesc(kWidth, kHeight, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_STAGING);
    D3D11_TEXTURE2D_DESC gpuDesc = textureDesc(kWidth, kHeight, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_DEFAULT);
    ID3D11Texture2D *staging = nullptr, *check = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&stagingDesc, nullptr, &staging), S_OK);
    ASSERT_EQ(device->CreateTexture2D(&stagingDesc, nullptr, &check), S_OK);
    std::vector<ID3D11Texture2D*> frames(6);
    for (size_t f = 0; f < frames.size(); ++f) {
        ASSERT_EQ(device->CreateTexture2D(&gpuDesc, nullptr, &frames[f]), S_OK);
        writeStaging(staging, [&](uint8_t* data, UINT pitch) {
            for (UINT y = 0; y < kHeight; ++y)
                for (UINT x = 0; x < kWidth; ++x)
                    reinterpret_cast<uint16_t*>(data + y * pitch)[x] = uint16_t(f * 1000 + y * kWidth + x);
        });
        context->CopyResource(frames[f], staging);
    }
    for (size_t f = 0; f < frames.size(); ++f) {
        context->CopyResource(check, frames[f]);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        ASSERT_EQ(context->Map(check, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
        int wrong = 0;
        for (UINT y = 0; y < kHeight; ++y)
            for (UINT x = 0; x < kWidth; ++x)
                wrong += reinterpret_cast<const uint16_t*>(static_cast<uint8_t*>(mapped.pData) + y * mapped.RowPitch)[x] !=
                         uint16_t(f * 1000 + y * kWidth + x);
        context->Unmap(check, 0);
        EXPECT_EQ(wrong, 0) << "frame " << f;
        releaseCom(frames[f]);
    }
    releaseCom(staging);
    releaseCom(check);
}

// Work that cannot be recorded is never passed off as done: the device
// counts as removed, and the next Map that waits says so.
TEST_F(D3D11ContextTest, ADispatchThatCannotRunRemovesTheDevice) {
    ID3D11ComputeShader* shader = compile(kSampleKernel);
    ASSERT_NE(shader, nullptr);
    Output out = makeOutput();
    setParams({0, 1, int(kWidth), 1.0f});
    bindOutput(out);
    context->CSSetShader(shader, nullptr, 0);
    context->Dispatch(0xFFFFFFFFu, 1, 1);  // more groups than any device allows
    context->CopyResource(out.readback, out.buffer);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    EXPECT_EQ(context->Map(out.readback, 0, D3D11_MAP_READ, 0, &mapped), static_cast<HRESULT>(0x887A0005))
        << "DXGI_ERROR_DEVICE_REMOVED";
    EXPECT_EQ(mapped.pData, nullptr);
    context->ClearState();
    releaseCom(shader);
    release(out);
}

// The context holds what is bound; ClearState lets go, and objects released
// while their work is still queued live until that work is done.
TEST_F(D3D11ContextTest, BindingsHoldObjectsUntilClearState) {
    ID3D11ComputeShader* shader = compile(kSampleKernel);
    ASSERT_NE(shader, nullptr);
    ID3D11ShaderResourceView* plane = makePlane(texelA);
    Output out = makeOutput();
    const long before = platform_hooks::liveObjects();

    setParams({0, 1, int(kWidth), 1.0f});
    bindOutput(out);
    context->CSSetShader(shader, nullptr, 0);
    context->CSSetShaderResources(0, 1, &plane);
    context->Dispatch(kWidth / 16, kHeight / 16, 1);
    context->CopyResource(out.readback, out.buffer);
    releaseCom(plane);
    releaseCom(shader);
    EXPECT_EQ(platform_hooks::liveObjects(), before) << "bound objects are held";
    context->ClearState();
    EXPECT_EQ(platform_hooks::liveObjects(), before - 3) << "view, its texture and the shader are gone";

    std::vector<float> result = readStaging<float>(out.readback, kElements * 3);
    int wrong = 0;
    for (UINT i = 0; i < kElements; ++i) wrong += std::fabs(result[3 * i] - unorm(texelA(i % kWidth, i / kWidth))) > 1e-6f;
    EXPECT_EQ(wrong, 0);

    // A dispatch without a shader does nothing.
    fill(out, 4.0f, 5.0f, 6.0f);
    context->Dispatch(1, 1, 1);
    result = read(out);
    EXPECT_EQ(result[0], 4.0f);
    release(out);
}

}  // namespace
