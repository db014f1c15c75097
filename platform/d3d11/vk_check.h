// What a failed Vulkan call says. A driver that refuses a call would
// otherwise leave the user with only the plug-in's own message that the
// device could not be made: each failure is written to standard error once
// per place, with the call, its VkResult by name and the source line, and the
// caller gets the HRESULT the plug-in expects at that place.
#pragma once

#include <vulkan/vulkan.h>

#include "platform/d3d11/com_object.h"

namespace d3d11vk {

// The VkResult's name, as the Vulkan headers spell it.
const char* vkResultName(VkResult result);

// S_OK when result is VK_SUCCESS; otherwise writes "<call> failed: <name>
// (<file>:<line>)" the first time this place fails and returns failure.
HRESULT checkVk(VkResult result, const char* call, const char* file, int line, HRESULT failure);

}  // namespace d3d11vk

// VK(vkCreateBuffer(...), E_OUTOFMEMORY): the call's HRESULT, reported as above.
#define VK(call, failure) ::d3d11vk::checkVk((call), #call, __FILE__, __LINE__, (failure))
