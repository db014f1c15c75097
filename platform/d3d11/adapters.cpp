#include "platform/vulkan_adapters.h"

#include "platform/d3d11/vulkan_state.h"

namespace platform_d3d11 {

namespace {

const char* typeName(VkPhysicalDeviceType type) {
    switch (type) {
        case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return "discrete";
        case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return "integrated";
        case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return "virtual";
        case VK_PHYSICAL_DEVICE_TYPE_CPU: return "cpu";
        default: return "other";
    }
}

}  // namespace

std::vector<VulkanAdapter> listVulkanAdapters() {
    std::vector<VulkanAdapter> result;
    d3d11vk::PhysicalDeviceInfo picked;
    bool anyPicked = d3d11vk::pickPhysicalDevice(&picked);
    for (const auto& d : d3d11vk::enumeratePhysicalDevices()) {
        VulkanAdapter a;
        a.index = d.index;
        a.name = d.properties.deviceName;
        a.type = typeName(d.properties.deviceType);
        a.vendorId = d.properties.vendorID;
        a.deviceId = d.properties.deviceID;
        a.usable = d.usable;
        a.missing = d.missing;
        a.picked = anyPicked && d.index == picked.index;
        result.push_back(a);
    }
    return result;
}

}  // namespace platform_d3d11
