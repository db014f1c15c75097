// ID3D10Blob: a reference-counted byte buffer, as the D3DX11 compiler returns
// compiled code and message texts in.
#pragma once

#include "platform/hlsl/d3dx11_api.h"

#include <atomic>
#include <string>
#include <vector>

namespace platform_hlsl {

class Blob final : public ID3D10Blob {
public:
    // A new blob holds one reference, which the caller owns.
    static Blob* create(std::vector<uint8_t> bytes);
    // A message blob: the text and its terminating NUL (counted in the size).
    static Blob* createText(const std::string& text);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    LPVOID STDMETHODCALLTYPE GetBufferPointer() override;
    SIZE_T STDMETHODCALLTYPE GetBufferSize() override;

private:
    explicit Blob(std::vector<uint8_t> bytes);
    ~Blob();

    std::atomic<ULONG> refs_{1};
    std::vector<uint8_t> bytes_;
};

}  // namespace platform_hlsl
