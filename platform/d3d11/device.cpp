#include "platform/d3d11/device.h"

#include <new>

#include "platform/d3d11/buffer.h"
#include "platform/d3d11/compute_shader.h"
#include "platform/d3d11/context.h"
#include "platform/d3d11/texture.h"
#include "platform/d3d11/view.h"

namespace d3d11vk {

using platform_hooks::FailPoint;
using platform_hooks::shouldFail;

Device::Device(std::unique_ptr<VulkanState> vk, D3D_FEATURE_LEVEL level)
    : vk_(std::move(vk)), level_(level), dxgi_(this) {}

Device::~Device() = default;

HRESULT STDMETHODCALLTYPE Device::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (matchesAny(riid, {IID_IDXGIObject, IID_IDXGIDevice, IID_IDXGIDevice1})) {
        *object = nullptr;
        if (shouldFail(FailPoint::QueryDxgiDevice)) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IDXGIDevice1*>(&dxgi_);
        return S_OK;
    }
    return queryFor(riid, object, {IID_IUnknown, IID_ID3D11Device});
}

HRESULT STDMETHODCALLTYPE Device::CreateBuffer(const D3D11_BUFFER_DESC* desc,
                                               const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Buffer** buffer) {
    if (buffer) *buffer = nullptr;
    if (shouldFail(FailPoint::CreateBuffer)) return E_OUTOFMEMORY;
    if (!desc || !buffer) return E_INVALIDARG;
    return Buffer::create(this, *desc, initialData, buffer);
}

HRESULT STDMETHODCALLTYPE Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc,
                                                  const D3D11_SUBRESOURCE_DATA* initialData,
                                                  ID3D11Texture2D** texture) {
    if (texture) *texture = nullptr;
    if (shouldFail(FailPoint::CreateTexture2D)) return E_OUTOFMEMORY;
    if (!desc || !texture) return E_INVALIDARG;
    return Texture2D::create(this, *desc, initialData, texture);
}

HRESULT STDMETHODCALLTYPE Device::CreateShaderResourceView(ID3D11Resource* resource,
                                                           const D3D11_SHADER_RESOURCE_VIEW_DESC* desc,
                                                           ID3D11ShaderResourceView** view) {
    if (view) *view = nullptr;
    if (shouldFail(FailPoint::CreateShaderResourceView)) return E_OUTOFMEMORY;
    if (!resource || !view) return E_INVALIDARG;
    return ShaderResourceView::create(this, resource, desc, view);
}

HRESULT STDMETHODCALLTYPE Device::CreateUnorderedAccessView(ID3D11Resource* resource,
                                                            const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc,
                                                            ID3D11UnorderedAccessView** view) {
    if (view) *view = nullptr;
    if (shouldFail(FailPoint::CreateUnorderedAccessView)) return E_OUTOFMEMORY;
    if (!resource || !view) return E_INVALIDARG;
    return UnorderedAccessView::create(this, resource, desc, view);
}

HRESULT STDMETHODCALLTYPE Device::CreateComputeShader(const void* bytecode, SIZE_T bytecodeLength,
                                                      ID3D11ClassLinkage* classLinkage,
                                                      ID3D11ComputeShader** shader) {
    if (shader) *shader = nullptr;
    if (shouldFail(FailPoint::CreateComputeShader)) return E_OUTOFMEMORY;
    if (!shader || classLinkage) return E_INVALIDARG;
    return ComputeShader::create(this, bytecode, bytecodeLength, shader);
}

namespace {

// What a Vulkan device with the required features offers.
constexpr uint32_t kHighestLevel = D3D_FEATURE_LEVEL_11_1;

bool knownLevel(uint32_t level) {
    switch (level) {
        case D3D_FEATURE_LEVEL_9_1:
        case D3D_FEATURE_LEVEL_9_2:
        case D3D_FEATURE_LEVEL_9_3:
        case D3D_FEATURE_LEVEL_10_0:
        case D3D_FEATURE_LEVEL_10_1:
        case D3D_FEATURE_LEVEL_11_0:
        case D3D_FEATURE_LEVEL_11_1:
            return true;
        default:
            return false;
    }
}

}  // namespace

}  // namespace d3d11vk

extern "C" HRESULT WINAPI D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software,
                                            UINT, const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount,
                                            UINT sdkVersion, ID3D11Device** device, D3D_FEATURE_LEVEL* grantedLevel,
                                            ID3D11DeviceContext** immediateContext) {
    using namespace d3d11vk;
    if (device) *device = nullptr;
    if (immediateContext) *immediateContext = nullptr;
    if (grantedLevel) *grantedLevel = static_cast<D3D_FEATURE_LEVEL>(0);
    if (shouldFail(FailPoint::CreateDevice)) return E_FAIL;
    if (adapter || driverType != D3D_DRIVER_TYPE_HARDWARE || software || sdkVersion != D3D11_SDK_VERSION)
        return E_INVALIDARG;

    static const D3D_FEATURE_LEVEL defaults[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                                 D3D_FEATURE_LEVEL_10_0, D3D_FEATURE_LEVEL_9_3,
                                                 D3D_FEATURE_LEVEL_9_2,  D3D_FEATURE_LEVEL_9_1};
    if (!featureLevels) {
        featureLevels = defaults;
        featureLevelCount = sizeof defaults / sizeof defaults[0];
    }
    if (featureLevelCount == 0) return E_INVALIDARG;
    uint32_t level = 0;
    for (UINT i = 0; i < featureLevelCount; ++i) {
        if (!knownLevel(featureLevels[i])) return E_INVALIDARG;
        if (!level && featureLevels[i] <= kHighestLevel) level = featureLevels[i];
    }
    if (!level) return DXGI_ERROR_UNSUPPORTED;
    if (uint32_t forced = platform_hooks::forcedFeatureLevel()) level = forced;

    PhysicalDeviceInfo physical;
    if (!pickPhysicalDevice(&physical)) {
        explainNoUsableDevice();
        return DXGI_ERROR_UNSUPPORTED;
    }
    if (!device && !immediateContext) {
        if (grantedLevel) *grantedLevel = static_cast<D3D_FEATURE_LEVEL>(level);
        return S_FALSE;
    }
    std::unique_ptr<VulkanState> vk = VulkanState::create(physical);
    if (!vk) return DXGI_ERROR_UNSUPPORTED;

    auto* created = new (std::nothrow) Device(std::move(vk), static_cast<D3D_FEATURE_LEVEL>(level));
    if (!created) return E_OUTOFMEMORY;
    auto* context = new (std::nothrow) ImmediateContext(created);
    if (!context) {
        created->Release();
        return E_OUTOFMEMORY;
    }
    // The context holds the device, so either may be released first.
    if (device)
        *device = created;
    else
        created->Release();
    if (immediateContext)
        *immediateContext = context;
    else
        context->Release();
    if (grantedLevel) *grantedLevel = static_cast<D3D_FEATURE_LEVEL>(level);
    return S_OK;
}
