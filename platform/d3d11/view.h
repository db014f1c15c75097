// Views: a shader-resource view is a Vulkan image view of a whole default
// texture; an unordered-access view is a range of a structured buffer. Each
// holds a reference to its resource.
#pragma once

#include <memory>

#include "platform/d3d11/buffer.h"
#include "platform/d3d11/texture.h"

namespace d3d11vk {

class ShaderResourceView final : public DeviceChild<ID3D11ShaderResourceView> {
public:
    static HRESULT create(Device* device, ID3D11Resource* resource, const D3D11_SHADER_RESOURCE_VIEW_DESC* desc,
                          ID3D11ShaderResourceView** out);
    ~ShaderResourceView() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    void STDMETHODCALLTYPE GetResource(ID3D11Resource** resource) override;

    const std::shared_ptr<ImageViewObject>& view() const { return view_; }

private:
    ShaderResourceView(Device* device, Texture2D* texture);

    Texture2D* texture_;
    std::shared_ptr<ImageViewObject> view_;
};

class UnorderedAccessView final : public DeviceChild<ID3D11UnorderedAccessView> {
public:
    static HRESULT create(Device* device, ID3D11Resource* resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc,
                          ID3D11UnorderedAccessView** out);
    ~UnorderedAccessView() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    void STDMETHODCALLTYPE GetResource(ID3D11Resource** resource) override;

    const std::shared_ptr<BufferMemory>& memory() const { return buffer_->memory(); }
    VkDeviceSize offset() const { return offset_; }
    VkDeviceSize range() const { return range_; }

private:
    UnorderedAccessView(Device* device, Buffer* buffer);

    Buffer* buffer_;
    VkDeviceSize offset_ = 0;
    VkDeviceSize range_ = 0;
};

}  // namespace d3d11vk
