#include "platform/d3d11/vulkan_state.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/d3d11/vk_check.h"

namespace d3d11vk {
namespace {

uint32_t instanceVersion() {
    uint32_t version = VK_API_VERSION_1_0;
    if (vkEnumerateInstanceVersion(&version) != VK_SUCCESS) return VK_API_VERSION_1_0;
    return version;
}

// Created once, kept for the life of the process: devices come and go, the
// loader and the driver list do not.
VkInstance createInstance() {
    uint32_t loader = instanceVersion();
    if (loader < VK_API_VERSION_1_1) return VK_NULL_HANDLE;
    auto app = make<VkApplicationInfo>(VK_STRUCTURE_TYPE_APPLICATION_INFO);
    app.pApplicationName = "quenda";
    app.pEngineName = "quenda-d3d11";
    app.apiVersion = loader >= VK_API_VERSION_1_2 ? VK_API_VERSION_1_2 : VK_API_VERSION_1_1;
    auto info = make<VkInstanceCreateInfo>(VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO);
    info.pApplicationInfo = &app;
    VkInstance instance = VK_NULL_HANDLE;
    if (FAILED(VK(vkCreateInstance(&info, nullptr, &instance), E_FAIL))) return VK_NULL_HANDLE;
    return instance;
}

uint32_t effectiveVersion(const VkPhysicalDeviceProperties& properties) {
    uint32_t instance = instanceVersion() >= VK_API_VERSION_1_2 ? VK_API_VERSION_1_2 : VK_API_VERSION_1_1;
    return std::min(properties.apiVersion, instance);
}

bool hasExtension(const std::vector<VkExtensionProperties>& extensions, const char* name) {
    for (const auto& e : extensions)
        if (std::strcmp(e.extensionName, name) == 0) return true;
    return false;
}

void addMissing(std::string& missing, const char* what) {
    if (!missing.empty()) missing += ", ";
    missing += what;
}

const VkFormat kTextureFormats[] = {VK_FORMAT_R16_UNORM, VK_FORMAT_R16G16_UNORM};

// Properties, identity and memory; false when the device lacks Vulkan 1.1,
// whose queries the rest of the checks use.
bool readProperties(VkPhysicalDevice handle, PhysicalDeviceInfo& info) {
    auto maintenance3 = make<VkPhysicalDeviceMaintenance3Properties>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MAINTENANCE_3_PROPERTIES);
    auto ids = make<VkPhysicalDeviceIDProperties>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ID_PROPERTIES);
    ids.pNext = &maintenance3;
    auto properties = make<VkPhysicalDeviceProperties2>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2);
    vkGetPhysicalDeviceProperties(handle, &properties.properties);
    bool v11 = properties.properties.apiVersion >= VK_API_VERSION_1_1;
    if (v11) {
        properties.pNext = &ids;
        vkGetPhysicalDeviceProperties2(handle, &properties);
        std::memcpy(info.luid, ids.deviceLUID, VK_LUID_SIZE);
        info.luidValid = ids.deviceLUIDValid == VK_TRUE;
        info.maxAllocation = maintenance3.maxMemoryAllocationSize;
    }
    info.properties = properties.properties;
    vkGetPhysicalDeviceMemoryProperties(handle, &info.memory);
    if (!v11) addMissing(info.missing, "Vulkan 1.1");
    return v11;
}

