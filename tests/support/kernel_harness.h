// Runs the denoise kernels on the Direct3D 11 stand-in the way the plug-in
// does: compiled by D3DX11CompileFromMemory, planes uploaded through mapped
// staging textures and CopyResource, 16 views, PARAM and outBuff bound as the
// GPU pass binds them, output copied to a staging buffer and mapped.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gpu/kernel_layout.h"
#include "platform/win32_api.h"
#include "tests/support/nlm_reference.h"

namespace kernel_harness {

// One owning reference to a COM object.
template <class T>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* object) : object_(object) {}
    ComRef(const ComRef& other) : object_(other.object_) {
        if (object_) object_->AddRef();
    }
    ComRef& operator=(ComRef other) {
        std::swap(object_, other.object_);
        return *this;
    }
    ~ComRef() {
        if (object_) object_->Release();
    }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T** out() {
        *this = ComRef();
        return &object_;
    }

private:
    T* object_ = nullptr;
};

// The four fields of PARAM, in register order, as the plug-in writes them.
using Params = PARAM;

// One kernel dispatch: the shader, its 16 views (entries past the bound
// window may repeat one) and its PARAM record.
struct Pass {
    ID3D11ComputeShader* shader = nullptr;
    std::vector<ID3D11ShaderResourceView*> views;
    Params params = {0, 0, 0, 1.0f};
};

class KernelHarness {
public:
    KernelHarness();
    // False when no device could be made; error() says why.
    bool ok() const { return static_cast<bool>(device_); }
    const std::string& error() const { return error_; }
    ID3D11Device* device() const { return device_.get(); }

    // Compiles a kernel text with entry "CS", profile cs_5_0 and the plug-in's
    // flags; on failure returns null with the compiler's text in *log.
    ComRef<ID3D11ComputeShader> compile(const char* source, const D3D10_SHADER_MACRO* macros,
                                        std::string* log);

    // A shader-resource view of the plane, made as the frame cache makes one.
    ComRef<ID3D11ShaderResourceView> upload(const nlm_reference::Plane& plane);

    // Runs the passes in order into one outBuff of alignedWidth x alignedHeight
    // elements (alignedWidth / 16 x alignedHeight / 16 groups each) and returns
    // its contents, three floats per element; empty on a failed call.
    std::vector<float> run(const std::vector<Pass>& passes, int alignedWidth, int alignedHeight);

private:
    ComRef<ID3D11Device> device_;
    ComRef<ID3D11DeviceContext> context_;
    std::string error_;
};

}  // namespace kernel_harness
