// Vulkan state shared by the Direct3D 11 objects of one device: the chosen
// physical device, the logical device and queue, memory helpers, the one
// descriptor-set and pipeline layout every compute shader uses, and the
// GPU-side backings that resources and views own.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/resource_bindings.h"

namespace d3d11vk {

// A zeroed Vulkan structure with its type set.
template <class T>
T make(VkStructureType type) {
    T value{};
    value.sType = type;
    return value;
}

// Bindings shared by all compute shaders (platform/resource_bindings.h). The
// compiler puts them in descriptor set 0; the device moves them to set 1
// behind a placeholder set holding one unused image. Lavapipe (Mesa 22.3) returns zeros from
// constant-index loads of its texture unit 0 in shaders that also index the
// array dynamically, as the denoise kernels do; the placeholder keeps the
// texture array off that unit, and costs nothing on other drivers.
using platform_bindings::kCompilerSet;
using platform_bindings::kConstantBufferBinding;
using platform_bindings::kTextureBinding;
using platform_bindings::kTextureSlots;
using platform_bindings::kUavBinding;
constexpr uint32_t kResourceSet = 1;

// Facts of one physical device, as listed and as used for picking.
struct PhysicalDeviceInfo {
    VkPhysicalDevice handle = VK_NULL_HANDLE;
    uint32_t index = 0;  // position in the instance's enumeration
    VkPhysicalDeviceProperties properties{};
    VkPhysicalDeviceMemoryProperties memory{};
    uint32_t queueFamily = 0;
    bool usable = false;
    std::string missing;  // why it is not usable
    bool needsScalarExtension = false;  // scalarBlockLayout only through VK_EXT_scalar_block_layout
    uint8_t luid[VK_LUID_SIZE] = {};
    bool luidValid = false;
    VkDeviceSize maxAllocation = 0;
};

// The process-wide instance; null when Vulkan is unavailable.
VkInstance sharedInstance();
// Every physical device of the instance with its usability.
std::vector<PhysicalDeviceInfo> enumeratePhysicalDevices();
// The device QUENDA_VULKAN_DEVICE names, else the preferred usable one;
// false when there is none.
bool pickPhysicalDevice(PhysicalDeviceInfo* picked);
// Writes to standard error, once, why no device could be picked: no
// instance, no device, or what each unusable device lacks.
void explainNoUsableDevice();

// Anything a recorded command uses; the command queue keeps it alive until
// the submission that used it has completed.
struct GpuObject {
    uint64_t lastUse = 0;  // serial of the last submission that used it
    virtual ~GpuObject() = default;
};

class VulkanState;

struct BufferMemory : GpuObject {
    VulkanState* vk = nullptr;
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkDeviceSize size = 0;
    uint8_t* mapped = nullptr;  // persistent mapping of host-visible memory
    bool coherent = true;
    ~BufferMemory() override;
};

struct ImageMemory : GpuObject {
    VulkanState* vk = nullptr;
    VkImage image = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkFormat format = VK_FORMAT_UNDEFINED;
    uint32_t width = 0;
    uint32_t height = 0;
    // Layout at the end of the commands recorded so far.
    VkImageLayout layout = VK_IMAGE_LAYOUT_UNDEFINED;
    VkDeviceSize memorySize = 0;
    uint32_t memoryType = 0;
    ~ImageMemory() override;
};

struct ImageViewObject : GpuObject {
    VulkanState* vk = nullptr;
    std::shared_ptr<ImageMemory> image;
    VkImageView view = VK_NULL_HANDLE;
    ~ImageViewObject() override;
};

// How a pipeline's textures are read: as sampled images, or as storage
// images of one format (platform/d3d11/storage_textures.h).
enum class TextureRead { Sampled, StorageR16, StorageRg16, Count };

struct PipelineObject : GpuObject {
    VulkanState* vk = nullptr;
    // A pipeline is built from the module at its first use, as drivers
    // compile shaders when they are first needed: a shader that is made but
    // never run costs no compile. Null when the build failed. `constants`
    // are the bound constant buffer's bytes (null for none), whose
    // specialised integers pick the pipeline.
    VkPipeline handle(TextureRead read, const uint8_t* constants, size_t size);
    // Builds the pipeline of a read; with the specialised module where
    // `values` is given (platform/d3d11/constant_specialisation.h).
    std::function<VkPipeline(TextureRead, const VkSpecializationInfo* values)> build;
    bool storageReadable = false;  // its textures can be read as storage images
    // The specialised integers: constant id and offset in the constant
    // buffer; none: one pipeline per read.
    std::vector<VkSpecializationMapEntry> specialised;
    // By read and specialised integers (none for the generic module).
    std::map<std::pair<TextureRead, std::vector<uint32_t>>, VkPipeline> pipelines;
    ~PipelineObject() override;
};

enum class MemoryUse {
    DeviceLocal,  // GPU-only resources
    Upload,       // CPU writes, GPU reads
    Readback,     // GPU writes, CPU reads
};

// Enabled shader capabilities that depend on the device.
struct ShaderFeatures {
    bool float64 = false;
    bool int64 = false;
    bool int16 = false;
    bool extendedFormats = false;  // storage images of R16 and Rg16
};

struct EnabledFeatures;

class VulkanState {
public:
    // Creates the logical device on the picked physical device; nullptr when
    // that fails.
    static std::unique_ptr<VulkanState> create(const PhysicalDeviceInfo& physical);
    ~VulkanState();
    VulkanState(const VulkanState&) = delete;
    VulkanState& operator=(const VulkanState&) = delete;

