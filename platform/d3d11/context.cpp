#include "platform/d3d11/context.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>

#include "platform/d3d11/vk_check.h"
#include "platform/instrumentation.h"
#include "platform/test_hooks.h"

namespace d3d11vk {
namespace {

// One line of the test hooks' call log: the method and its numbers.
template <typename... Numbers>
void logCall(const char* method, Numbers... numbers) {
    if (!platform_hooks::callLogOn()) return;
    std::string line = method;
    ((line += " " + std::to_string(numbers)), ...);
    platform_hooks::logCall(line);
}

// Direct3D drops a copy between resources that do not match, as its debug
// layer says; so does this one, once per reason on standard error.
void dropCopy(const char* why) {
    static std::set<std::string> said;
    if (said.insert(why).second) std::fprintf(stderr, "d3d11: CopyResource dropped: %s\n", why);
}

}  // namespace

ImmediateContext::ImmediateContext(Device* device) : DeviceChild(device), queue_(device->vk()) {}

ImmediateContext::~ImmediateContext() { ClearState(); }

HRESULT STDMETHODCALLTYPE ImmediateContext::QueryInterface(REFIID riid, void** object) {
    return queryFor(riid, object, {IID_IUnknown, IID_ID3D11DeviceChild, IID_ID3D11DeviceContext});
}

template <class T>
void ImmediateContext::rebind(T*& slot, T* object) {
    if (object == slot) return;
    if (object) object->AddRef();
    if (slot) slot->Release();
    slot = object;
}

HRESULT STDMETHODCALLTYPE ImmediateContext::Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP mapType,
                                                UINT mapFlags, D3D11_MAPPED_SUBRESOURCE* mapped) {
    logCall("Map", static_cast<int>(mapType), mapFlags);
    if (mapped) *mapped = {};
    if (platform_hooks::shouldFail(platform_hooks::FailPoint::Map)) return E_OUTOFMEMORY;
    if (!resource || !mapped || subresource != 0) return E_INVALIDARG;

    if (auto* buffer = dynamic_cast<Buffer*>(resource)) {
        const D3D11_BUFFER_DESC& desc = buffer->desc();
        if (buffer->constants()) {
            // Dispatch copies the constants it sees, so a discarding map
            // never has to wait for or disturb earlier dispatches.
            if (desc.Usage != D3D11_USAGE_DYNAMIC ||
                (mapType != D3D11_MAP_WRITE_DISCARD && mapType != D3D11_MAP_WRITE_NO_OVERWRITE))
                return E_INVALIDARG;
            mapped->pData = buffer->constants();
            mapped->RowPitch = desc.ByteWidth;
            mapped->DepthPitch = desc.ByteWidth;
            return S_OK;
        }
        if (desc.Usage != D3D11_USAGE_STAGING) return E_INVALIDARG;
        return mapStaging(buffer->memory(), desc.CPUAccessFlags, mapType, mapFlags, desc.ByteWidth, desc.ByteWidth,
                          mapped);
    }
    if (auto* texture = dynamic_cast<Texture2D*>(resource)) {
        if (!texture->staging()) return E_INVALIDARG;
        return mapStaging(texture->staging(), texture->desc().CPUAccessFlags, mapType, mapFlags, texture->rowPitch(),
                          texture->rowPitch() * texture->desc().Height, mapped);
    }
    return E_INVALIDARG;
}

HRESULT ImmediateContext::mapStaging(const std::shared_ptr<BufferMemory>& memory, UINT cpuAccess, D3D11_MAP mapType,
                                     UINT mapFlags, UINT rowPitch, UINT depthPitch,
                                     D3D11_MAPPED_SUBRESOURCE* mapped) {
    UINT needed;
    switch (mapType) {
        case D3D11_MAP_READ: needed = D3D11_CPU_ACCESS_READ; break;
        case D3D11_MAP_WRITE: needed = D3D11_CPU_ACCESS_WRITE; break;
        case D3D11_MAP_READ_WRITE: needed = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE; break;
        default: return E_INVALIDARG;
    }
    if ((cpuAccess & needed) != needed) return E_INVALIDARG;
    // The CPU may touch the memory only after the GPU work that uses it.
    if (mapFlags & D3D11_MAP_FLAG_DO_NOT_WAIT) {
        if (queue_.busy(memory->lastUse)) return DXGI_ERROR_WAS_STILL_DRAWING;
    } else {
        const auto start = std::chrono::steady_clock::now();
        const bool done = queue_.waitFor(memory->lastUse);
        platform_instrumentation::addTime(platform_instrumentation::Timer::GpuWait,
                                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!done) return DXGI_ERROR_DEVICE_REMOVED;
    }
    if (!memory->coherent) {
        auto range = make<VkMappedMemoryRange>(VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE);
        range.memory = memory->memory;
        range.size = VK_WHOLE_SIZE;
        // Without the invalidate the CPU could read stale bytes: no mapping.
        const HRESULT invalidated =
            VK(vkInvalidateMappedMemoryRanges(device_->vk().device(), 1, &range), DXGI_ERROR_DEVICE_REMOVED);
        if (FAILED(invalidated)) return invalidated;
    }
    mapped->pData = memory->mapped;
    mapped->RowPitch = rowPitch;
    mapped->DepthPitch = depthPitch;
    return S_OK;
}

