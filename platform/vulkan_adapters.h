// The Vulkan devices the Direct3D 11 stand-in can run on, for the command-line
// host to show. QUENDA_VULKAN_DEVICE picks one by index or by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#ifndef QUENDA_PLATFORM_API
#define QUENDA_PLATFORM_API __attribute__((visibility("default")))
#endif

namespace platform_d3d11 {

struct VulkanAdapter {
    uint32_t index;       // the index QUENDA_VULKAN_DEVICE accepts
    std::string name;
    std::string type;     // "discrete", "integrated", "virtual", "cpu" or "other"
    uint32_t vendorId;
    uint32_t deviceId;
    bool usable;          // has every feature the stand-in needs
    std::string missing;  // the features it lacks, when not usable
    bool picked;          // the one D3D11CreateDevice would use now
};

// Every Vulkan device, in the Vulkan loader's order; empty without Vulkan.
QUENDA_PLATFORM_API std::vector<VulkanAdapter> listVulkanAdapters();

}  // namespace platform_d3d11