// Robust image access, null descriptors and scalar block layout, which the
// device is made with.
void checkFeatures(VkPhysicalDevice handle, PhysicalDeviceInfo& info) {
    uint32_t count = 0;
    std::vector<VkExtensionProperties> extensions;
    // A list that cannot be read is said as such, not as missing extensions.
    bool listed = SUCCEEDED(VK(vkEnumerateDeviceExtensionProperties(handle, nullptr, &count, nullptr), E_FAIL));
    if (listed) {
        extensions.resize(count);
        const VkResult result = vkEnumerateDeviceExtensionProperties(handle, nullptr, &count, extensions.data());
        listed = result == VK_SUCCESS || result == VK_INCOMPLETE;
        if (!listed) VK(result, E_FAIL);
        extensions.resize(listed ? count : 0);
    }
    if (!listed) addMissing(info.missing, "a readable list of device extensions");

    bool robustness = hasExtension(extensions, VK_EXT_ROBUSTNESS_2_EXTENSION_NAME);
    bool coreScalar = effectiveVersion(info.properties) >= VK_API_VERSION_1_2;
    bool scalarExtension = hasExtension(extensions, VK_EXT_SCALAR_BLOCK_LAYOUT_EXTENSION_NAME);

    auto robustness2 = make<VkPhysicalDeviceRobustness2FeaturesEXT>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT);
    auto scalar = make<VkPhysicalDeviceScalarBlockLayoutFeatures>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_SCALAR_BLOCK_LAYOUT_FEATURES);
    auto features = make<VkPhysicalDeviceFeatures2>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2);
    void** tail = &features.pNext;
    if (robustness) {
        *tail = &robustness2;
        tail = &robustness2.pNext;
    }
    if (coreScalar || scalarExtension) {
        *tail = &scalar;
        tail = &scalar.pNext;
    }
    vkGetPhysicalDeviceFeatures2(handle, &features);

    if (!robustness) addMissing(info.missing, VK_EXT_ROBUSTNESS_2_EXTENSION_NAME);
    if (robustness && !robustness2.robustImageAccess2) addMissing(info.missing, "robustImageAccess2");
    if (robustness && !robustness2.nullDescriptor) addMissing(info.missing, "nullDescriptor");
    if (!coreScalar && !scalarExtension)
        addMissing(info.missing, "Vulkan 1.2 or " VK_EXT_SCALAR_BLOCK_LAYOUT_EXTENSION_NAME);
    else if (!scalar.scalarBlockLayout)
        addMissing(info.missing, "scalarBlockLayout");
    info.needsScalarExtension = !coreScalar;
}

void findComputeQueue(VkPhysicalDevice handle, PhysicalDeviceInfo& info) {
    uint32_t count = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(handle, &count, nullptr);
    std::vector<VkQueueFamilyProperties> families(count);
    vkGetPhysicalDeviceQueueFamilyProperties(handle, &count, families.data());
    for (uint32_t i = 0; i < count; ++i) {
        if (families[i].queueCount > 0 && (families[i].queueFlags & VK_QUEUE_COMPUTE_BIT)) {
            info.queueFamily = i;
            return;
        }
    }
    addMissing(info.missing, "a compute queue");
}

void checkTextureFormats(VkPhysicalDevice handle, PhysicalDeviceInfo& info) {
    const VkFormatFeatureFlags needed = VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT | VK_FORMAT_FEATURE_TRANSFER_DST_BIT |
                                        VK_FORMAT_FEATURE_TRANSFER_SRC_BIT;
    for (VkFormat format : kTextureFormats) {
        VkFormatProperties props{};
        vkGetPhysicalDeviceFormatProperties(handle, format, &props);
        if ((props.optimalTilingFeatures & needed) != needed) {
            addMissing(info.missing, "16-bit normalised sampled images");
            return;
        }
    }
}

PhysicalDeviceInfo describe(VkPhysicalDevice handle, uint32_t index) {
    PhysicalDeviceInfo info;
    info.handle = handle;
    info.index = index;
    if (readProperties(handle, info)) {
        checkFeatures(handle, info);
        findComputeQueue(handle, info);
        checkTextureFormats(handle, info);
    }
    info.usable = info.missing.empty();
    return info;
}