void STDMETHODCALLTYPE ImmediateContext::Unmap(ID3D11Resource* resource, UINT subresource) {
    logCall("Unmap");
    if (!resource || subresource != 0) return;
    std::shared_ptr<BufferMemory> memory;
    if (auto* buffer = dynamic_cast<Buffer*>(resource))
        memory = buffer->memory();
    else if (auto* texture = dynamic_cast<Texture2D*>(resource))
        memory = texture->staging();
    if (!memory || !memory->mapped || memory->coherent) return;
    auto range = make<VkMappedMemoryRange>(VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE);
    range.memory = memory->memory;
    range.size = VK_WHOLE_SIZE;
    VK(vkFlushMappedMemoryRanges(device_->vk().device(), 1, &range), DXGI_ERROR_DEVICE_REMOVED);
}

void STDMETHODCALLTYPE ImmediateContext::CopyResource(ID3D11Resource* destination, ID3D11Resource* source) {
    logCall("CopyResource");
    if (!destination || !source || destination == source) return;
    auto* dstBuffer = dynamic_cast<Buffer*>(destination);
    auto* srcBuffer = dynamic_cast<Buffer*>(source);
    if (dstBuffer && srcBuffer) {
        if (!dstBuffer->memory() || !srcBuffer->memory()) return;
        if (dstBuffer->desc().ByteWidth != srcBuffer->desc().ByteWidth) return dropCopy("buffers of different sizes");
        copyBuffers(dstBuffer->memory(), srcBuffer->memory(), dstBuffer->desc().ByteWidth);
        return;
    }
    auto* dstTexture = dynamic_cast<Texture2D*>(destination);
    auto* srcTexture = dynamic_cast<Texture2D*>(source);
    if (dstTexture && srcTexture)
        copyTextures(*dstTexture, *srcTexture);
    else
        dropCopy("a buffer and a texture");
}

void ImmediateContext::copyBuffers(const std::shared_ptr<BufferMemory>& destination,
                                   const std::shared_ptr<BufferMemory>& source, VkDeviceSize size) {
    VkCommandBuffer commands = queue_.recording();
    if (!commands) return;
    queue_.beginCommand();
    VkBufferCopy region{0, 0, size};
    vkCmdCopyBuffer(commands, source->buffer, destination->buffer, 1, &region);
    queue_.use(destination);
    queue_.use(source);
    queue_.endCommand();
}

