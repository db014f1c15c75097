#include "platform/d3d11/command_queue.h"

#include <algorithm>
#include <cstring>

#include "platform/d3d11/vk_check.h"

namespace d3d11vk {
namespace {

// A batch is submitted early once it holds this many transfers and
// dispatches, so the GPU starts while the CPU goes on recording.
constexpr size_t kCommandsPerBatch = 32;
constexpr size_t kMaxInFlight = 4;
constexpr uint32_t kSetsPerPool = 64;
constexpr VkDeviceSize kChunkSize = 64 * 1024;

constexpr VkPipelineStageFlags kWorkStages = VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT;
constexpr VkAccessFlags kWrites = VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_WRITE_BIT;
constexpr VkAccessFlags kAccesses = VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT |
                                    VK_ACCESS_UNIFORM_READ_BIT | VK_ACCESS_TRANSFER_READ_BIT |
                                    VK_ACCESS_TRANSFER_WRITE_BIT;

void memoryBarrier(VkCommandBuffer commands, VkPipelineStageFlags dstStages, VkAccessFlags dstAccess) {
    auto barrier = make<VkMemoryBarrier>(VK_STRUCTURE_TYPE_MEMORY_BARRIER);
    barrier.srcAccessMask = kWrites;
    barrier.dstAccessMask = dstAccess;
    vkCmdPipelineBarrier(commands, kWorkStages, dstStages, 0, 1, &barrier, 0, nullptr, 0, nullptr);
}

}  // namespace

CommandQueue::CommandQueue(VulkanState& vk) : vk_(vk) {
    auto info = make<VkCommandPoolCreateInfo>(VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO);
    info.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    info.queueFamilyIndex = vk.queueFamily();
    if (FAILED(VK(vkCreateCommandPool(vk.device(), &info, nullptr, &pool_), DXGI_ERROR_DEVICE_REMOVED))) {
        pool_ = VK_NULL_HANDLE;
        lost_ = true;
    }
}

CommandQueue::~CommandQueue() {
    submit();
    vkQueueWaitIdle(vk_.queue());
    if (current_) destroy(*current_);
    for (auto& batch : inFlight_) destroy(*batch);
    for (auto& batch : spare_) destroy(*batch);
    if (pool_) vkDestroyCommandPool(vk_.device(), pool_, nullptr);
}

void CommandQueue::destroy(Batch& batch) {
    VkDevice device = vk_.device();
    batch.keepAlive.clear();
    batch.chunks.clear();
    for (VkDescriptorPool pool : batch.pools) vkDestroyDescriptorPool(device, pool, nullptr);
    if (batch.fence) vkDestroyFence(device, batch.fence, nullptr);
    if (batch.commands) vkFreeCommandBuffers(device, pool_, 1, &batch.commands);
}

std::unique_ptr<CommandQueue::Batch> CommandQueue::takeBatch() {
    retireCompleted(false, 0);
    std::unique_ptr<Batch> batch;
    if (!spare_.empty()) {
        batch = std::move(spare_.back());
        spare_.pop_back();
    } else {
        batch = std::make_unique<Batch>();
        auto allocate = make<VkCommandBufferAllocateInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO);
        allocate.commandPool = pool_;
        allocate.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        allocate.commandBufferCount = 1;
        auto fence = make<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
        if (FAILED(VK(vkAllocateCommandBuffers(vk_.device(), &allocate, &batch->commands), DXGI_ERROR_DEVICE_REMOVED))) {
            batch->commands = VK_NULL_HANDLE;
            return nullptr;
        }
        if (FAILED(VK(vkCreateFence(vk_.device(), &fence, nullptr, &batch->fence), DXGI_ERROR_DEVICE_REMOVED))) {
            batch->fence = VK_NULL_HANDLE;
            destroy(*batch);
            return nullptr;
        }
    }
    auto begin = make<VkCommandBufferBeginInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO);
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (FAILED(VK(vkBeginCommandBuffer(batch->commands, &begin), DXGI_ERROR_DEVICE_REMOVED))) {
        destroy(*batch);
        return nullptr;
    }
    batch->serial = nextSerial_++;
    batch->barrierDue = true;
    return batch;
}

