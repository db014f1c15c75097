#include "platform/d3d11/dxgi.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/d3d11/device.h"

namespace d3d11vk {
namespace {

// UTF-8 device name to the adapter description's UTF-16, truncated to fit
// with its terminator.
void copyName(const char* name, WCHAR (&out)[128]) {
    std::u16string text;
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    while (*p) {
        uint32_t c = *p++;
        int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
        if (extra) c &= 0x3fu >> extra;
        for (int i = 0; i < extra && (*p & 0xc0) == 0x80; ++i) c = (c << 6) | (*p++ & 0x3f);
        if (c >= 0x10000) {
            c -= 0x10000;
            text += static_cast<char16_t>(0xd800 + (c >> 10));
            text += static_cast<char16_t>(0xdc00 + (c & 0x3ff));
        } else {
            text += static_cast<char16_t>(c);
        }
    }
    size_t n = std::min<size_t>(text.size(), 127);
    std::memcpy(out, text.data(), n * sizeof(char16_t));
    out[n] = 0;
}

DXGI_ADAPTER_DESC describeAdapter(const PhysicalDeviceInfo& physical) {
    DXGI_ADAPTER_DESC desc;
    std::memset(&desc, 0, sizeof desc);
    copyName(physical.properties.deviceName, desc.Description);
    desc.VendorId = physical.properties.vendorID;
    desc.DeviceId = physical.properties.deviceID;
    // Device-local heaps count as dedicated memory on a discrete card and as
    // shared system memory on an integrated or software device.
    bool discrete = physical.properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
    for (uint32_t i = 0; i < physical.memory.memoryHeapCount; ++i) {
        const VkMemoryHeap& heap = physical.memory.memoryHeaps[i];
        bool local = heap.flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT;
        if (local && discrete)
            desc.DedicatedVideoMemory += heap.size;
        else
            desc.SharedSystemMemory += heap.size;
    }
    if (physical.luidValid) {
        std::memcpy(&desc.AdapterLuid.LowPart, physical.luid, 4);
        std::memcpy(&desc.AdapterLuid.HighPart, physical.luid + 4, 4);
    }
    return desc;
}

}  // namespace

HRESULT STDMETHODCALLTYPE DxgiDevice::QueryInterface(REFIID riid, void** object) {
    return device_->QueryInterface(riid, object);
}

ULONG STDMETHODCALLTYPE DxgiDevice::AddRef() { return device_->AddRef(); }

ULONG STDMETHODCALLTYPE DxgiDevice::Release() { return device_->Release(); }

HRESULT STDMETHODCALLTYPE DxgiDevice::GetAdapter(IDXGIAdapter** adapter) {
    if (!adapter) return E_POINTER;
    *adapter = nullptr;
    if (platform_hooks::shouldFail(platform_hooks::FailPoint::GetAdapter)) return E_FAIL;
    *adapter = new Adapter(describeAdapter(device_->vk().physical()));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Adapter::QueryInterface(REFIID riid, void** object) {
    return queryFor(riid, object, {IID_IUnknown, IID_IDXGIObject, IID_IDXGIAdapter});
}

HRESULT STDMETHODCALLTYPE Adapter::GetDesc(DXGI_ADAPTER_DESC* desc) {
    if (platform_hooks::shouldFail(platform_hooks::FailPoint::GetDesc)) return E_FAIL;
    if (!desc) return E_INVALIDARG;
    *desc = desc_;
    uint32_t forced = 0;
    if (platform_hooks::forcedDeviceId(&forced)) desc->DeviceId = forced;
    return S_OK;
}

}  // namespace d3d11vk
