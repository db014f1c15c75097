// Shared fixture of the Direct3D 11 stand-in tests: a device on the default
// Vulkan device, the plug-in's resource descriptions, and a live-object check.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/test_hooks.h"
#include "platform/win32_api.h"

template <class T>
void releaseCom(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

const D3D_FEATURE_LEVEL kPluginLevels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};

inline HRESULT createPluginDevice(ID3D11Device** device, D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context) {
    return D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_SINGLETHREADED,
                             kPluginLevels, 3, D3D11_SDK_VERSION, device, level, context);
}

inline D3D11_TEXTURE2D_DESC textureDesc(UINT width, UINT height, DXGI_FORMAT format, D3D11_USAGE usage) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc = {1, 0};
    desc.Usage = usage;
    if (usage == D3D11_USAGE_STAGING)
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE | D3D11_CPU_ACCESS_READ;
    else
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    return desc;
}

inline D3D11_BUFFER_DESC constantBufferDesc() {
    return {16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
}

inline D3D11_BUFFER_DESC outBufferDesc(UINT elements) {
    return {elements * 12, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS | D3D11_BIND_SHADER_RESOURCE, 0,
            D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12};
}

inline D3D11_BUFFER_DESC readbackDesc(UINT elements) {
    return {elements * 12, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12};
}

inline D3D11_UNORDERED_ACCESS_VIEW_DESC uavDesc(UINT first, UINT count) {
    D3D11_UNORDERED_ACCESS_VIEW_DESC desc{};
    desc.Format = DXGI_FORMAT_UNKNOWN;
    desc.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
    desc.Buffer.FirstElement = first;
    desc.Buffer.NumElements = count;
    return desc;
}

// A device and its immediate context per test; at the end every object the
// test made must be gone again.
class D3D11Test : public ::testing::Test {
protected:
    void SetUp() override {
        platform_hooks::resetHooks();
        liveAtStart = platform_hooks::liveObjects();
        D3D_FEATURE_LEVEL level{};
        ASSERT_EQ(createPluginDevice(&device, &level, &context), S_OK) << "no usable Vulkan device";
    }

    void TearDown() override {
        releaseCom(context);
        releaseCom(device);
        platform_hooks::resetHooks();
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << "objects leaked";
    }

    // Maps a staging resource for writing, fills it through fill(pData, RowPitch), unmaps.
    template <class Fill>
    void writeStaging(ID3D11Resource* resource, Fill fill) {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        ASSERT_EQ(context->Map(resource, 0, D3D11_MAP_WRITE, 0, &mapped), S_OK);
        fill(static_cast<uint8_t*>(mapped.pData), mapped.RowPitch);
        context->Unmap(resource, 0);
    }

    // Maps a staging buffer for reading and copies its contents out.
    template <class T>
    std::vector<T> readStaging(ID3D11Buffer* buffer, size_t count) {
        std::vector<T> values(count);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        EXPECT_EQ(context->Map(buffer, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
        if (mapped.pData) std::memcpy(values.data(), mapped.pData, count * sizeof(T));
        context->Unmap(buffer, 0);
        return values;
    }

    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    long liveAtStart = 0;
};
