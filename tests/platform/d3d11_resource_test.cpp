// Buffers, textures and views: the descriptions the plug-in uses, Map pitches,
// copies through staging resources, reference holding and failure injection.
#include <functional>

#include "tests/platform/d3d11_test.h"

namespace {

using platform_hooks::FailPoint;

using D3D11ResourceTest = D3D11Test;

TEST_F(D3D11ResourceTest, StagingTextureRowsHoldAWholeRowOfTexels) {
    struct Case {
        UINT width, height;
        DXGI_FORMAT format;
        UINT texelSize;
    };
    // Plane sizes of a few frame sizes (W + 32 luma, (W + 32) / 2 chroma).
    const Case cases[] = {
        {1952, 1112, DXGI_FORMAT_R16_UNORM, 2},   {976, 1112, DXGI_FORMAT_R16G16_UNORM, 4},
        {33, 33, DXGI_FORMAT_R16_UNORM, 2},       {16, 33, DXGI_FORMAT_R16G16_UNORM, 4},
        {1, 1, DXGI_FORMAT_R16_UNORM, 2},         {4128, 2192, DXGI_FORMAT_R16_UNORM, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " format " << c.format);
        D3D11_TEXTURE2D_DESC desc = textureDesc(c.width, c.height, c.format, D3D11_USAGE_STAGING);
        ID3D11Texture2D* texture = nullptr;
        ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
        for (D3D11_MAP type : {D3D11_MAP_WRITE, D3D11_MAP_READ, D3D11_MAP_READ_WRITE}) {
            D3D11_MAPPED_SUBRESOURCE mapped{};
            ASSERT_EQ(context->Map(texture, 0, type, 0, &mapped), S_OK);
            ASSERT_NE(mapped.pData, nullptr);
            EXPECT_GE(mapped.RowPitch, c.width * c.texelSize);
            EXPECT_EQ(mapped.RowPitch % c.texelSize, 0u) << "the plug-in indexes rows in texels";
            EXPECT_EQ(mapped.DepthPitch, mapped.RowPitch * c.height);
            // The last byte of the last row must be writable.
            static_cast<uint8_t*>(mapped.pData)[size_t(mapped.RowPitch) * (c.height - 1) + c.width * c.texelSize - 1] =
                0x5a;
            context->Unmap(texture, 0);
        }
        releaseCom(texture);
    }
}

// Staging rows -> default texture -> staging rows: the buffer-to-image copy
// honours the row pitch, and the view covers the texture.
TEST_F(D3D11ResourceTest, UploadCopyReachesTheDefaultTexture) {
    for (DXGI_FORMAT format : {DXGI_FORMAT_R16_UNORM, DXGI_FORMAT_R16G16_UNORM}) {
        SCOPED_TRACE(format);
        const UINT width = 67, height = 21;
        const UINT channels = format == DXGI_FORMAT_R16_UNORM ? 1 : 2;
        D3D11_TEXTURE2D_DESC stagingDesc = textureDesc(width, height, format, D3D11_USAGE_STAGING);
        D3D11_TEXTURE2D_DESC defaultDesc = textureDesc(width, height, format, D3D11_USAGE_DEFAULT);
        ID3D11Texture2D *upload = nullptr, *gpu = nullptr, *readback = nullptr;
        ASSERT_EQ(device->CreateTexture2D(&stagingDesc, nullptr, &upload), S_OK);
        ASSERT_EQ(device->CreateTexture2D(&defaultDesc, nullptr, &gpu), S_OK);
        ASSERT_EQ(device->CreateTexture2D(&stagingDesc, nullptr, &readback), S_OK);
        auto value = [&](UINT x, UINT y, UINT c) { return uint16_t(x * 977 + y * 131 + c * 50000); };
        writeStaging(upload, [&](uint8_t* data, UINT pitch) {
            for (UINT y = 0; y < height; ++y) {
                auto* row = reinterpret_cast<uint16_t*>(data + size_t(y) * pitch);
                for (UINT x = 0; x < width; ++x)
                    for (UINT c = 0; c < channels; ++c) row[x * channels + c] = value(x, y, c);
            }
        });
        context->CopyResource(gpu, upload);
        ID3D11ShaderResourceView* view = nullptr;
        ASSERT_EQ(device->CreateShaderResourceView(gpu, nullptr, &view), S_OK);
        context->CopyResource(readback, gpu);

        D3D11_MAPPED_SUBRESOURCE mapped{};
        ASSERT_EQ(context->Map(readback, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
        int wrong = 0;
        for (UINT y = 0; y < height; ++y) {
            auto* row = reinterpret_cast<const uint16_t*>(static_cast<uint8_t*>(mapped.pData) + size_t(y) * mapped.RowPitch);
            for (UINT x = 0; x < width; ++x)
                for (UINT c = 0; c < channels; ++c) wrong += row[x * channels + c] != value(x, y, c);
        }
        context->Unmap(readback, 0);
        EXPECT_EQ(wrong, 0);

        ID3D11Resource* viewed = nullptr;
        view->GetResource(&viewed);
        EXPECT_EQ(viewed, static_cast<ID3D11Resource*>(gpu));
        releaseCom(viewed);
        releaseCom(view);
        releaseCom(upload);
        releaseCom(gpu);
        releaseCom(readback);
    }
}

TEST_F(D3D11ResourceTest, StructuredBufferCopiesToTheReadbackBuffer) {
    const UINT elements = 1920 * 1088 / 64;
    D3D11_BUFFER_DESC uploadDesc = readbackDesc(elements);
    uploadDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    D3D11_BUFFER_DESC outDesc = outBufferDesc(elements);
    D3D11_BUFFER_DESC backDesc = readbackDesc(elements);
    ID3D11Buffer *upload = nullptr, *out = nullptr, *back = nullptr;
    ASSERT_EQ(device->CreateBuffer(&uploadDesc, nullptr, &upload), S_OK);
    ASSERT_EQ(device->CreateBuffer(&outDesc, nullptr, &out), S_OK);
    ASSERT_EQ(device->CreateBuffer(&backDesc, nullptr, &back), S_OK);
    D3D11_UNORDERED_ACCESS_VIEW_DESC viewDesc = uavDesc(0, elements);
    ID3D11UnorderedAccessView* uav = nullptr;
    ASSERT_EQ(device->CreateUnorderedAccessView(out, &viewDesc, &uav), S_OK);

    D3D11_BUFFER_DESC got{};
    out->GetDesc(&got);
    EXPECT_EQ(got.StructureByteStride, 12u);
    EXPECT_EQ(got.ByteWidth, elements * 12);

    writeStaging(upload, [&](uint8_t* data, UINT pitch) {
        EXPECT_EQ(pitch, elements * 12);
        auto* f = reinterpret_cast<float*>(data);
        for (UINT i = 0; i < elements * 3; ++i) f[i] = float(i) * 0.5f;
    });
    context->CopyResource(out, upload);
    context->CopyResource(back, out);
    std::vector<float> values = readStaging<float>(back, elements * 3);
    int wrong = 0;
    for (UINT i = 0; i < elements * 3; ++i) wrong += values[i] != float(i) * 0.5f;
    EXPECT_EQ(wrong, 0);

    releaseCom(uav);
    releaseCom(upload);
    releaseCom(out);
    releaseCom(back);
}

TEST_F(D3D11ResourceTest, ViewsKeepTheirResourcesAlive) {
    D3D11_TEXTURE2D_DESC desc = textureDesc(40, 40, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_DEFAULT);
    ID3D11Texture2D* texture = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
    ID3D11ShaderResourceView* view = nullptr;
    ASSERT_EQ(device->CreateShaderResourceView(texture, nullptr, &view), S_OK);
    const long withBoth = platform_hooks::liveObjects();
    releaseCom(texture);
    EXPECT_EQ(platform_hooks::liveObjects(), withBoth) << "the view holds the texture";
    releaseCom(view);
    EXPECT_EQ(platform_hooks::liveObjects(), withBoth - 2);

    D3D11_BUFFER_DESC outDesc = outBufferDesc(64);
    ID3D11Buffer* buffer = nullptr;
    ASSERT_EQ(device->CreateBuffer(&outDesc, nullptr, &buffer), S_OK);
    ID3D11UnorderedAccessView* uav = nullptr;
    D3D11_UNORDERED_ACCESS_VIEW_DESC viewDesc = uavDesc(0, 64);
    ASSERT_EQ(device->CreateUnorderedAccessView(buffer, &viewDesc, &uav), S_OK);
    const long withUav = platform_hooks::liveObjects();
    releaseCom(buffer);
    EXPECT_EQ(platform_hooks::liveObjects(), withUav);
    releaseCom(uav);
    EXPECT_EQ(platform_hooks::liveObjects(), withUav - 2);
}

TEST_F(D3D11ResourceTest, MapFollowsUsageAndAccess) {
    D3D11_BUFFER_DESC cbDesc = constantBufferDesc();
    D3D11_BUFFER_DESC outDesc = outBufferDesc(16);
    D3D11_BUFFER_DESC backDesc = readbackDesc(16);
    D3D11_TEXTURE2D_DESC gpuDesc = textureDesc(8, 8, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_DEFAULT);
    ID3D11Buffer *cb = nullptr, *out = nullptr, *back = nullptr;
    ID3D11Texture2D* gpu = nullptr;
    ASSERT_EQ(device->CreateBuffer(&cbDesc, nullptr, &cb), S_OK);
    ASSERT_EQ(device->CreateBuffer(&outDesc, nullptr, &out), S_OK);
    ASSERT_EQ(device->CreateBuffer(&backDesc, nullptr, &back), S_OK);
    ASSERT_EQ(device->CreateTexture2D(&gpuDesc, nullptr, &gpu), S_OK);
    struct Case {
        const char* name;
        ID3D11Resource* resource;
        D3D11_MAP type;
        bool succeeds;
    };
    const Case cases[] = {
        {"constant buffer, discard", cb, D3D11_MAP_WRITE_DISCARD, true},
        {"constant buffer, read", cb, D3D11_MAP_READ, false},
        {"default buffer", out, D3D11_MAP_READ, false},
        {"default texture", gpu, D3D11_MAP_WRITE, false},
        {"readback buffer, read", back, D3D11_MAP_READ, true},
        {"readback buffer, write", back, D3D11_MAP_WRITE, false},
        {"readback buffer, discard", back, D3D11_MAP_WRITE_DISCARD, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        D3D11_MAPPED_SUBRESOURCE mapped{reinterpret_cast<void*>(1), 7, 7};
        HRESULT hr = context->Map(c.resource, 0, c.type, 0, &mapped);
        EXPECT_EQ(SUCCEEDED(hr), c.succeeds);
        EXPECT_EQ(mapped.pData != nullptr, c.succeeds);
        if (SUCCEEDED(hr)) context->Unmap(c.resource, 0);
    }

    platform_hooks::failNth(FailPoint::Map, 1);
    D3D11_MAPPED_SUBRESOURCE mapped{reinterpret_cast<void*>(1), 7, 7};
    EXPECT_TRUE(FAILED(context->Map(cb, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)));
    EXPECT_EQ(mapped.pData, nullptr);

    releaseCom(cb);
    releaseCom(out);
    releaseCom(back);
    releaseCom(gpu);
}

void expectTexturesRefused(ID3D11Device* device) {
    struct TextureCase {
        const char* name;
        D3D11_TEXTURE2D_DESC desc;
    };
    D3D11_TEXTURE2D_DESC good = textureDesc(64, 64, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_DEFAULT);
    std::vector<TextureCase> textures;
    textures.push_back({"float format", good});
    textures.back().desc.Format = DXGI_FORMAT_R32G32B32_FLOAT;
    textures.push_back({"mip chain", good});
    textures.back().desc.MipLevels = 2;
    textures.push_back({"zero width", good});
    textures.back().desc.Width = 0;
    textures.push_back({"too tall", good});
    textures.back().desc.Height = 16385;
    textures.push_back({"multisampled", good});
    textures.back().desc.SampleDesc.Count = 4;
    textures.push_back({"staging with bind flags", textureDesc(8, 8, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_STAGING)});
    textures.back().desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    for (const TextureCase& c : textures) {
        SCOPED_TRACE(c.name);
        ID3D11Texture2D* texture = reinterpret_cast<ID3D11Texture2D*>(1);
        EXPECT_TRUE(FAILED(device->CreateTexture2D(&c.desc, nullptr, &texture)));
        EXPECT_EQ(texture, nullptr);
    }
}

void expectBuffersRefused(ID3D11Device* device) {
    struct BufferCase {
        const char* name;
        D3D11_BUFFER_DESC desc;
    };
    const BufferCase buffers[] = {
        {"empty", {0, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS, 0, D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12}},
        {"constant buffer of 8 bytes", {8, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0}},
        {"dynamic without CPU write", {16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0}},
        {"width not a multiple of the stride",
         {100, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS, 0, D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12}},
        {"stride 0", {96, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS, 0, D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 0}},
        {"staging without CPU access", {96, D3D11_USAGE_STAGING, 0, 0, 0, 0}},
    };
    for (const BufferCase& c : buffers) {
        SCOPED_TRACE(c.name);
        ID3D11Buffer* buffer = reinterpret_cast<ID3D11Buffer*>(1);
        EXPECT_TRUE(FAILED(device->CreateBuffer(&c.desc, nullptr, &buffer)));
        EXPECT_EQ(buffer, nullptr);
    }
}

// Views of the output buffer beyond it or of no elements, of a staging
// buffer, or typed; and no shader resource view of a buffer at all.
void expectViewsRefused(ID3D11Device* device) {
    D3D11_BUFFER_DESC outDesc = outBufferDesc(100);
    D3D11_BUFFER_DESC backDesc = readbackDesc(100);
    ID3D11Buffer *out = nullptr, *back = nullptr;
    ASSERT_EQ(device->CreateBuffer(&outDesc, nullptr, &out), S_OK);
    ASSERT_EQ(device->CreateBuffer(&backDesc, nullptr, &back), S_OK);
    struct ViewCase {
        const char* name;
        ID3D11Resource* resource;
        D3D11_UNORDERED_ACCESS_VIEW_DESC desc;
    };
    std::vector<ViewCase> views = {
        {"past the end", out, uavDesc(0, 101)},
        {"no elements", out, uavDesc(0, 0)},
        {"staging buffer", back, uavDesc(0, 100)},
        {"typed format", out, uavDesc(0, 100)},
    };
    views.back().desc.Format = DXGI_FORMAT_R32G32B32_FLOAT;
    for (const ViewCase& c : views) {
        SCOPED_TRACE(c.name);
        ID3D11UnorderedAccessView* view = reinterpret_cast<ID3D11UnorderedAccessView*>(1);
        EXPECT_TRUE(FAILED(device->CreateUnorderedAccessView(c.resource, &c.desc, &view)));
        EXPECT_EQ(view, nullptr);
    }
    ID3D11ShaderResourceView* srv = reinterpret_cast<ID3D11ShaderResourceView*>(1);
    EXPECT_TRUE(FAILED(device->CreateShaderResourceView(back, nullptr, &srv))) << "buffer views are not offered";
    EXPECT_EQ(srv, nullptr);
    releaseCom(out);
    releaseCom(back);
}

TEST_F(D3D11ResourceTest, UnsupportedDescriptionsAreRefused) {
    expectTexturesRefused(device);
    expectBuffersRefused(device);
    expectViewsRefused(device);
}

// Every creation call can be made to fail once: a negative result, a null
// output, nothing left behind, and the next call succeeds again.
TEST_F(D3D11ResourceTest, InjectedCreationFailuresLeaveNothingBehind) {
    D3D11_TEXTURE2D_DESC texDesc = textureDesc(48, 48, DXGI_FORMAT_R16G16_UNORM, D3D11_USAGE_DEFAULT);
    D3D11_BUFFER_DESC outDesc = outBufferDesc(256);
    ID3D11Texture2D* texture = nullptr;
    ID3D11Buffer* buffer = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&texDesc, nullptr, &texture), S_OK);
    ASSERT_EQ(device->CreateBuffer(&outDesc, nullptr, &buffer), S_OK);

    struct Case {
        FailPoint point;
        std::function<HRESULT(IUnknown**)> create;
    };
    D3D11_BUFFER_DESC cbDesc = constantBufferDesc();
    D3D11_TEXTURE2D_DESC stagingDesc = textureDesc(48, 48, DXGI_FORMAT_R16_UNORM, D3D11_USAGE_STAGING);
    D3D11_UNORDERED_ACCESS_VIEW_DESC viewDesc = uavDesc(0, 256);
    const Case cases[] = {
        {FailPoint::CreateBuffer,
         [&](IUnknown** out) { return device->CreateBuffer(&cbDesc, nullptr, reinterpret_cast<ID3D11Buffer**>(out)); }},
        {FailPoint::CreateTexture2D,
         [&](IUnknown** out) {
             return device->CreateTexture2D(&stagingDesc, nullptr, reinterpret_cast<ID3D11Texture2D**>(out));
         }},
        {FailPoint::CreateShaderResourceView,
         [&](IUnknown** out) {
             return device->CreateShaderResourceView(texture, nullptr, reinterpret_cast<ID3D11ShaderResourceView**>(out));
         }},
        {FailPoint::CreateUnorderedAccessView,
         [&](IUnknown** out) {
             return device->CreateUnorderedAccessView(buffer, &viewDesc,
                                                      reinterpret_cast<ID3D11UnorderedAccessView**>(out));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform_hooks::failPointName(c.point));
        const long before = platform_hooks::liveObjects();
        const int calls = platform_hooks::callCount(c.point);
        platform_hooks::failNth(c.point, 1);
        IUnknown* object = reinterpret_cast<IUnknown*>(1);
        EXPECT_TRUE(FAILED(c.create(&object)));
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(platform_hooks::liveObjects(), before);
        ASSERT_EQ(c.create(&object), S_OK);
        EXPECT_EQ(platform_hooks::liveObjects(), before + 1);
        releaseCom(object);
        EXPECT_EQ(platform_hooks::liveObjects(), before);
        EXPECT_EQ(platform_hooks::callCount(c.point), calls + 2);
    }
    releaseCom(texture);
    releaseCom(buffer);
}

}  // namespace
