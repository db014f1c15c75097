#include "platform/d3d11/buffer.h"

#include <cstring>
#include <new>

namespace d3d11vk {

HRESULT Buffer::create(Device* device, const D3D11_BUFFER_DESC& desc, const D3D11_SUBRESOURCE_DATA* initialData,
                       ID3D11Buffer** out) {
    if (desc.ByteWidth == 0) return E_INVALIDARG;
    if (initialData && !initialData->pSysMem) return E_INVALIDARG;
    const bool constant = desc.BindFlags & D3D11_BIND_CONSTANT_BUFFER;
    const bool structured = desc.MiscFlags & D3D11_RESOURCE_MISC_BUFFER_STRUCTURED;
    if (structured && (desc.StructureByteStride == 0 || desc.StructureByteStride % 4 != 0 ||
                       desc.StructureByteStride > 2048 || desc.ByteWidth % desc.StructureByteStride != 0))
        return E_INVALIDARG;

    std::unique_ptr<Buffer> buffer(new (std::nothrow) Buffer(device, desc));
    if (!buffer) return E_OUTOFMEMORY;
    VulkanState& vk = device->vk();

    if (constant) {
        // Constant buffers bind alone and hold whole 16-byte registers, at most 4096.
        if (desc.BindFlags != D3D11_BIND_CONSTANT_BUFFER || desc.ByteWidth % 16 != 0 || desc.ByteWidth > 65536 ||
            desc.Usage == D3D11_USAGE_STAGING || structured)
            return E_INVALIDARG;
        if (desc.Usage == D3D11_USAGE_DYNAMIC && !(desc.CPUAccessFlags & D3D11_CPU_ACCESS_WRITE)) return E_INVALIDARG;
        if (desc.Usage == D3D11_USAGE_IMMUTABLE && !initialData) return E_INVALIDARG;
        buffer->constants_.reset(new (std::nothrow) uint8_t[desc.ByteWidth]());
        if (!buffer->constants_) return E_OUTOFMEMORY;
        if (initialData) std::memcpy(buffer->constants_.get(), initialData->pSysMem, desc.ByteWidth);
    } else if (desc.Usage == D3D11_USAGE_STAGING) {
        if (desc.BindFlags != 0 || desc.CPUAccessFlags == 0) return E_INVALIDARG;
        MemoryUse use = (desc.CPUAccessFlags & D3D11_CPU_ACCESS_READ) ? MemoryUse::Readback : MemoryUse::Upload;
        buffer->memory_ = vk.createBuffer(desc.ByteWidth,
                                          VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT, use);
        if (!buffer->memory_) return E_OUTOFMEMORY;
        if (initialData) std::memcpy(buffer->memory_->mapped, initialData->pSysMem, desc.ByteWidth);
    } else if (desc.Usage == D3D11_USAGE_DEFAULT) {
        // Filling a device-local buffer at creation is not needed here.
        if (initialData) return E_NOTIMPL;
        if (desc.CPUAccessFlags != 0) return E_INVALIDARG;
        buffer->memory_ = vk.createBuffer(desc.ByteWidth,
                                          VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT |
                                              VK_BUFFER_USAGE_TRANSFER_DST_BIT,
                                          MemoryUse::DeviceLocal);
        if (!buffer->memory_) return E_OUTOFMEMORY;
    } else {
        // Dynamic or immutable buffers other than constant buffers.
        return E_NOTIMPL;
    }
    *out = buffer.release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Buffer::QueryInterface(REFIID riid, void** object) {
    return queryFor(riid, object, {IID_IUnknown, IID_ID3D11DeviceChild, IID_ID3D11Resource, IID_ID3D11Buffer});
}

void STDMETHODCALLTYPE Buffer::GetDesc(D3D11_BUFFER_DESC* desc) {
    if (desc) *desc = desc_;
}

}  // namespace d3d11vk
