// Direct3D 11 and DXGI as the plug-in uses them: the real names, values and
// method signatures, declared for the Linux build where Vulkan implements them.
#pragma once

#include "platform/win32/win32_base.h"

enum D3D_FEATURE_LEVEL : uint32_t {
    D3D_FEATURE_LEVEL_9_1 = 0x9100,
    D3D_FEATURE_LEVEL_9_2 = 0x9200,
    D3D_FEATURE_LEVEL_9_3 = 0x9300,
    D3D_FEATURE_LEVEL_10_0 = 0xa000,
    D3D_FEATURE_LEVEL_10_1 = 0xa100,
    D3D_FEATURE_LEVEL_11_0 = 0xb000,
    D3D_FEATURE_LEVEL_11_1 = 0xb100,
};

enum D3D_DRIVER_TYPE : uint32_t {
    D3D_DRIVER_TYPE_UNKNOWN = 0,
    D3D_DRIVER_TYPE_HARDWARE = 1,
    D3D_DRIVER_TYPE_REFERENCE = 2,
    D3D_DRIVER_TYPE_NULL = 3,
    D3D_DRIVER_TYPE_SOFTWARE = 4,
    D3D_DRIVER_TYPE_WARP = 5,
};

#define D3D11_SDK_VERSION 7u
#define D3D11_CREATE_DEVICE_SINGLETHREADED 0x1u

enum DXGI_FORMAT : uint32_t {
    DXGI_FORMAT_UNKNOWN = 0,
    DXGI_FORMAT_R32G32B32_FLOAT = 6,
    DXGI_FORMAT_R16G16_UNORM = 35,
    DXGI_FORMAT_R16_UNORM = 56,
};

enum D3D11_USAGE : uint32_t {
    D3D11_USAGE_DEFAULT = 0,
    D3D11_USAGE_IMMUTABLE = 1,
    D3D11_USAGE_DYNAMIC = 2,
    D3D11_USAGE_STAGING = 3,
};

enum D3D11_BIND_FLAG : uint32_t {
    D3D11_BIND_CONSTANT_BUFFER = 0x4,
    D3D11_BIND_SHADER_RESOURCE = 0x8,
    D3D11_BIND_UNORDERED_ACCESS = 0x80,
};

enum D3D11_CPU_ACCESS_FLAG : uint32_t {
    D3D11_CPU_ACCESS_WRITE = 0x10000,
    D3D11_CPU_ACCESS_READ = 0x20000,
};

enum D3D11_RESOURCE_MISC_FLAG : uint32_t {
    D3D11_RESOURCE_MISC_BUFFER_STRUCTURED = 0x40,
};

enum D3D11_MAP : uint32_t {
    D3D11_MAP_READ = 1,
    D3D11_MAP_WRITE = 2,
    D3D11_MAP_READ_WRITE = 3,
    D3D11_MAP_WRITE_DISCARD = 4,
    D3D11_MAP_WRITE_NO_OVERWRITE = 5,
};

enum D3D11_UAV_DIMENSION : uint32_t {
    D3D11_UAV_DIMENSION_UNKNOWN = 0,
    D3D11_UAV_DIMENSION_BUFFER = 1,
};

enum D3D11_SRV_DIMENSION : uint32_t {
    D3D11_SRV_DIMENSION_UNKNOWN = 0,
    D3D11_SRV_DIMENSION_TEXTURE2D = 4,
};

struct DXGI_SAMPLE_DESC {
    UINT Count;
    UINT Quality;
};

struct D3D11_BUFFER_DESC {
    UINT ByteWidth;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
    UINT StructureByteStride;
};

struct D3D11_TEXTURE2D_DESC {
    UINT Width;
    UINT Height;
    UINT MipLevels;
    UINT ArraySize;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
};

struct D3D11_SUBRESOURCE_DATA {
    const void* pSysMem;
    UINT SysMemPitch;
    UINT SysMemSlicePitch;
};

struct D3D11_MAPPED_SUBRESOURCE {
    void* pData;
    UINT RowPitch;
    UINT DepthPitch;
};

struct D3D11_BUFFER_UAV {
    UINT FirstElement;
    UINT NumElements;
    UINT Flags;
};

struct D3D11_UNORDERED_ACCESS_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_UAV_DIMENSION ViewDimension;
    union {
        D3D11_BUFFER_UAV Buffer;
        UINT reserved[4];
    };
};

struct D3D11_TEX2D_SRV {
    UINT MostDetailedMip;
    UINT MipLevels;
};

struct D3D11_SHADER_RESOURCE_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_SRV_DIMENSION ViewDimension;
    union {
        D3D11_TEX2D_SRV Texture2D;
        UINT reserved[4];
    };
};

struct DXGI_ADAPTER_DESC {
    WCHAR Description[128];
    UINT VendorId;
    UINT DeviceId;
    UINT SubSysId;
    UINT Revision;
    SIZE_T DedicatedVideoMemory;
    SIZE_T DedicatedSystemMemory;
    SIZE_T SharedSystemMemory;
    LUID AdapterLuid;
};

