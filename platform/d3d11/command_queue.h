// Recording and submission for the immediate context: one command buffer
// being recorded, earlier ones in flight behind fences. Each batch owns its
// descriptor pools, its constant-data chunks and references to everything its
// commands use, all recycled once its fence has signalled.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "platform/d3d11/vulkan_state.h"

namespace d3d11vk {

class CommandQueue {
public:
    explicit CommandQueue(VulkanState& vk);
    // Submits what is recorded and waits for all of it.
    ~CommandQueue();
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    // The command buffer being recorded, begun on first use; null once the
    // device has failed.
    VkCommandBuffer recording();
    // Called before each transfer or dispatch: orders it after every command
    // recorded or submitted before it.
    void beginCommand();
    // Called after it; submits when the batch has grown large.
    void endCommand();
    // Moves an image to a layout, keeping earlier commands' writes visible.
    void transition(ImageMemory& image, VkImageLayout layout);
    // Keeps the object alive until the batch completes and stamps its last use.
    void use(const std::shared_ptr<GpuObject>& object);

    VkDescriptorSet allocateSet(bool storageTextures);
    // Copies constants into this batch's memory; false when out of memory.
    bool uploadConstants(const void* data, VkDeviceSize size, VkDescriptorBufferInfo* info);

    // Submits the recorded batch, if it holds anything.
    void submit();
    // Waits until the batch with this serial has completed, submitting it
    // first if it is still being recorded; false when the device failed.
    bool waitFor(uint64_t serial);
    // Whether the batch with this serial is still pending (submitting it).
    bool busy(uint64_t serial);
    bool lost() const { return lost_; }
    // The device can no longer do the work asked of it: later waits fail.
    void markLost() { lost_ = true; }

private:
    struct ConstantChunk {
        std::shared_ptr<BufferMemory> memory;
        VkDeviceSize used = 0;
    };
    struct Batch {
        VkCommandBuffer commands = VK_NULL_HANDLE;
        VkFence fence = VK_NULL_HANDLE;
        uint64_t serial = 0;
        std::vector<VkDescriptorPool> pools;
        size_t activePool = 0;
        std::vector<ConstantChunk> chunks;
        size_t activeChunk = 0;
        std::vector<std::shared_ptr<GpuObject>> keepAlive;
        size_t recorded = 0;
        bool barrierDue = true;
    };

    std::unique_ptr<Batch> takeBatch();
    void retireCompleted(bool wait, uint64_t upTo);
    bool recycle(Batch& batch);
    void destroy(Batch& batch);

    VulkanState& vk_;
    VkCommandPool pool_ = VK_NULL_HANDLE;
    std::unique_ptr<Batch> current_;
    std::deque<std::unique_ptr<Batch>> inFlight_;
    std::vector<std::unique_ptr<Batch>> spare_;
    uint64_t nextSerial_ = 1;
    uint64_t completed_ = 0;
    bool lost_ = false;
};

}  // namespace d3d11vk
