#include "platform/d3d11/view.h"

#include <new>

#include "platform/d3d11/vk_check.h"

namespace d3d11vk {

ShaderResourceView::ShaderResourceView(Device* device, Texture2D* texture)
    : DeviceChild(device), texture_(texture) {
    texture_->AddRef();
}

ShaderResourceView::~ShaderResourceView() {
    view_.reset();
    texture_->Release();
}

HRESULT ShaderResourceView::create(Device* device, ID3D11Resource* resource,
                                   const D3D11_SHADER_RESOURCE_VIEW_DESC* desc, ID3D11ShaderResourceView** out) {
    auto* texture = dynamic_cast<Texture2D*>(resource);
    // Only whole default textures bound as shader resources have views.
    if (!texture || !texture->image() || !(texture->desc().BindFlags & D3D11_BIND_SHADER_RESOURCE))
        return E_INVALIDARG;
    if (desc) {
        if (desc->ViewDimension != D3D11_SRV_DIMENSION_TEXTURE2D) return E_INVALIDARG;
        if (desc->Format != texture->desc().Format) return E_INVALIDARG;
        if (desc->Texture2D.MostDetailedMip != 0 || (desc->Texture2D.MipLevels != 1 && desc->Texture2D.MipLevels != ~0u))
            return E_INVALIDARG;
    }

    std::unique_ptr<ShaderResourceView> view(new (std::nothrow) ShaderResourceView(device, texture));
    if (!view) return E_OUTOFMEMORY;
    VulkanState& vk = device->vk();
    auto object = std::make_shared<ImageViewObject>();
    object->vk = &vk;
    object->image = texture->image();
    auto info = make<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
    info.image = texture->image()->image;
    info.viewType = VK_IMAGE_VIEW_TYPE_2D;
    info.format = texture->format();
    info.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    if (HRESULT failed = VK(vkCreateImageView(vk.device(), &info, nullptr, &object->view), E_OUTOFMEMORY)) {
        object->view = VK_NULL_HANDLE;
        return failed;
    }
    view->view_ = std::move(object);
    *out = view.release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ShaderResourceView::QueryInterface(REFIID riid, void** object) {
    return queryFor(riid, object,
                    {IID_IUnknown, IID_ID3D11DeviceChild, IID_ID3D11View, IID_ID3D11ShaderResourceView});
}

void STDMETHODCALLTYPE ShaderResourceView::GetResource(ID3D11Resource** resource) {
    if (!resource) return;
    texture_->AddRef();
    *resource = texture_;
}

UnorderedAccessView::UnorderedAccessView(Device* device, Buffer* buffer) : DeviceChild(device), buffer_(buffer) {
    buffer_->AddRef();
}

UnorderedAccessView::~UnorderedAccessView() { buffer_->Release(); }

HRESULT UnorderedAccessView::create(Device* device, ID3D11Resource* resource,
                                    const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc, ID3D11UnorderedAccessView** out) {
    auto* buffer = dynamic_cast<Buffer*>(resource);
    if (!buffer || !buffer->memory() || !(buffer->desc().BindFlags & D3D11_BIND_UNORDERED_ACCESS) ||
        buffer->desc().Usage != D3D11_USAGE_DEFAULT)
        return E_INVALIDARG;
    // Structured buffers only: raw, typed, append and counter views are not offered.
    const D3D11_BUFFER_DESC& bd = buffer->desc();
    if (!(bd.MiscFlags & D3D11_RESOURCE_MISC_BUFFER_STRUCTURED)) return E_INVALIDARG;
    const UINT stride = bd.StructureByteStride;
    const UINT elements = bd.ByteWidth / stride;
    UINT first = 0;
    UINT count = elements;
    if (desc) {
        if (desc->Format != DXGI_FORMAT_UNKNOWN || desc->ViewDimension != D3D11_UAV_DIMENSION_BUFFER ||
            desc->Buffer.Flags != 0)
            return E_INVALIDARG;
        first = desc->Buffer.FirstElement;
        count = desc->Buffer.NumElements;
    }
    if (count == 0 || first >= elements || count > elements - first) return E_INVALIDARG;

    const VkPhysicalDeviceLimits& limits = device->vk().limits();
    VkDeviceSize offset = VkDeviceSize(first) * stride;
    VkDeviceSize range = VkDeviceSize(count) * stride;
    // A shader indexes the view from its first element, so the view must start
    // where a storage-buffer descriptor may start.
    if (offset % limits.minStorageBufferOffsetAlignment != 0 || range > limits.maxStorageBufferRange)
        return E_INVALIDARG;

    std::unique_ptr<UnorderedAccessView> view(new (std::nothrow) UnorderedAccessView(device, buffer));
    if (!view) return E_OUTOFMEMORY;
    view->offset_ = offset;
    view->range_ = range;
    *out = view.release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE UnorderedAccessView::QueryInterface(REFIID riid, void** object) {
    return queryFor(riid, object,
                    {IID_IUnknown, IID_ID3D11DeviceChild, IID_ID3D11View, IID_ID3D11UnorderedAccessView});
}

void STDMETHODCALLTYPE UnorderedAccessView::GetResource(ID3D11Resource** resource) {
    if (!resource) return;
    buffer_->AddRef();
    *resource = buffer_;
}

}  // namespace d3d11vk