    const PhysicalDeviceInfo& physical() const { return physical_; }
    const VkPhysicalDeviceLimits& limits() const { return physical_.properties.limits; }
    VkDevice device() const { return device_; }
    VkQueue queue() const { return queue_; }
    uint32_t queueFamily() const { return physical_.queueFamily; }
    // The layouts of shaders whose textures are sampled images, or storage
    // images (platform/d3d11/storage_textures.h).
    VkDescriptorSetLayout setLayout(bool storageTextures) const { return layouts_[storageTextures].set; }
    VkPipelineLayout pipelineLayout(bool storageTextures) const { return layouts_[storageTextures].pipeline; }
    // Whether shaders read textures as storage images here: on CPU devices,
    // where that is the cheaper load, unless QUENDA_D3D11_SAMPLED_TEXTURES=1.
    bool storageTextures() const { return storageTextures_; }
    // The layout of a texture that shaders may read.
    VkImageLayout textureLayout() const {
        return storageTextures_ ? VK_IMAGE_LAYOUT_GENERAL : VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
    }
    const ShaderFeatures& shaderFeatures() const { return shaderFeatures_; }
    VkDeviceSize maxAllocation() const { return physical_.maxAllocation; }

    // nullptr when the buffer or its memory cannot be made.
    std::shared_ptr<BufferMemory> createBuffer(VkDeviceSize size, VkBufferUsageFlags usage, MemoryUse use);
    std::shared_ptr<ImageMemory> createImage(uint32_t width, uint32_t height, VkFormat format,
                                             VkImageUsageFlags usage);
    // Takes back the memory of a destroyed image. A frame's textures are made
    // and released once per frame at the same sizes: a few such blocks are
    // kept for the next image, whose pages are then already in place.
    void releaseImageMemory(VkDeviceMemory memory, VkDeviceSize size, uint32_t type);

private:
    VulkanState() = default;
    bool createDevice(const EnabledFeatures& features);
    bool createLayouts(bool storageTextures);
    bool allocate(const VkMemoryRequirements& requirements, MemoryUse use, VkDeviceMemory* memory,
                  VkMemoryPropertyFlags* flags, uint32_t* type = nullptr);

    PhysicalDeviceInfo physical_;
    VkDevice device_ = VK_NULL_HANDLE;
    VkQueue queue_ = VK_NULL_HANDLE;
    VkDescriptorSetLayout placeholderLayout_ = VK_NULL_HANDLE;
    struct Layouts {
        VkDescriptorSetLayout set = VK_NULL_HANDLE;
        VkPipelineLayout pipeline = VK_NULL_HANDLE;
    };
    Layouts layouts_[2];  // sampled textures, storage textures
    bool storageTextures_ = false;
    ShaderFeatures shaderFeatures_;
    struct KeptMemory {
        VkDeviceMemory memory;
        VkDeviceSize size;
        uint32_t type;
    };
    std::mutex keptMutex_;
    std::vector<KeptMemory> kept_;  // oldest first
};

}  // namespace d3d11vk
