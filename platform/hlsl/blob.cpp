#include "platform/hlsl/blob.h"

#include "platform/test_hooks.h"

#include <utility>

namespace platform_hlsl {
namespace {

constexpr IID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidBlob = {0x8BA5FB08, 0x5195, 0x40E2, {0xAC, 0x58, 0x0D, 0x98, 0x9C, 0x3A, 0x01, 0x02}};

}  // namespace

Blob::Blob(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    platform_hooks::objectCreated();
}

Blob::~Blob() {
    platform_hooks::objectDestroyed();
}

Blob* Blob::create(std::vector<uint8_t> bytes) {
    return new Blob(std::move(bytes));
}

Blob* Blob::createText(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return new Blob(std::move(bytes));
}

HRESULT Blob::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualGUID(riid, kIidUnknown) || IsEqualGUID(riid, kIidBlob)) {
        AddRef();
        *object = static_cast<ID3D10Blob*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG Blob::AddRef() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG Blob::Release() {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

LPVOID Blob::GetBufferPointer() {
    return bytes_.data();
}

SIZE_T Blob::GetBufferSize() {
    return bytes_.size();
}

}  // namespace platform_hlsl