struct ID3D11Device;
struct ID3D11ClassLinkage;
struct ID3D11ClassInstance;

struct ID3D11DeviceChild : IUnknown {
    virtual void STDMETHODCALLTYPE GetDevice(ID3D11Device** device) = 0;

protected:
    ~ID3D11DeviceChild() = default;
};

struct ID3D11Resource : ID3D11DeviceChild {
protected:
    ~ID3D11Resource() = default;
};

struct ID3D11Buffer : ID3D11Resource {
    virtual void STDMETHODCALLTYPE GetDesc(D3D11_BUFFER_DESC* desc) = 0;

protected:
    ~ID3D11Buffer() = default;
};

struct ID3D11Texture2D : ID3D11Resource {
    virtual void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* desc) = 0;

protected:
    ~ID3D11Texture2D() = default;
};

struct ID3D11View : ID3D11DeviceChild {
    virtual void STDMETHODCALLTYPE GetResource(ID3D11Resource** resource) = 0;

protected:
    ~ID3D11View() = default;
};

struct ID3D11ShaderResourceView : ID3D11View {
protected:
    ~ID3D11ShaderResourceView() = default;
};

struct ID3D11UnorderedAccessView : ID3D11View {
protected:
    ~ID3D11UnorderedAccessView() = default;
};

struct ID3D11ComputeShader : ID3D11DeviceChild {
protected:
    ~ID3D11ComputeShader() = default;
};

struct ID3D11Device : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateBuffer(const D3D11_BUFFER_DESC* desc,
                                                   const D3D11_SUBRESOURCE_DATA* initialData,
                                                   ID3D11Buffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc,
                                                      const D3D11_SUBRESOURCE_DATA* initialData,
                                                      ID3D11Texture2D** texture) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateShaderResourceView(
        ID3D11Resource* resource, const D3D11_SHADER_RESOURCE_VIEW_DESC* desc,
        ID3D11ShaderResourceView** view) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateUnorderedAccessView(
        ID3D11Resource* resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc,
        ID3D11UnorderedAccessView** view) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateComputeShader(const void* bytecode, SIZE_T bytecodeLength,
                                                          ID3D11ClassLinkage* classLinkage,
                                                          ID3D11ComputeShader** shader) = 0;
    virtual D3D_FEATURE_LEVEL STDMETHODCALLTYPE GetFeatureLevel() = 0;

protected:
    ~ID3D11Device() = default;
};

struct ID3D11DeviceContext : ID3D11DeviceChild {
    virtual HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP mapType,
                                          UINT mapFlags, D3D11_MAPPED_SUBRESOURCE* mapped) = 0;
    virtual void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT subresource) = 0;
    virtual void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) = 0;
    virtual void STDMETHODCALLTYPE CSSetUnorderedAccessViews(UINT startSlot, UINT count,
                                                             ID3D11UnorderedAccessView* const* views,
                                                             const UINT* initialCounts) = 0;
    virtual void STDMETHODCALLTYPE CSSetConstantBuffers(UINT startSlot, UINT count,
                                                        ID3D11Buffer* const* buffers) = 0;
    virtual void STDMETHODCALLTYPE CSSetShader(ID3D11ComputeShader* shader,
                                               ID3D11ClassInstance* const* classInstances,
                                               UINT classInstanceCount) = 0;
    virtual void STDMETHODCALLTYPE CSSetShaderResources(UINT startSlot, UINT count,
                                                        ID3D11ShaderResourceView* const* views) = 0;
    virtual void STDMETHODCALLTYPE Dispatch(UINT groupsX, UINT groupsY, UINT groupsZ) = 0;
    virtual void STDMETHODCALLTYPE ClearState() = 0;
    virtual void STDMETHODCALLTYPE Flush() = 0;

protected:
    ~ID3D11DeviceContext() = default;
};

struct IDXGIAdapter;

struct IDXGIObject : IUnknown {
protected:
    ~IDXGIObject() = default;
};

struct IDXGIDevice : IDXGIObject {
    virtual HRESULT STDMETHODCALLTYPE GetAdapter(IDXGIAdapter** adapter) = 0;

protected:
    ~IDXGIDevice() = default;
};

struct IDXGIDevice1 : IDXGIDevice {
protected:
    ~IDXGIDevice1() = default;
};

struct IDXGIAdapter : IDXGIObject {
    virtual HRESULT STDMETHODCALLTYPE GetDesc(DXGI_ADAPTER_DESC* desc) = 0;

protected:
    ~IDXGIAdapter() = default;
};

extern "C" QUENDA_PLATFORM_API HRESULT WINAPI D3D11CreateDevice(
    IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
    const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount, UINT sdkVersion,
    ID3D11Device** device, D3D_FEATURE_LEVEL* grantedLevel, ID3D11DeviceContext** immediateContext);