int typePreference(VkPhysicalDeviceType type) {
    switch (type) {
        case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 4;
        case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 3;
        case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 2;
        case VK_PHYSICAL_DEVICE_TYPE_CPU: return 1;
        default: return 0;
    }
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

VkInstance sharedInstance() {
    static VkInstance instance = createInstance();
    return instance;
}

std::vector<PhysicalDeviceInfo> enumeratePhysicalDevices() {
    std::vector<PhysicalDeviceInfo> result;
    VkInstance instance = sharedInstance();
    if (!instance) return result;
    uint32_t count = 0;
    if (FAILED(VK(vkEnumeratePhysicalDevices(instance, &count, nullptr), E_FAIL))) return result;
    std::vector<VkPhysicalDevice> handles(count);
    VkResult listed = vkEnumeratePhysicalDevices(instance, &count, handles.data());
    if (listed == VK_INCOMPLETE) listed = VK_SUCCESS;  // devices added since the count are left out
    if (FAILED(VK(listed, E_FAIL))) return result;
    handles.resize(count);
    for (uint32_t i = 0; i < count; ++i) result.push_back(describe(handles[i], i));
    return result;
}

bool pickPhysicalDevice(PhysicalDeviceInfo* picked) {
    std::vector<PhysicalDeviceInfo> devices = enumeratePhysicalDevices();
    const char* env = std::getenv("QUENDA_VULKAN_DEVICE");
    std::string wanted = env ? env : "";
    bool byIndex = !wanted.empty() && wanted.size() < 9 &&
                   std::all_of(wanted.begin(), wanted.end(), [](char c) { return c >= '0' && c <= '9'; });
    unsigned long index = byIndex ? std::strtoul(wanted.c_str(), nullptr, 10) : 0;
    const PhysicalDeviceInfo* best = nullptr;
    for (const auto& d : devices) {
        if (!d.usable) continue;
        if (byIndex && d.index != index) continue;
        if (!byIndex && !wanted.empty() &&
            lower(d.properties.deviceName).find(lower(wanted)) == std::string::npos)
            continue;
        if (!best || typePreference(d.properties.deviceType) > typePreference(best->properties.deviceType))
            best = &d;
    }
    if (!best) {
        if (!wanted.empty())
            std::fprintf(stderr, "QUENDA_VULKAN_DEVICE=%s names no usable Vulkan device\n", wanted.c_str());
        return false;
    }
    *picked = *best;
    return true;
}

void explainNoUsableDevice() {
    static std::atomic<bool> said{false};
    if (said.exchange(true)) return;
    if (!sharedInstance()) {
        std::fprintf(stderr, "Direct3D 11 stand-in: no Vulkan 1.1 instance; is a Vulkan driver installed?\n");
        return;
    }
    const std::vector<PhysicalDeviceInfo> devices = enumeratePhysicalDevices();
    if (devices.empty()) std::fprintf(stderr, "Direct3D 11 stand-in: Vulkan lists no device\n");
    for (const PhysicalDeviceInfo& d : devices)
        if (!d.usable)
            std::fprintf(stderr, "Direct3D 11 stand-in: Vulkan device %u (%s) lacks %s\n", d.index,
                         d.properties.deviceName, d.missing.c_str());
}

BufferMemory::~BufferMemory() {
    if (mapped) vkUnmapMemory(vk->device(), memory);
    if (buffer) vkDestroyBuffer(vk->device(), buffer, nullptr);
    if (memory) vkFreeMemory(vk->device(), memory, nullptr);
}

ImageMemory::~ImageMemory() {
    if (image) vkDestroyImage(vk->device(), image, nullptr);
    if (memory) vk->releaseImageMemory(memory, memorySize, memoryType);
}

ImageViewObject::~ImageViewObject() {
    if (view) vkDestroyImageView(vk->device(), view, nullptr);
}

VkPipeline PipelineObject::handle(TextureRead read, const uint8_t* constants, size_t size) {
    // A few sets of integers each; past them the generic module, which reads
    // them from the buffer.
    constexpr size_t kMaxVariants = 16;
    std::vector<uint32_t> values;
    std::vector<VkSpecializationMapEntry> entries;  // into `values`
    for (const VkSpecializationMapEntry& member : specialised) {
        uint32_t value = 0;  // an unbound buffer reads as zero
        if (constants && member.offset + sizeof value <= size)
            std::memcpy(&value, constants + member.offset, sizeof value);
        entries.push_back({member.constantID, uint32_t(values.size() * sizeof value), sizeof value});
        values.push_back(value);
    }
    auto key = std::make_pair(read, values);
    if (!values.empty() && !pipelines.count(key) && pipelines.size() >= kMaxVariants) key.second.clear();
    auto found = pipelines.find(key);
    if (found != pipelines.end()) return found->second;
    VkSpecializationInfo info{uint32_t(entries.size()), entries.data(), values.size() * sizeof(uint32_t),
                              values.data()};
    VkPipeline pipeline = build(read, key.second.empty() ? nullptr : &info);
    if (!pipeline && !key.second.empty()) pipeline = build(read, nullptr);  // a driver that refuses the constants
    pipelines[key] = pipeline;
    return pipeline;
}

PipelineObject::~PipelineObject() {
    for (const auto& entry : pipelines)
        if (entry.second) vkDestroyPipeline(vk->device(), entry.second, nullptr);
}

// The features a device is made with, linked in the order Vulkan reads them.
// Filled in place: the chain points into the record itself.
struct EnabledFeatures {
    VkPhysicalDeviceFeatures2 features;
    VkPhysicalDeviceRobustness2FeaturesEXT robustness2;
    VkPhysicalDeviceScalarBlockLayoutFeatures scalar;
};

namespace {

void chooseFeatures(VkPhysicalDevice handle, EnabledFeatures& enabled, ShaderFeatures& shader) {
    auto supported = make<VkPhysicalDeviceFeatures2>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2);
    auto robustSupported = make<VkPhysicalDeviceRobustness2FeaturesEXT>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT);
    supported.pNext = &robustSupported;
    vkGetPhysicalDeviceFeatures2(handle, &supported);

    // Direct3D defines out-of-range buffer access too, so robust buffer access
    // is on wherever the device offers it.
    enabled.scalar = make<VkPhysicalDeviceScalarBlockLayoutFeatures>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_SCALAR_BLOCK_LAYOUT_FEATURES);
    enabled.scalar.scalarBlockLayout = VK_TRUE;
    enabled.robustness2 = make<VkPhysicalDeviceRobustness2FeaturesEXT>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT);
    enabled.robustness2.pNext = &enabled.scalar;
    enabled.robustness2.robustImageAccess2 = VK_TRUE;
    enabled.robustness2.nullDescriptor = VK_TRUE;
    bool robustBuffers = supported.features.robustBufferAccess && robustSupported.robustBufferAccess2;
    enabled.robustness2.robustBufferAccess2 = robustBuffers ? VK_TRUE : VK_FALSE;
    enabled.features = make<VkPhysicalDeviceFeatures2>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2);
    enabled.features.pNext = &enabled.robustness2;
    VkPhysicalDeviceFeatures& core = enabled.features.features;
    core.robustBufferAccess = supported.features.robustBufferAccess;
    // Kernels index their texture array with loop counters. Every desktop
    // driver offers this; lavapipe indexes correctly without announcing it.
    core.shaderSampledImageArrayDynamicIndexing = supported.features.shaderSampledImageArrayDynamicIndexing;
    core.shaderStorageBufferArrayDynamicIndexing = supported.features.shaderStorageBufferArrayDynamicIndexing;
    core.shaderFloat64 = supported.features.shaderFloat64;
    core.shaderInt64 = supported.features.shaderInt64;
    core.shaderInt16 = supported.features.shaderInt16;
    shader.float64 = supported.features.shaderFloat64 == VK_TRUE;
    shader.int64 = supported.features.shaderInt64 == VK_TRUE;
    shader.int16 = supported.features.shaderInt16 == VK_TRUE;
    core.shaderStorageImageExtendedFormats = supported.features.shaderStorageImageExtendedFormats;
    shader.extendedFormats = supported.features.shaderStorageImageExtendedFormats == VK_TRUE;
}

