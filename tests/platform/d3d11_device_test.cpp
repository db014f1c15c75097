// Device creation, feature levels, the DXGI adapter chain and the adapter list.
#include <cstdlib>

#include "platform/vulkan_adapters.h"
#include "tests/platform/d3d11_test.h"

namespace {

constexpr IID kIidDxgiDevice1 = {0x77db970f, 0x6276, 0x48ba, {0xba, 0x28, 0x07, 0x01, 0x43, 0xb4, 0x39, 0x2c}};

struct LevelCase {
    const char* name;
    std::vector<D3D_FEATURE_LEVEL> requested;
    uint32_t forced;
    HRESULT expectedResult;
    uint32_t expectedLevel;
};

class D3D11CreateDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform_hooks::resetHooks();
        liveAtStart = platform_hooks::liveObjects();
    }
    void TearDown() override {
        platform_hooks::resetHooks();
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart);
    }
    long liveAtStart = 0;
};

TEST_F(D3D11CreateDeviceTest, GrantsTheFirstRequestedLevelUnlessForced) {
    const LevelCase cases[] = {
        {"plug-in list", {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0}, 0, S_OK, 0xb000},
        {"10.x only", {D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0}, 0, S_OK, 0xa100},
        {"forced 10_1", {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0}, 0xa100, S_OK,
         0xa100},
        {"forced 9_3", {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0}, 0x9300, S_OK,
         0x9300},
        {"unknown level", {static_cast<D3D_FEATURE_LEVEL>(0x1234)}, 0, E_INVALIDARG, 0},
        {"above 11_1", {static_cast<D3D_FEATURE_LEVEL>(0xc100)}, 0, E_INVALIDARG, 0},
    };
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(c.name);
        platform_hooks::forceFeatureLevel(c.forced);
        ID3D11Device* device = nullptr;
        ID3D11DeviceContext* context = nullptr;
        D3D_FEATURE_LEVEL level = static_cast<D3D_FEATURE_LEVEL>(0x1);
        HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_SINGLETHREADED,
                                       c.requested.data(), static_cast<UINT>(c.requested.size()), D3D11_SDK_VERSION,
                                       &device, &level, &context);
        EXPECT_EQ(hr, c.expectedResult);
        EXPECT_EQ(static_cast<uint32_t>(level), c.expectedLevel);
        if (SUCCEEDED(hr)) {
            ASSERT_NE(device, nullptr);
            ASSERT_NE(context, nullptr);
            EXPECT_EQ(static_cast<uint32_t>(device->GetFeatureLevel()), c.expectedLevel);
        } else {
            EXPECT_EQ(device, nullptr);
            EXPECT_EQ(context, nullptr);
        }
        releaseCom(context);
        releaseCom(device);
    }
}

TEST_F(D3D11CreateDeviceTest, RefusedCallsLeaveEveryOutputNull) {
    struct Case {
        const char* name;
        IDXGIAdapter* adapter;
        D3D_DRIVER_TYPE type;
        UINT sdk;
        bool injectFailure;
    };
    const Case cases[] = {
        {"injected failure", nullptr, D3D_DRIVER_TYPE_HARDWARE, D3D11_SDK_VERSION, true},
        {"WARP driver", nullptr, D3D_DRIVER_TYPE_WARP, D3D11_SDK_VERSION, false},
        {"reference driver", nullptr, D3D_DRIVER_TYPE_REFERENCE, D3D11_SDK_VERSION, false},
        {"wrong SDK version", nullptr, D3D_DRIVER_TYPE_HARDWARE, 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.injectFailure) platform_hooks::failNth(platform_hooks::FailPoint::CreateDevice, 1);
        ID3D11Device* device = reinterpret_cast<ID3D11Device*>(1);
        ID3D11DeviceContext* context = reinterpret_cast<ID3D11DeviceContext*>(1);
        D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
        HRESULT hr = D3D11CreateDevice(c.adapter, c.type, nullptr, 1, kPluginLevels, 3, c.sdk, &device, &level,
                                       &context);
        EXPECT_TRUE(FAILED(hr));
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(context, nullptr);
        EXPECT_EQ(static_cast<uint32_t>(level), 0u);
    }
    EXPECT_EQ(platform_hooks::callCount(platform_hooks::FailPoint::CreateDevice), 4);
}

TEST_F(D3D11CreateDeviceTest, DeviceAndContextMayBeReleasedInEitherOrder) {
    for (bool contextFirst : {true, false}) {
        ID3D11Device* device = nullptr;
        ID3D11DeviceContext* context = nullptr;
        ASSERT_EQ(createPluginDevice(&device, nullptr, &context), S_OK);
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart + 2);
        if (contextFirst) releaseCom(context);
        releaseCom(device);
        releaseCom(context);
        EXPECT_EQ(platform_hooks::liveObjects(), liveAtStart) << "context first: " << contextFirst;
    }
}