VkCommandBuffer CommandQueue::recording() {
    if (lost_) return VK_NULL_HANDLE;
    if (!current_) {
        current_ = takeBatch();
        if (!current_) {
            lost_ = true;
            return VK_NULL_HANDLE;
        }
    }
    return current_->commands;
}

void CommandQueue::beginCommand() {
    if (!current_->barrierDue) return;
    memoryBarrier(current_->commands, kWorkStages, kAccesses);
    current_->barrierDue = false;
}

void CommandQueue::endCommand() {
    current_->barrierDue = true;
    if (++current_->recorded >= kCommandsPerBatch) submit();
}

void CommandQueue::transition(ImageMemory& image, VkImageLayout layout) {
    if (image.layout == layout) return;
    auto barrier = make<VkImageMemoryBarrier>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER);
    barrier.srcAccessMask = kWrites;
    barrier.dstAccessMask = kAccesses;
    barrier.oldLayout = image.layout;
    barrier.newLayout = layout;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = image.image;
    barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    vkCmdPipelineBarrier(current_->commands, kWorkStages, kWorkStages, 0, 0, nullptr, 0, nullptr, 1, &barrier);
    image.layout = layout;
}

void CommandQueue::use(const std::shared_ptr<GpuObject>& object) {
    object->lastUse = current_->serial;
    current_->keepAlive.push_back(object);
}

VkDescriptorSet CommandQueue::allocateSet(bool storageTextures) {
    Batch& batch = *current_;
    for (;;) {
        bool fresh = false;
        if (batch.activePool == batch.pools.size()) {
            VkDescriptorPoolSize sizes[4] = {
                {VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, kSetsPerPool * kTextureSlots},
                {VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, kSetsPerPool},
                {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, kSetsPerPool},
                {VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, kSetsPerPool * kTextureSlots},
            };
            auto info = make<VkDescriptorPoolCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO);
            info.maxSets = kSetsPerPool;
            info.poolSizeCount = vk_.storageTextures() ? 4 : 3;
            info.pPoolSizes = sizes;
            VkDescriptorPool pool = VK_NULL_HANDLE;
            if (FAILED(VK(vkCreateDescriptorPool(vk_.device(), &info, nullptr, &pool), DXGI_ERROR_DEVICE_REMOVED)))
                return VK_NULL_HANDLE;
            batch.pools.push_back(pool);
            fresh = true;
        }
        VkDescriptorSetLayout layout = vk_.setLayout(storageTextures);
        auto info = make<VkDescriptorSetAllocateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO);
        info.descriptorPool = batch.pools[batch.activePool];
        info.descriptorSetCount = 1;
        info.pSetLayouts = &layout;
        VkDescriptorSet set = VK_NULL_HANDLE;
        VkResult result = vkAllocateDescriptorSets(vk_.device(), &info, &set);
        if (result == VK_SUCCESS) return set;
        // A full pool is expected: the next one is tried; a fresh one that refuses is a failure.
        if (fresh || (result != VK_ERROR_OUT_OF_POOL_MEMORY && result != VK_ERROR_FRAGMENTED_POOL)) {
            VK(result, DXGI_ERROR_DEVICE_REMOVED);
            return VK_NULL_HANDLE;
        }
        ++batch.activePool;
    }
}

bool CommandQueue::uploadConstants(const void* data, VkDeviceSize size, VkDescriptorBufferInfo* info) {
    Batch& batch = *current_;
    VkDeviceSize alignment = std::max<VkDeviceSize>(vk_.limits().minUniformBufferOffsetAlignment, 16);
    for (;;) {
        if (batch.activeChunk == batch.chunks.size()) {
            ConstantChunk chunk;
            chunk.memory = vk_.createBuffer(std::max(kChunkSize, size), VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT,
                                            MemoryUse::Upload);
            if (!chunk.memory) return false;
            batch.chunks.push_back(std::move(chunk));
        }
        ConstantChunk& chunk = batch.chunks[batch.activeChunk];
        VkDeviceSize offset = (chunk.used + alignment - 1) / alignment * alignment;
        if (offset + size <= chunk.memory->size) {
            std::memcpy(chunk.memory->mapped + offset, data, size);
            chunk.used = offset + size;
            *info = {chunk.memory->buffer, offset, size};
            return true;
        }
        ++batch.activeChunk;
    }
}

