#include "platform/d3d11/texture.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace d3d11vk {
namespace {

// Rows of staging textures start on 256-byte boundaries, as Direct3D
// drivers lay them out and as buffer-to-image copies like them.
constexpr UINT kRowAlignment = 256;
constexpr UINT kMaxDimension = 16384;

}  // namespace

HRESULT Texture2D::create(Device* device, const D3D11_TEXTURE2D_DESC& desc, const D3D11_SUBRESOURCE_DATA* initialData,
                          ID3D11Texture2D** out) {
    VkFormat format;
    UINT texelSize;
    switch (desc.Format) {
        case DXGI_FORMAT_R16_UNORM: format = VK_FORMAT_R16_UNORM; texelSize = 2; break;
        case DXGI_FORMAT_R16G16_UNORM: format = VK_FORMAT_R16G16_UNORM; texelSize = 4; break;
        default: return E_INVALIDARG;
    }
    VulkanState& vk = device->vk();
    UINT maxDimension = std::min(kMaxDimension, vk.limits().maxImageDimension2D);
    if (desc.Width == 0 || desc.Height == 0 || desc.Width > maxDimension || desc.Height > maxDimension)
        return E_INVALIDARG;
    if (desc.MipLevels != 1 || desc.ArraySize != 1 || desc.SampleDesc.Count != 1 || desc.SampleDesc.Quality != 0 ||
        desc.MiscFlags != 0)
        return E_INVALIDARG;
    if (initialData && (!initialData->pSysMem || initialData->SysMemPitch < desc.Width * texelSize))
        return E_INVALIDARG;

    std::unique_ptr<Texture2D> texture(new (std::nothrow) Texture2D(device, desc));
    if (!texture) return E_OUTOFMEMORY;
    texture->format_ = format;
    texture->texelSize_ = texelSize;

    if (desc.Usage == D3D11_USAGE_STAGING) {
        if (desc.BindFlags != 0 || desc.CPUAccessFlags == 0) return E_INVALIDARG;
        UINT row = desc.Width * texelSize;
        texture->rowPitch_ = (row + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
        MemoryUse use = (desc.CPUAccessFlags & D3D11_CPU_ACCESS_READ) ? MemoryUse::Readback : MemoryUse::Upload;
        texture->staging_ = vk.createBuffer(VkDeviceSize(texture->rowPitch_) * desc.Height,
                                            VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT, use);
        if (!texture->staging_) return E_OUTOFMEMORY;
        if (initialData) {
            const auto* source = static_cast<const uint8_t*>(initialData->pSysMem);
            for (UINT y = 0; y < desc.Height; ++y)
                std::memcpy(texture->staging_->mapped + size_t(y) * texture->rowPitch_,
                            source + size_t(y) * initialData->SysMemPitch, row);
        }
    } else if (desc.Usage == D3D11_USAGE_DEFAULT) {
        // Sampled by compute shaders, filled by copies; nothing else is offered.
        if (desc.BindFlags & ~UINT(D3D11_BIND_SHADER_RESOURCE)) return E_NOTIMPL;
        if (desc.CPUAccessFlags != 0) return E_INVALIDARG;
        if (initialData) return E_NOTIMPL;
        VkImageUsageFlags usage =
            VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
        if (vk.storageTextures()) usage |= VK_IMAGE_USAGE_STORAGE_BIT;
        texture->image_ = vk.createImage(desc.Width, desc.Height, format, usage);
        if (!texture->image_) return E_OUTOFMEMORY;
    } else {
        return E_NOTIMPL;
    }
    *out = texture.release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Texture2D::QueryInterface(REFIID riid, void** object) {
    return queryFor(riid, object, {IID_IUnknown, IID_ID3D11DeviceChild, IID_ID3D11Resource, IID_ID3D11Texture2D});
}

void STDMETHODCALLTYPE Texture2D::GetDesc(D3D11_TEXTURE2D_DESC* desc) {
    if (desc) *desc = desc_;
}

}  // namespace d3d11vk