// Storage-image reads of the texture formats, where they are the cheaper
// load: lavapipe's sampled fetches work out a mip level lane by lane.
bool prefersStorageTextures(const PhysicalDeviceInfo& physical, const ShaderFeatures& shader) {
    const char* sampled = std::getenv("QUENDA_D3D11_SAMPLED_TEXTURES");
    if ((sampled && std::strcmp(sampled, "1") == 0) || !shader.extendedFormats ||
        physical.properties.deviceType != VK_PHYSICAL_DEVICE_TYPE_CPU)
        return false;
    for (VkFormat format : kTextureFormats) {
        VkFormatProperties props{};
        vkGetPhysicalDeviceFormatProperties(physical.handle, format, &props);
        if (!(props.optimalTilingFeatures & VK_FORMAT_FEATURE_STORAGE_IMAGE_BIT)) return false;
    }
    return true;
}

}  // namespace

bool VulkanState::createDevice(const EnabledFeatures& features) {
    std::vector<const char*> extensions{VK_EXT_ROBUSTNESS_2_EXTENSION_NAME};
    if (physical_.needsScalarExtension) extensions.push_back(VK_EXT_SCALAR_BLOCK_LAYOUT_EXTENSION_NAME);

    float priority = 1.0f;
    auto queue = make<VkDeviceQueueCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO);
    queue.queueFamilyIndex = physical_.queueFamily;
    queue.queueCount = 1;
    queue.pQueuePriorities = &priority;
    auto info = make<VkDeviceCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO);
    info.pNext = &features.features;
    info.queueCreateInfoCount = 1;
    info.pQueueCreateInfos = &queue;
    info.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
    info.ppEnabledExtensionNames = extensions.data();
    if (FAILED(VK(vkCreateDevice(physical_.handle, &info, nullptr, &device_), DXGI_ERROR_UNSUPPORTED))) {
        // What was asked for, so that a refusal names the missing piece.
        std::string asked;
        for (const char* e : extensions) asked += std::string(asked.empty() ? "" : ", ") + e;
        std::fprintf(stderr,
                     "Direct3D 11 stand-in: %s refused a device with %s and robustImageAccess2, nullDescriptor, "
                     "scalarBlockLayout\n",
                     physical_.properties.deviceName, asked.c_str());
        device_ = VK_NULL_HANDLE;
        return false;
    }
    vkGetDeviceQueue(device_, physical_.queueFamily, 0, &queue_);
    return true;
}

