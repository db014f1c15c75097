// ID3D11Buffer: constant buffers live in CPU memory and are copied into the
// command stream at each Dispatch; staging buffers are host-visible Vulkan
// buffers; default buffers are device-local storage buffers.
#pragma once

#include <memory>

#include "platform/d3d11/device.h"

namespace d3d11vk {

class Buffer final : public DeviceChild<ID3D11Buffer> {
public:
    static HRESULT create(Device* device, const D3D11_BUFFER_DESC& desc, const D3D11_SUBRESOURCE_DATA* initialData,
                          ID3D11Buffer** out);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    void STDMETHODCALLTYPE GetDesc(D3D11_BUFFER_DESC* desc) override;

    const D3D11_BUFFER_DESC& desc() const { return desc_; }
    // Constant buffers: the current contents; null for other buffers.
    uint8_t* constants() { return constants_.get(); }
    // Staging and default buffers: the Vulkan buffer; null for constant buffers.
    const std::shared_ptr<BufferMemory>& memory() const { return memory_; }

private:
    Buffer(Device* device, const D3D11_BUFFER_DESC& desc) : DeviceChild(device), desc_(desc) {}

    D3D11_BUFFER_DESC desc_;
    std::unique_ptr<uint8_t[]> constants_;
    std::shared_ptr<BufferMemory> memory_;
};

}  // namespace d3d11vk
