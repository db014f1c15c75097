#include "bench/adapter_name.h"

std::string adapterName(ID3D11Device* device) {
    static const IID iidDxgiDevice1 = {0x77db970f, 0x6276, 0x48ba, {0xba, 0x28, 0x07, 0x01, 0x43, 0xb4, 0x39, 0x2c}};
    std::string name = "unknown adapter";
    IDXGIDevice1* dxgi = nullptr;
    if (FAILED(device->QueryInterface(iidDxgiDevice1, reinterpret_cast<void**>(&dxgi)))) return name;
    IDXGIAdapter* adapter = nullptr;
    DXGI_ADAPTER_DESC desc{};
    if (SUCCEEDED(dxgi->GetAdapter(&adapter))) {
        if (SUCCEEDED(adapter->GetDesc(&desc))) {
            name.clear();
            for (const WCHAR* c = desc.Description; *c && c < desc.Description + 128; ++c)
                name += *c < 128 ? static_cast<char>(*c) : '?';
        }
        adapter->Release();
    }
    dxgi->Release();
    return name;
}