// The descriptor-set layouts of compute shaders (textures as sampled images,
// and where the device reads them so, as storage images), the placeholder set
// before them, and the pipeline layouts of the two.
bool VulkanState::createLayouts(bool storageTextures) {
    VkDescriptorSetLayoutBinding bindings[3] = {};
    bindings[0].binding = kTextureBinding;
    bindings[0].descriptorType = VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
    bindings[0].descriptorCount = kTextureSlots;
    bindings[1].binding = kConstantBufferBinding;
    bindings[1].descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
    bindings[1].descriptorCount = 1;
    bindings[2].binding = kUavBinding;
    bindings[2].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    bindings[2].descriptorCount = 1;
    for (auto& b : bindings) b.stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    auto layout = make<VkDescriptorSetLayoutCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO);
    VkDescriptorSetLayoutBinding placeholder = bindings[0];
    placeholder.descriptorCount = 1;
    layout.bindingCount = 1;
    layout.pBindings = &placeholder;
    if (FAILED(VK(vkCreateDescriptorSetLayout(device_, &layout, nullptr, &placeholderLayout_), E_OUTOFMEMORY)))
        return false;
    for (int storage = 0; storage <= int(storageTextures); ++storage) {
        bindings[0].descriptorType = storage ? VK_DESCRIPTOR_TYPE_STORAGE_IMAGE : VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
        layout.bindingCount = 3;
        layout.pBindings = bindings;
        Layouts& made = layouts_[storage];
        if (FAILED(VK(vkCreateDescriptorSetLayout(device_, &layout, nullptr, &made.set), E_OUTOFMEMORY)))
            return false;
        VkDescriptorSetLayout sets[2] = {placeholderLayout_, made.set};
        auto pipeline = make<VkPipelineLayoutCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO);
        pipeline.setLayoutCount = 2;
        pipeline.pSetLayouts = sets;
        if (FAILED(VK(vkCreatePipelineLayout(device_, &pipeline, nullptr, &made.pipeline), E_OUTOFMEMORY)))
            return false;
    }
    storageTextures_ = storageTextures;
    return true;
}

