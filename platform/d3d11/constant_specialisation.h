// Lavapipe runs a uniform branch masked, both sides, and every loop's body at
// least once, so a kernel pays for the paths its constants do not take. On CPU
// devices a shader whose module compares 32-bit integers of its constant buffer
// is therefore built once per set of those integers, each taken as a
// specialisation constant: the driver folds the branches away. The shader
// reads the same values either way, so it computes the same results.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <vector>

namespace d3d11vk {

// Replaces each load of a 32-bit integer member of the constant buffer that a
// comparison reads by a specialisation constant whose id is the member's
// index, and gives each one's place in the buffer. False, leaving both alone,
// where the module compares none or has a loop not marked DontUnroll.
bool specialiseIntegerConstants(std::vector<uint32_t>& words, std::vector<VkSpecializationMapEntry>& entries);

}  // namespace d3d11vk
