// ID3D11Texture2D: staging textures are host-visible Vulkan buffers laid out
// in rows of rowPitch bytes; default textures are device-local Vulkan images.
#pragma once

#include <memory>

#include "platform/d3d11/device.h"

namespace d3d11vk {

class Texture2D final : public DeviceChild<ID3D11Texture2D> {
public:
    static HRESULT create(Device* device, const D3D11_TEXTURE2D_DESC& desc,
                          const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Texture2D** out);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* desc) override;

    const D3D11_TEXTURE2D_DESC& desc() const { return desc_; }
    VkFormat format() const { return format_; }
    UINT texelSize() const { return texelSize_; }
    // Staging textures: the rows in a host-visible buffer; null otherwise.
    const std::shared_ptr<BufferMemory>& staging() const { return staging_; }
    UINT rowPitch() const { return rowPitch_; }
    // Default textures: the image; null otherwise.
    const std::shared_ptr<ImageMemory>& image() const { return image_; }

private:
    Texture2D(Device* device, const D3D11_TEXTURE2D_DESC& desc) : DeviceChild(device), desc_(desc) {}

    D3D11_TEXTURE2D_DESC desc_;
    VkFormat format_ = VK_FORMAT_UNDEFINED;
    UINT texelSize_ = 0;
    UINT rowPitch_ = 0;
    std::shared_ptr<BufferMemory> staging_;
    std::shared_ptr<ImageMemory> image_;
};

}  // namespace d3d11vk
