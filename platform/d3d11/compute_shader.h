// ID3D11ComputeShader: a Vulkan compute pipeline made from SPIR-V whose entry
// point is "CS" and whose resources use the shared binding contract.
#pragma once

#include <memory>
#include <vector>

#include "platform/d3d11/device.h"

namespace d3d11vk {

// Whether the bytes are a SPIR-V module this device can run as a compute
// shader: valid for Vulkan 1.1 with scalar block layout, an entry point "CS",
// resources only at the shared bindings, capabilities the device has.
bool acceptableComputeModule(const VulkanState& vk, const std::vector<uint32_t>& words);

class ComputeShader final : public DeviceChild<ID3D11ComputeShader> {
public:
    static HRESULT create(Device* device, const void* bytecode, SIZE_T length, ID3D11ComputeShader** out);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;

    const std::shared_ptr<PipelineObject>& pipeline() const { return pipeline_; }

private:
    explicit ComputeShader(Device* device) : DeviceChild(device) {}

    std::shared_ptr<PipelineObject> pipeline_;
};

}  // namespace d3d11vk
