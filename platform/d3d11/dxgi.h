// DXGI as the plug-in reaches it: the device's IDXGIDevice1 face, which reads
// the adapter, and the adapter with its description.
#pragma once

#include "platform/d3d11/com_object.h"

namespace d3d11vk {

class Device;

// Lives inside its Device and shares its reference count, as the DXGI and
// Direct3D faces of one device object do.
class DxgiDevice final : public IDXGIDevice1 {
public:
    explicit DxgiDevice(Device* device) : device_(device) {}
    virtual ~DxgiDevice() = default;
    DxgiDevice(const DxgiDevice&) = delete;
    DxgiDevice& operator=(const DxgiDevice&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetAdapter(IDXGIAdapter** adapter) override;

private:
    Device* device_;
};

class Adapter final : public ComObject<IDXGIAdapter> {
public:
    explicit Adapter(const DXGI_ADAPTER_DESC& desc) : desc_(desc) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_ADAPTER_DESC* desc) override;

private:
    DXGI_ADAPTER_DESC desc_;
};

}  // namespace d3d11vk
