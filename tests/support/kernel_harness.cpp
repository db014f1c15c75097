#include "tests/support/kernel_harness.h"

#include <array>
#include <cstring>

#include "pipeline/gpu_pass.h"
#include "platform/resource_bindings.h"

// The Direct3D stand-in binds as many texture slots as a kernel reads.
static_assert(platform_bindings::kTextureSlots == viewCount, "texture slots of the stand-in and of the kernels");

namespace kernel_harness {

KernelHarness::KernelHarness() {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};
    D3D_FEATURE_LEVEL granted{};
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_SINGLETHREADED,
                                   levels, 3, D3D11_SDK_VERSION, device_.out(), &granted, context_.out());
    if (FAILED(hr)) {
        error_ = "D3D11CreateDevice failed: " + std::to_string(hr);
        device_ = ComRef<ID3D11Device>();
        context_ = ComRef<ID3D11DeviceContext>();
    }
}

ComRef<ID3D11ComputeShader> KernelHarness::compile(const char* source, const D3D10_SHADER_MACRO* macros,
                                                   std::string* log) {
    ComRef<ID3D11ComputeShader> shader;
    ID3D10Blob* code = nullptr;
    ID3D10Blob* messages = nullptr;
    HRESULT hr = D3DX11CompileFromMemory(source, std::strlen(source), nullptr, macros, nullptr, "CS", "cs_5_0",
                                         D3D10_SHADER_OPTIMIZATION_LEVEL3 | D3D10_SHADER_ENABLE_STRICTNESS, 0,
                                         nullptr, &code, &messages, nullptr);
    if (log) log->clear();
    if (messages) {
        if (log) log->assign(static_cast<const char*>(messages->GetBufferPointer()), messages->GetBufferSize());
        messages->Release();
    }
    if (SUCCEEDED(hr) && code) {
        hr = device_->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, shader.out());
        if (FAILED(hr) && log) *log += "CreateComputeShader failed\n";
    }
    if (code) code->Release();
    return shader;
}

ComRef<ID3D11ShaderResourceView> KernelHarness::upload(const nlm_reference::Plane& plane) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = plane.width;
    desc.Height = plane.height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = plane.channels == 1 ? DXGI_FORMAT_R16_UNORM : DXGI_FORMAT_R16G16_UNORM;
    desc.SampleDesc = {1, 0};
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE | D3D11_CPU_ACCESS_READ;
    ComRef<ID3D11Texture2D> staging;
    ComRef<ID3D11ShaderResourceView> view;
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, staging.out()))) return view;

    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(staging.get(), 0, D3D11_MAP_WRITE, 0, &mapped))) return view;
    const size_t rowBytes = static_cast<size_t>(plane.width) * plane.channels * sizeof(uint16_t);
    for (int y = 0; y < plane.height; ++y)
        std::memcpy(static_cast<uint8_t*>(mapped.pData) + static_cast<size_t>(y) * mapped.RowPitch,
                    plane.codes.data() + static_cast<size_t>(y) * plane.width * plane.channels, rowBytes);
    context_->Unmap(staging.get(), 0);

    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = 0;
    ComRef<ID3D11Texture2D> texture;
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, texture.out()))) return view;
    context_->CopyResource(texture.get(), staging.get());
    device_->CreateShaderResourceView(texture.get(), nullptr, view.out());
    return view;
}

std::vector<float> KernelHarness::run(const std::vector<Pass>& passes, int alignedWidth, int alignedHeight) {
    std::vector<float> result;
    const UINT elements = static_cast<UINT>(alignedWidth) * static_cast<UINT>(alignedHeight);
    D3D11_BUFFER_DESC outDesc{elements * 12,
                              D3D11_USAGE_DEFAULT,
                              D3D11_BIND_UNORDERED_ACCESS | D3D11_BIND_SHADER_RESOURCE,
                              0,
                              D3D11_RESOURCE_MISC_BUFFER_STRUCTURED,
                              12};
    D3D11_BUFFER_DESC readbackDesc{elements * 12,        D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ,
                                   D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12};
    D3D11_UNORDERED_ACCESS_VIEW_DESC uavDesc{};
    uavDesc.Format = DXGI_FORMAT_UNKNOWN;
    uavDesc.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
    uavDesc.Buffer.NumElements = elements;
    ComRef<ID3D11Buffer> outBuffer;
    ComRef<ID3D11Buffer> readback;
    ComRef<ID3D11UnorderedAccessView> uav;
    if (FAILED(device_->CreateBuffer(&outDesc, nullptr, outBuffer.out())) ||
        FAILED(device_->CreateUnorderedAccessView(outBuffer.get(), &uavDesc, uav.out())) ||
        FAILED(device_->CreateBuffer(&readbackDesc, nullptr, readback.out())))
        return result;

    // One constant buffer per pass, written before any dispatch as the pass does.
    D3D11_BUFFER_DESC paramDesc{16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    std::vector<ComRef<ID3D11Buffer>> params(passes.size());
    for (size_t i = 0; i < passes.size(); ++i) {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (FAILED(device_->CreateBuffer(&paramDesc, nullptr, params[i].out())) ||
            FAILED(context_->Map(params[i].get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)))
            return result;
        std::memcpy(mapped.pData, &passes[i].params, sizeof(Params));
        context_->Unmap(params[i].get(), 0);
    }

    std::vector<std::array<ID3D11ShaderResourceView*, viewCount>> views(passes.size());
    std::vector<PlaneKernel> planes;
    for (size_t i = 0; i < passes.size(); ++i) {
        views[i].fill(nullptr);
        for (size_t k = 0; k < passes[i].views.size() && k < viewCount; ++k) views[i][k] = passes[i].views[k];
        planes.push_back({passes[i].shader, params[i].get(), views[i].data()});
    }
    dispatchPlanes(context_.get(), uav.get(), planes.data(), static_cast<int>(planes.size()), alignedWidth, alignedHeight,
                   outBuffer.get(), readback.get());

    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(readback.get(), 0, D3D11_MAP_READ, 0, &mapped))) return result;
    result.resize(static_cast<size_t>(elements) * 3);
    std::memcpy(result.data(), mapped.pData, result.size() * sizeof(float));
    context_->Unmap(readback.get(), 0);
    return result;
}

}  // namespace kernel_harness
