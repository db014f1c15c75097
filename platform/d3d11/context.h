// The immediate context: compute-stage state, Map/Unmap, CopyResource and
// Dispatch recorded into Vulkan command buffers, submitted where Direct3D
// would have to wait for the GPU.
#pragma once

#include "platform/d3d11/command_queue.h"
#include "platform/d3d11/compute_shader.h"
#include "platform/d3d11/view.h"

namespace d3d11vk {

class ImmediateContext final : public DeviceChild<ID3D11DeviceContext> {
public:
    explicit ImmediateContext(Device* device);
    ~ImmediateContext() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP mapType, UINT mapFlags,
                                  D3D11_MAPPED_SUBRESOURCE* mapped) override;
    void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT subresource) override;
    void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) override;
    void STDMETHODCALLTYPE CSSetUnorderedAccessViews(UINT startSlot, UINT count,
                                                     ID3D11UnorderedAccessView* const* views,
                                                     const UINT* initialCounts) override;
    void STDMETHODCALLTYPE CSSetConstantBuffers(UINT startSlot, UINT count, ID3D11Buffer* const* buffers) override;
    void STDMETHODCALLTYPE CSSetShader(ID3D11ComputeShader* shader, ID3D11ClassInstance* const* classInstances,
                                       UINT classInstanceCount) override;
    void STDMETHODCALLTYPE CSSetShaderResources(UINT startSlot, UINT count,
                                                ID3D11ShaderResourceView* const* views) override;
    void STDMETHODCALLTYPE Dispatch(UINT groupsX, UINT groupsY, UINT groupsZ) override;
    void STDMETHODCALLTYPE ClearState() override;
    void STDMETHODCALLTYPE Flush() override;

private:
    HRESULT mapStaging(const std::shared_ptr<BufferMemory>& memory, UINT cpuAccess, D3D11_MAP mapType,
                       UINT mapFlags, UINT rowPitch, UINT depthPitch, D3D11_MAPPED_SUBRESOURCE* mapped);
    void copyBuffers(const std::shared_ptr<BufferMemory>& destination, const std::shared_ptr<BufferMemory>& source,
                     VkDeviceSize size);
    void copyTextures(Texture2D& destination, Texture2D& source);
    // Dispatch's steps: the bound textures made readable (false when
    // recording failed), and the descriptor set of the bound resources (null
    // when it cannot be made).
    bool readyTextures();
    TextureRead textureRead() const;
    VkDescriptorSet writeDescriptors(bool storageTextures);
    template <class T>
    static void rebind(T*& slot, T* object);

    CommandQueue queue_;
    // The slots the shared pipeline layout reaches: t0-t15, b0 and u0. Each
    // bound object is held by a reference, as Direct3D holds it.
    ShaderResourceView* views_[kTextureSlots] = {};
    Buffer* constantBuffer_ = nullptr;
    UnorderedAccessView* uav_ = nullptr;
    ComputeShader* shader_ = nullptr;
};

}  // namespace d3d11vk