// Staging rows to an image, an image to staging rows, or staging to staging;
// the two textures must match as Direct3D requires.
void ImmediateContext::copyTextures(Texture2D& destination, Texture2D& source) {
    const D3D11_TEXTURE2D_DESC& d = destination.desc();
    const D3D11_TEXTURE2D_DESC& s = source.desc();
    if (d.Width != s.Width || d.Height != s.Height || d.Format != s.Format)
        return dropCopy("textures of different sizes or formats");
    if (destination.image() && source.image()) return dropCopy("two GPU textures, which this stand-in does not copy");
    if (destination.staging() && source.staging()) {
        copyBuffers(destination.staging(), source.staging(), destination.staging()->size);
        return;
    }
    VkCommandBuffer commands = queue_.recording();
    if (!commands) return;
    VkBufferImageCopy region{};
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.imageExtent = {d.Width, d.Height, 1};
    if (destination.image()) {
        ImageMemory& image = *destination.image();
        region.bufferRowLength = source.rowPitch() / source.texelSize();
        // The copy replaces every texel, so earlier contents may be dropped.
        image.layout = VK_IMAGE_LAYOUT_UNDEFINED;
        queue_.transition(image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
        queue_.beginCommand();
        vkCmdCopyBufferToImage(commands, source.staging()->buffer, image.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                               1, &region);
        queue_.transition(image, device_->vk().textureLayout());
        queue_.use(destination.image());
        queue_.use(source.staging());
    } else {
        ImageMemory& image = *source.image();
        region.bufferRowLength = destination.rowPitch() / destination.texelSize();
        queue_.transition(image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL);
        queue_.beginCommand();
        vkCmdCopyImageToBuffer(commands, image.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                               destination.staging()->buffer, 1, &region);
        queue_.transition(image, device_->vk().textureLayout());
        queue_.use(source.image());
        queue_.use(destination.staging());
    }
    queue_.endCommand();
}

void STDMETHODCALLTYPE ImmediateContext::CSSetUnorderedAccessViews(UINT startSlot, UINT count,
                                                                   ID3D11UnorderedAccessView* const* views,
                                                                   const UINT* initialCounts) {
    logCall("CSSetUnorderedAccessViews", startSlot, count, initialCounts ? initialCounts[0] : 0xFFFFFFFFu);
    for (UINT i = 0; i < count; ++i) {
        if (startSlot + i != 0) continue;  // only u0 reaches a shader
        rebind(uav_, views ? static_cast<UnorderedAccessView*>(views[i]) : nullptr);
    }
}

void STDMETHODCALLTYPE ImmediateContext::CSSetConstantBuffers(UINT startSlot, UINT count,
                                                              ID3D11Buffer* const* buffers) {
    logCall("CSSetConstantBuffers", startSlot, count);
    for (UINT i = 0; i < count; ++i) {
        if (startSlot + i != 0) continue;  // only b0 reaches a shader
        rebind(constantBuffer_, buffers ? static_cast<Buffer*>(buffers[i]) : nullptr);
    }
}

void STDMETHODCALLTYPE ImmediateContext::CSSetShader(ID3D11ComputeShader* shader,
                                                     ID3D11ClassInstance* const* instances, UINT instanceCount) {
    logCall("CSSetShader", instances ? 1 : 0, instanceCount);
    rebind(shader_, static_cast<ComputeShader*>(shader));
}

void STDMETHODCALLTYPE ImmediateContext::CSSetShaderResources(UINT startSlot, UINT count,
                                                              ID3D11ShaderResourceView* const* views) {
    logCall("CSSetShaderResources", startSlot, count);
    for (UINT i = 0; i < count; ++i) {
        UINT slot = startSlot + i;
        if (slot >= kTextureSlots) break;  // only t0-t15 reach a shader
        rebind(views_[slot], views ? static_cast<ShaderResourceView*>(views[i]) : nullptr);
    }
}

// A texture no copy has filled yet reads as zero.
bool ImmediateContext::readyTextures() {
    for (ShaderResourceView* view : views_) {
        if (!view) continue;
        ImageMemory& image = *view->view()->image;
        if (image.layout == VK_IMAGE_LAYOUT_UNDEFINED) {
            VkCommandBuffer commands = queue_.recording();
            if (!commands) return false;
            queue_.transition(image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
            queue_.beginCommand();
            VkClearColorValue zero{};
            VkImageSubresourceRange range{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
            vkCmdClearColorImage(commands, image.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &zero, 1, &range);
            queue_.use(view->view());
            queue_.endCommand();
            if (!queue_.recording()) return false;
        }
        queue_.transition(image, device_->vk().textureLayout());
    }
    return true;
}

// Storage-image reads where the device prefers them and the shader allows,
// in the format of the bound textures; sampled reads otherwise.
TextureRead ImmediateContext::textureRead() const {
    if (!device_->vk().storageTextures() || !shader_->pipeline()->storageReadable) return TextureRead::Sampled;
    VkFormat format = VK_FORMAT_UNDEFINED;
    for (ShaderResourceView* view : views_) {
        if (!view) continue;
        VkFormat bound = view->view()->image->format;
        if (format != VK_FORMAT_UNDEFINED && bound != format) return TextureRead::Sampled;
        format = bound;
    }
    return format == VK_FORMAT_R16G16_UNORM ? TextureRead::StorageRg16 : TextureRead::StorageR16;
}

VkDescriptorSet ImmediateContext::writeDescriptors(bool storage) {
    VulkanState& vk = device_->vk();
    VkDescriptorSet set = queue_.allocateSet(storage);
    if (!set) return VK_NULL_HANDLE;
    VkDescriptorImageInfo images[kTextureSlots];
    for (uint32_t i = 0; i < kTextureSlots; ++i)
        images[i] = {VK_NULL_HANDLE, views_[i] ? views_[i]->view()->view : VK_NULL_HANDLE, vk.textureLayout()};
    // Unbound slots are null descriptors, which read as zero.
    VkDescriptorBufferInfo constants{VK_NULL_HANDLE, 0, VK_WHOLE_SIZE};
    if (constantBuffer_) {
        VkDeviceSize size = std::min<VkDeviceSize>(constantBuffer_->desc().ByteWidth, vk.limits().maxUniformBufferRange);
        if (!queue_.uploadConstants(constantBuffer_->constants(), size, &constants)) return VK_NULL_HANDLE;
    }
    VkDescriptorBufferInfo output{VK_NULL_HANDLE, 0, VK_WHOLE_SIZE};
    if (uav_) output = {uav_->memory()->buffer, uav_->offset(), uav_->range()};

    VkWriteDescriptorSet writes[3] = {};
    for (auto& w : writes) {
        w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        w.dstSet = set;
        w.descriptorCount = 1;
    }
    writes[0].dstBinding = kTextureBinding;
    writes[0].descriptorCount = kTextureSlots;
    writes[0].descriptorType = storage ? VK_DESCRIPTOR_TYPE_STORAGE_IMAGE : VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
    writes[0].pImageInfo = images;
    writes[1].dstBinding = kConstantBufferBinding;
    writes[1].descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
    writes[1].pBufferInfo = &constants;
    writes[2].dstBinding = kUavBinding;
    writes[2].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    writes[2].pBufferInfo = &output;
    vkUpdateDescriptorSets(vk.device(), 3, writes, 0, nullptr);
    return set;
}

void STDMETHODCALLTYPE ImmediateContext::Dispatch(UINT groupsX, UINT groupsY, UINT groupsZ) {
    logCall("Dispatch", groupsX, groupsY, groupsZ);
    if (!shader_ || groupsX == 0 || groupsY == 0 || groupsZ == 0) return;
    // Work that cannot be recorded reports the device as removed at the next
    // wait rather than let a skipped dispatch pass as done.
    TextureRead read = textureRead();
    const uint8_t* constants = constantBuffer_ ? constantBuffer_->constants() : nullptr;
    const size_t constantBytes = constantBuffer_ ? constantBuffer_->desc().ByteWidth : 0;
    VkPipeline pipeline = shader_->pipeline()->handle(read, constants, constantBytes);
    if (!pipeline && read != TextureRead::Sampled) {
        read = TextureRead::Sampled;  // a driver that refuses the rewritten module
        pipeline = shader_->pipeline()->handle(read, constants, constantBytes);
    }
    if (!pipeline) {
        queue_.markLost();
        return;
    }
    VulkanState& vk = device_->vk();
    const uint32_t* maxGroups = vk.limits().maxComputeWorkGroupCount;
    if (groupsX > maxGroups[0] || groupsY > maxGroups[1] || groupsZ > maxGroups[2]) {
        queue_.markLost();
        return;
    }
    if (!queue_.recording() || !readyTextures()) return;
    const bool storage = read != TextureRead::Sampled;
    VkDescriptorSet set = writeDescriptors(storage);
    if (!set) {
        queue_.markLost();
        return;
    }
    VkCommandBuffer commands = queue_.recording();
    queue_.beginCommand();
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
    vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_COMPUTE, vk.pipelineLayout(storage), kResourceSet, 1,
                            &set, 0, nullptr);
    vkCmdDispatch(commands, groupsX, groupsY, groupsZ);
    queue_.use(shader_->pipeline());
    for (ShaderResourceView* view : views_)
        if (view) queue_.use(view->view());
    if (uav_) queue_.use(uav_->memory());
    queue_.endCommand();
}

void STDMETHODCALLTYPE ImmediateContext::ClearState() {
    logCall("ClearState");
    for (auto& view : views_) rebind(view, static_cast<ShaderResourceView*>(nullptr));
    rebind(constantBuffer_, static_cast<Buffer*>(nullptr));
    rebind(uav_, static_cast<UnorderedAccessView*>(nullptr));
    rebind(shader_, static_cast<ComputeShader*>(nullptr));
}

void STDMETHODCALLTYPE ImmediateContext::Flush() { queue_.submit(); }

}  // namespace d3d11vk
