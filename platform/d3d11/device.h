// ID3D11Device over a Vulkan logical device; the DXGI face of the device is
// the DxgiDevice member, which shares the device's reference count.
#pragma once

#include <memory>

#include "platform/d3d11/com_object.h"
#include "platform/d3d11/dxgi.h"
#include "platform/d3d11/vulkan_state.h"

namespace d3d11vk {

class Device final : public ComObject<ID3D11Device> {
public:
    Device(std::unique_ptr<VulkanState> vk, D3D_FEATURE_LEVEL level);
    ~Device() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE CreateBuffer(const D3D11_BUFFER_DESC* desc, const D3D11_SUBRESOURCE_DATA* initialData,
                                           ID3D11Buffer** buffer) override;
    HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc,
                                              const D3D11_SUBRESOURCE_DATA* initialData,
                                              ID3D11Texture2D** texture) override;
    HRESULT STDMETHODCALLTYPE CreateShaderResourceView(ID3D11Resource* resource,
                                                       const D3D11_SHADER_RESOURCE_VIEW_DESC* desc,
                                                       ID3D11ShaderResourceView** view) override;
    HRESULT STDMETHODCALLTYPE CreateUnorderedAccessView(ID3D11Resource* resource,
                                                        const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc,
                                                        ID3D11UnorderedAccessView** view) override;
    HRESULT STDMETHODCALLTYPE CreateComputeShader(const void* bytecode, SIZE_T bytecodeLength,
                                                  ID3D11ClassLinkage* classLinkage,
                                                  ID3D11ComputeShader** shader) override;
    D3D_FEATURE_LEVEL STDMETHODCALLTYPE GetFeatureLevel() override { return level_; }

    VulkanState& vk() { return *vk_; }

private:
    std::unique_ptr<VulkanState> vk_;
    D3D_FEATURE_LEVEL level_;
    DxgiDevice dxgi_;
};

template <class Interface>
DeviceChild<Interface>::DeviceChild(Device* device) : device_(device) {
    device_->AddRef();
}

template <class Interface>
DeviceChild<Interface>::~DeviceChild() {
    device_->Release();
}

template <class Interface>
void STDMETHODCALLTYPE DeviceChild<Interface>::GetDevice(ID3D11Device** device) {
    if (!device) return;
    device_->AddRef();
    *device = device_;
}

}  // namespace d3d11vk
