#include "gpu/device.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "gpu/kernel_layout.h"
#include "gpu/shader_build.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"
#include "state/failure_report.h"

namespace {

const D3D_FEATURE_LEVEL requestedLevels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};

const GUID iidDxgiDevice1 = {0x77db970f, 0x6276, 0x48ba, {0xba, 0x28, 0x07, 0x01, 0x43, 0xb4, 0x39, 0x2c}};

// The temporary DXGI interfaces go with everything else.
int failInit(FilterTable* filter, const char* text, UINT style, IDXGIAdapter* adapter, IDXGIDevice1* dxgiDevice) {
    releaseObject(adapter);
    releaseObject(dxgiDevice);
    return reportFailure(filter, text, Teardown::everything, captionError, style);
}

}  // namespace

bool deviceGroupReady() {
    const DenoiseState& s = denoiseState;
    return s.device && s.context && s.lumaShaderRuntime && s.chromaShaderRuntime && s.lumaParams &&
           s.chromaParams;
}

int bringUpDevice(FilterTable* filter) {
    DenoiseState& s = denoiseState;
    // A second initialisation must not leak the first.
    if (s.device || s.context) releaseAll();

    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_SINGLETHREADED,
                                 requestedLevels, std::size(requestedLevels), D3D11_SDK_VERSION, &s.device,
                                 &s.featureLevel, &s.context)))
        return failInit(filter, textDeviceCreateFailed, MB_ICONQUESTION, nullptr, nullptr);

    IDXGIDevice1* dxgiDevice = nullptr;
    if (FAILED(s.device->QueryInterface(iidDxgiDevice1, reinterpret_cast<void**>(&dxgiDevice))))
        return failInit(filter, textDxgiDeviceFailed, MB_ICONERROR, nullptr, dxgiDevice);

    IDXGIAdapter* adapter = nullptr;
    if (FAILED(dxgiDevice->GetAdapter(&adapter)))
        return failInit(filter, textAdapterFailed, MB_ICONERROR, adapter, dxgiDevice);

    DXGI_ADAPTER_DESC desc;
    std::memset(&desc, 0, sizeof desc);
    adapter->GetDesc(&desc);

    if (!buildRuntimeShaders(filter, desc.DeviceId))
        return failInit(filter, textShaderBuildFailed, MB_ICONQUESTION, adapter, dxgiDevice);
    releaseObject(adapter);
    releaseObject(dxgiDevice);

    D3D11_BUFFER_DESC params;
    std::memset(&params, 0, sizeof params);
    params.ByteWidth = sizeof(PARAM);
    params.Usage = D3D11_USAGE_DYNAMIC;
    params.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    params.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    if (FAILED(s.device->CreateBuffer(&params, nullptr, &s.lumaParams)) ||
        FAILED(s.device->CreateBuffer(&params, nullptr, &s.chromaParams)))
        return failInit(filter, textParamBufferFailed, MB_ICONQUESTION, nullptr, nullptr);
    return 1;
}