void CommandQueue::submit() {
    if (!current_ || current_->recorded == 0 || lost_) return;
    Batch& batch = *current_;
    // Makes the batch's writes visible to the CPU that waits on its fence.
    memoryBarrier(batch.commands, VK_PIPELINE_STAGE_HOST_BIT, VK_ACCESS_HOST_READ_BIT);
    // Constants the GPU might not see would give wrong frames: a failed
    // flush loses the device rather than submit the batch.
    for (const ConstantChunk& chunk : batch.chunks) {
        if (chunk.used == 0 || chunk.memory->coherent) continue;
        auto range = make<VkMappedMemoryRange>(VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE);
        range.memory = chunk.memory->memory;
        range.size = VK_WHOLE_SIZE;
        if (FAILED(VK(vkFlushMappedMemoryRanges(vk_.device(), 1, &range), DXGI_ERROR_DEVICE_REMOVED))) {
            lost_ = true;
            return;
        }
    }
    auto info = make<VkSubmitInfo>(VK_STRUCTURE_TYPE_SUBMIT_INFO);
    info.commandBufferCount = 1;
    info.pCommandBuffers = &batch.commands;
    if (FAILED(VK(vkEndCommandBuffer(batch.commands), DXGI_ERROR_DEVICE_REMOVED)) ||
        FAILED(VK(vkQueueSubmit(vk_.queue(), 1, &info, batch.fence), DXGI_ERROR_DEVICE_REMOVED))) {
        lost_ = true;
        return;
    }
    inFlight_.push_back(std::move(current_));
    if (inFlight_.size() > kMaxInFlight) retireCompleted(true, inFlight_.front()->serial);
}

// Recycles the batches whose fences have signalled; with wait, first waits
// for every batch up to the given serial.
void CommandQueue::retireCompleted(bool wait, uint64_t upTo) {
    while (!inFlight_.empty()) {
        Batch& batch = *inFlight_.front();
        VkResult status;
        if (wait && batch.serial <= upTo)
            status = vkWaitForFences(vk_.device(), 1, &batch.fence, VK_TRUE, UINT64_MAX);
        else
            status = vkGetFenceStatus(vk_.device(), batch.fence);
        if (status == VK_NOT_READY || status == VK_TIMEOUT) return;
        if (FAILED(VK(status, DXGI_ERROR_DEVICE_REMOVED))) {
            lost_ = true;
            return;
        }
        completed_ = std::max(completed_, batch.serial);
        std::unique_ptr<Batch> done = std::move(inFlight_.front());
        inFlight_.pop_front();
        // A batch whose fence or commands cannot be reset would be reused
        // still signalled or still recorded: it is dropped instead.
        if (recycle(*done))
            spare_.push_back(std::move(done));
        else
            destroy(*done);
    }
}

bool CommandQueue::recycle(Batch& batch) {
    VkDevice device = vk_.device();
    if (FAILED(VK(vkResetFences(device, 1, &batch.fence), DXGI_ERROR_DEVICE_REMOVED)) ||
        FAILED(VK(vkResetCommandBuffer(batch.commands, 0), DXGI_ERROR_DEVICE_REMOVED)))
        return false;
    for (VkDescriptorPool pool : batch.pools) vkResetDescriptorPool(device, pool, 0);
    batch.activePool = 0;
    for (ConstantChunk& chunk : batch.chunks) chunk.used = 0;
    batch.activeChunk = 0;
    batch.keepAlive.clear();
    batch.recorded = 0;
    return true;
}

bool CommandQueue::waitFor(uint64_t serial) {
    // A removed device fails every wait, as Direct3D's Map does after removal.
    if (lost_) return false;
    if (serial <= completed_) return true;
    if (current_ && serial >= current_->serial) submit();
    retireCompleted(true, serial);
    return !lost_;
}

bool CommandQueue::busy(uint64_t serial) {
    if (serial <= completed_) return false;
    if (current_ && serial >= current_->serial) submit();
    retireCompleted(false, 0);
    return serial > completed_ && !lost_;
}

}  // namespace d3d11vk
