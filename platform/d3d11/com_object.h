// COM plumbing shared by the Direct3D 11 and DXGI objects: interface ids,
// reference counting with the live-object count, and device children.
#pragma once

#include <atomic>
#include <initializer_list>

#include "platform/d3d11/d3d11_api.h"
#include "platform/test_hooks.h"

namespace d3d11vk {

constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_ID3D11Device = {0xdb6f6ddb, 0xac77, 0x4e88, {0x82, 0x53, 0x81, 0x9d, 0xf9, 0xbb, 0xf1, 0x40}};
constexpr IID IID_ID3D11DeviceChild = {0x1841e5c8, 0x16b0, 0x489b, {0xbc, 0xc8, 0x44, 0xcf, 0xb0, 0xd5, 0xde, 0xae}};
constexpr IID IID_ID3D11DeviceContext = {0xc0bfa96c, 0xe089, 0x44fb, {0x8e, 0xaf, 0x26, 0xf8, 0x79, 0x61, 0x90, 0xda}};
constexpr IID IID_ID3D11Resource = {0xdc8e63f3, 0xd12b, 0x4952, {0xb4, 0x7b, 0x5e, 0x45, 0x02, 0x6a, 0x86, 0x2d}};
constexpr IID IID_ID3D11Buffer = {0x48570b85, 0xd1ee, 0x4fcd, {0xa2, 0x50, 0xeb, 0x35, 0x07, 0x22, 0xb0, 0x37}};
constexpr IID IID_ID3D11Texture2D = {0x6f15aaf2, 0xd208, 0x4e89, {0x9a, 0xb4, 0x48, 0x95, 0x35, 0xd3, 0x4f, 0x9c}};
constexpr IID IID_ID3D11View = {0x839d1216, 0xbb2e, 0x412b, {0xb7, 0xf4, 0xa9, 0xdb, 0xeb, 0xe0, 0x8e, 0xd1}};
constexpr IID IID_ID3D11ShaderResourceView = {
    0xb0e06fe0, 0x8192, 0x4e1a, {0xb1, 0xca, 0x36, 0xd7, 0x41, 0x47, 0x10, 0xb2}};
constexpr IID IID_ID3D11UnorderedAccessView = {
    0x28acf509, 0x7f5c, 0x48f6, {0x86, 0x11, 0xf3, 0x16, 0x01, 0x0a, 0x63, 0x80}};
constexpr IID IID_ID3D11ComputeShader = {0x4f5b196e, 0xc2bd, 0x495e, {0xbd, 0x01, 0x1f, 0xde, 0xd3, 0x8e, 0x49, 0x69}};
constexpr IID IID_IDXGIObject = {0xaec22fb8, 0x76f3, 0x4639, {0x9b, 0xe0, 0x28, 0xeb, 0x43, 0xa6, 0x7a, 0x2e}};
constexpr IID IID_IDXGIDevice = {0x54ec77fa, 0x1377, 0x44e6, {0x8c, 0x32, 0x88, 0xfd, 0x5f, 0x44, 0xc8, 0x4c}};
constexpr IID IID_IDXGIDevice1 = {0x77db970f, 0x6276, 0x48ba, {0xba, 0x28, 0x07, 0x01, 0x43, 0xb4, 0x39, 0x2c}};
constexpr IID IID_IDXGIAdapter = {0x2411e7e1, 0x12ac, 0x4ccf, {0xbd, 0x14, 0x97, 0x98, 0xe8, 0x53, 0x4d, 0xc0}};

#ifndef DXGI_ERROR_UNSUPPORTED
#define DXGI_ERROR_UNSUPPORTED ((HRESULT)0x887A0004)
#define DXGI_ERROR_DEVICE_REMOVED ((HRESULT)0x887A0005)
#define DXGI_ERROR_WAS_STILL_DRAWING ((HRESULT)0x887A000A)
#endif
#ifndef D3D11_MAP_FLAG_DO_NOT_WAIT
#define D3D11_MAP_FLAG_DO_NOT_WAIT 0x100000u
#endif

inline bool matchesAny(REFIID riid, std::initializer_list<IID> ids) {
    for (const IID& id : ids)
        if (IsEqualGUID(riid, id)) return true;
    return false;
}

// One COM object: a reference count starting at 1, counted among the live
// objects from construction to destruction.
template <class Interface>
class ComObject : public Interface {
public:
    ComObject() { platform_hooks::objectCreated(); }
    virtual ~ComObject() { platform_hooks::objectDestroyed(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

protected:
    // Hands out this object for the listed interfaces.
    HRESULT queryFor(REFIID riid, void** object, std::initializer_list<IID> ids) {
        if (!object) return E_POINTER;
        if (matchesAny(riid, ids)) {
            AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> refs_{1};
};

class Device;

// A device child holds a reference to its device, so the device and its
// Vulkan state outlive every object made from it.
template <class Interface>
class DeviceChild : public ComObject<Interface> {
public:
    explicit DeviceChild(Device* device);
    ~DeviceChild() override;
    void STDMETHODCALLTYPE GetDevice(ID3D11Device** device) override;

protected:
    Device* device_;
};

}  // namespace d3d11vk