TEST_F(D3D11CreateDeviceTest, EnvironmentVariablePicksTheVulkanDevice) {
    std::vector<platform_d3d11::VulkanAdapter> adapters = platform_d3d11::listVulkanAdapters();
    const platform_d3d11::VulkanAdapter* picked = nullptr;
    for (const auto& a : adapters)
        if (a.picked) picked = &a;
    ASSERT_NE(picked, nullptr);
    const char* saved = std::getenv("QUENDA_VULKAN_DEVICE");
    std::string savedValue = saved ? saved : "";
    struct Case {
        std::string value;
        bool succeeds;
    };
    const Case cases[] = {
        {std::to_string(picked->index), true},
        {picked->name.substr(0, 4), true},
        {"no such device anywhere", false},
        {"4096", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        setenv("QUENDA_VULKAN_DEVICE", c.value.c_str(), 1);
        ID3D11Device* device = nullptr;
        ID3D11DeviceContext* context = nullptr;
        HRESULT hr = createPluginDevice(&device, nullptr, &context);
        EXPECT_EQ(SUCCEEDED(hr), c.succeeds);
        EXPECT_EQ(device != nullptr, c.succeeds);
        releaseCom(context);
        releaseCom(device);
    }
    if (saved)
        setenv("QUENDA_VULKAN_DEVICE", savedValue.c_str(), 1);
    else
        unsetenv("QUENDA_VULKAN_DEVICE");
}

TEST(D3D11Adapters, ExactlyOneUsableDeviceIsPicked) {
    std::vector<platform_d3d11::VulkanAdapter> adapters = platform_d3d11::listVulkanAdapters();
    int picked = 0;
    for (const auto& a : adapters) {
        EXPECT_FALSE(a.name.empty());
        EXPECT_EQ(a.usable, a.missing.empty()) << a.name;
        if (a.picked) {
            ++picked;
            EXPECT_TRUE(a.usable) << a.name;
        }
    }
    EXPECT_EQ(picked, 1);
}

using D3D11DxgiTest = D3D11Test;

// What the plug-in reads: IDXGIDevice1, then the adapter, then its description.
TEST_F(D3D11DxgiTest, AdapterDescriptionNamesThePickedDevice) {
    IDXGIDevice1* dxgi = nullptr;
    ASSERT_EQ(device->QueryInterface(kIidDxgiDevice1, reinterpret_cast<void**>(&dxgi)), S_OK);
    IDXGIAdapter* adapter = nullptr;
    ASSERT_EQ(dxgi->GetAdapter(&adapter), S_OK);
    DXGI_ADAPTER_DESC desc{};
    ASSERT_EQ(adapter->GetDesc(&desc), S_OK);

    const platform_d3d11::VulkanAdapter* picked = nullptr;
    std::vector<platform_d3d11::VulkanAdapter> adapters = platform_d3d11::listVulkanAdapters();
    for (const auto& a : adapters)
        if (a.picked) picked = &a;
    ASSERT_NE(picked, nullptr);
    EXPECT_EQ(desc.VendorId, picked->vendorId);
    EXPECT_EQ(desc.DeviceId, picked->deviceId);
    std::string name;
    for (const WCHAR* c = desc.Description; *c && *c < 0x80; ++c) name += static_cast<char>(*c);
    EXPECT_EQ(name, picked->name.substr(0, 127));
    EXPECT_GT(desc.DedicatedVideoMemory + desc.SharedSystemMemory, 0u);

    platform_hooks::forceDeviceId(0x1234);
    ASSERT_EQ(adapter->GetDesc(&desc), S_OK);
    EXPECT_EQ(desc.DeviceId, 0x1234u);
    platform_hooks::forceDeviceId(0, true);
    ASSERT_EQ(adapter->GetDesc(&desc), S_OK);
    EXPECT_EQ(desc.DeviceId, 0u) << "a forced id of 0 is still forced";

    releaseCom(adapter);
    releaseCom(dxgi);
}

TEST_F(D3D11DxgiTest, EachStepOfTheChainCanBeMadeToFail) {
    platform_hooks::failNth(platform_hooks::FailPoint::QueryDxgiDevice, 1);
    IDXGIDevice1* dxgi = reinterpret_cast<IDXGIDevice1*>(1);
    EXPECT_TRUE(FAILED(device->QueryInterface(kIidDxgiDevice1, reinterpret_cast<void**>(&dxgi))));
    EXPECT_EQ(dxgi, nullptr);

    ASSERT_EQ(device->QueryInterface(kIidDxgiDevice1, reinterpret_cast<void**>(&dxgi)), S_OK);
    platform_hooks::failNth(platform_hooks::FailPoint::GetAdapter, 1);
    IDXGIAdapter* adapter = reinterpret_cast<IDXGIAdapter*>(1);
    EXPECT_TRUE(FAILED(dxgi->GetAdapter(&adapter)));
    EXPECT_EQ(adapter, nullptr);

    ASSERT_EQ(dxgi->GetAdapter(&adapter), S_OK);
    platform_hooks::failNth(platform_hooks::FailPoint::GetDesc, 1);
    DXGI_ADAPTER_DESC desc{};
    EXPECT_TRUE(FAILED(adapter->GetDesc(&desc)));
    EXPECT_EQ(desc.DeviceId, 0u) << "a failed GetDesc leaves the record as it was";
    EXPECT_EQ(desc.Description[0], 0);

    releaseCom(adapter);
    releaseCom(dxgi);
}

TEST_F(D3D11DxgiTest, DxgiFaceSharesTheDeviceLifetime) {
    IDXGIDevice1* dxgi = nullptr;
    ASSERT_EQ(device->QueryInterface(kIidDxgiDevice1, reinterpret_cast<void**>(&dxgi)), S_OK);
    const long live = platform_hooks::liveObjects();
    releaseCom(context);
    releaseCom(device);
    EXPECT_EQ(platform_hooks::liveObjects(), live - 1) << "the DXGI reference keeps the device";
    IDXGIAdapter* adapter = nullptr;
    EXPECT_EQ(dxgi->GetAdapter(&adapter), S_OK);
    releaseCom(adapter);
    releaseCom(dxgi);
}

}  // namespace