std::unique_ptr<VulkanState> VulkanState::create(const PhysicalDeviceInfo& physical) {
    std::unique_ptr<VulkanState> state(new VulkanState());
    state->physical_ = physical;
    EnabledFeatures features;
    chooseFeatures(physical.handle, features, state->shaderFeatures_);
    const bool storageTextures = prefersStorageTextures(physical, state->shaderFeatures_);
    if (!state->createDevice(features) || !state->createLayouts(storageTextures)) return nullptr;
    return state;
}

VulkanState::~VulkanState() {
    if (!device_) return;
    vkDeviceWaitIdle(device_);
    for (const KeptMemory& block : kept_) vkFreeMemory(device_, block.memory, nullptr);
    for (const Layouts& l : layouts_) {
        if (l.pipeline) vkDestroyPipelineLayout(device_, l.pipeline, nullptr);
        if (l.set) vkDestroyDescriptorSetLayout(device_, l.set, nullptr);
    }
    if (placeholderLayout_) vkDestroyDescriptorSetLayout(device_, placeholderLayout_, nullptr);
    vkDestroyDevice(device_, nullptr);
}

// Tries the memory types that fit, best first: device-local resources fall
// back to any memory, as Direct3D pages out rather than failing.
bool VulkanState::allocate(const VkMemoryRequirements& requirements, MemoryUse use, VkDeviceMemory* memory,
                           VkMemoryPropertyFlags* flags, uint32_t* type) {
    if (physical_.maxAllocation && requirements.size > physical_.maxAllocation) return false;
    const VkPhysicalDeviceMemoryProperties& props = physical_.memory;
    std::vector<std::pair<int, uint32_t>> candidates;
    for (uint32_t i = 0; i < props.memoryTypeCount; ++i) {
        if (!(requirements.memoryTypeBits & (1u << i))) continue;
        VkMemoryPropertyFlags f = props.memoryTypes[i].propertyFlags;
        bool local = f & VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
        bool visible = f & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT;
        bool coherent = f & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
        bool cached = f & VK_MEMORY_PROPERTY_HOST_CACHED_BIT;
        int score = 0;
        switch (use) {
            case MemoryUse::DeviceLocal:
                score = (local ? 8 : 0) + (visible ? 0 : 1);
                break;
            case MemoryUse::Upload:
                if (!visible) continue;
                score = (coherent ? 8 : 0) + (local ? 0 : 2);
                break;
            case MemoryUse::Readback:
                if (!visible) continue;
                score = (cached ? 8 : 0) + (coherent ? 4 : 0) + (local ? 0 : 1);
                break;
        }
        candidates.emplace_back(score, i);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    // A type that refuses is no failure while another one is left to try.
    VkResult allocated = VK_ERROR_OUT_OF_DEVICE_MEMORY;
    for (const auto& candidate : candidates) {
        auto info = make<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
        info.allocationSize = requirements.size;
        info.memoryTypeIndex = candidate.second;
        allocated = vkAllocateMemory(device_, &info, nullptr, memory);
        if (allocated == VK_SUCCESS) {
            *flags = props.memoryTypes[candidate.second].propertyFlags;
            if (type) *type = candidate.second;
            return true;
        }
        *memory = VK_NULL_HANDLE;
    }
    VK(allocated, E_OUTOFMEMORY);
    return false;
}

// At most this many blocks of this many bytes in all are kept: a frame
// window's textures at 4K.
constexpr size_t kKeptBlocks = 8;
constexpr VkDeviceSize kKeptBytes = VkDeviceSize(256) << 20;

void VulkanState::releaseImageMemory(VkDeviceMemory memory, VkDeviceSize size, uint32_t type) {
    std::vector<VkDeviceMemory> freed;
    {
        std::lock_guard<std::mutex> lock(keptMutex_);
        kept_.push_back(KeptMemory{memory, size, type});
        VkDeviceSize bytes = 0;
        for (const KeptMemory& block : kept_) bytes += block.size;
        while (!kept_.empty() && (kept_.size() > kKeptBlocks || bytes > kKeptBytes)) {
            bytes -= kept_.front().size;
            freed.push_back(kept_.front().memory);
            kept_.erase(kept_.begin());
        }
    }
    for (VkDeviceMemory m : freed) vkFreeMemory(device_, m, nullptr);
}

std::shared_ptr<BufferMemory> VulkanState::createBuffer(VkDeviceSize size, VkBufferUsageFlags usage,
                                                        MemoryUse use) {
    auto result = std::make_shared<BufferMemory>();
    result->vk = this;
    result->size = size;
    auto info = make<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
    info.size = size;
    info.usage = usage;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    if (FAILED(VK(vkCreateBuffer(device_, &info, nullptr, &result->buffer), E_OUTOFMEMORY))) {
        result->buffer = VK_NULL_HANDLE;
        return nullptr;
    }
    VkMemoryRequirements requirements;
    vkGetBufferMemoryRequirements(device_, result->buffer, &requirements);
    VkMemoryPropertyFlags flags = 0;
    if (!allocate(requirements, use, &result->memory, &flags)) return nullptr;
    if (FAILED(VK(vkBindBufferMemory(device_, result->buffer, result->memory, 0), E_OUTOFMEMORY))) return nullptr;
    if (use != MemoryUse::DeviceLocal) {
        void* pointer = nullptr;
        if (FAILED(VK(vkMapMemory(device_, result->memory, 0, VK_WHOLE_SIZE, 0, &pointer), E_OUTOFMEMORY)))
            return nullptr;
        result->mapped = static_cast<uint8_t*>(pointer);
        result->coherent = flags & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    }
    return result;
}

std::shared_ptr<ImageMemory> VulkanState::createImage(uint32_t width, uint32_t height, VkFormat format,
                                                      VkImageUsageFlags usage) {
    auto result = std::make_shared<ImageMemory>();
    result->vk = this;
    result->format = format;
    result->width = width;
    result->height = height;
    auto info = make<VkImageCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO);
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = format;
    info.extent = {width, height, 1};
    info.mipLevels = 1;
    info.arrayLayers = 1;
    info.samples = VK_SAMPLE_COUNT_1_BIT;
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    info.usage = usage;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (FAILED(VK(vkCreateImage(device_, &info, nullptr, &result->image), E_OUTOFMEMORY))) {
        result->image = VK_NULL_HANDLE;
        return nullptr;
    }
    VkMemoryRequirements requirements;
    vkGetImageMemoryRequirements(device_, result->image, &requirements);
    {
        // A kept block of the same size and an allowed type, newest first.
        std::lock_guard<std::mutex> lock(keptMutex_);
        for (size_t i = kept_.size(); i-- > 0;) {
            const KeptMemory& block = kept_[i];
            if (block.size != requirements.size || !(requirements.memoryTypeBits & (1u << block.type))) continue;
            result->memory = block.memory;
            result->memorySize = block.size;
            result->memoryType = block.type;
            kept_.erase(kept_.begin() + static_cast<ptrdiff_t>(i));
            break;
        }
    }
    if (!result->memory) {
        VkMemoryPropertyFlags flags = 0;
        if (!allocate(requirements, MemoryUse::DeviceLocal, &result->memory, &flags, &result->memoryType))
            return nullptr;
        result->memorySize = requirements.size;
    }
    if (FAILED(VK(vkBindImageMemory(device_, result->image, result->memory, 0), E_OUTOFMEMORY))) return nullptr;
    return result;
}

}  // namespace d3d11vk
