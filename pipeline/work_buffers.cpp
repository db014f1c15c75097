#include "pipeline/work_buffers.h"

#include <cstdlib>
#include <cstring>

#include "platform/win32_api.h"
#include "state/checked_size.h"
#include "state/denoise_state.h"
#include "state/failure_report.h"

bool allocateHostResult() {
    DenoiseState& s = denoiseState;
    const int64_t pixels = static_cast<int64_t>(s.procWidth) * s.procHeight;
    std::free(s.hostResult);
    s.hostResult = nullptr;
    s.hostResultPixels = 0;
    uint32_t bytes = 0;
    if (pixels <= 0 || !checkedSize(static_cast<uint64_t>(pixels), sizeof(PixelYC), &bytes)) return false;
    s.hostResult = static_cast<PixelYC*>(std::malloc(bytes));
    if (!s.hostResult) return false;
    s.hostResultPixels = pixels;
    return true;
}

bool ensureWorkBuffers(FilterTable* filter) {
    DenoiseState& s = denoiseState;
    const int32_t aw = (s.procWidth + threadGroupSide - 1) / threadGroupSide * threadGroupSide;
    const int32_t ah = (s.procHeight + threadGroupSide - 1) / threadGroupSide * threadGroupSide;
    if (s.readbackBuffer && s.outBuffer && s.outUav && aw == s.alignedWidth && ah == s.alignedHeight) {
        // The exact size may change inside one multiple of 16: hostResult
        // must still hold the whole current frame.
        if (s.hostResult && s.hostResultPixels >= static_cast<int64_t>(s.procWidth) * s.procHeight) return true;
        return allocateHostResult() || reportFailure(filter, textMemoryFailed, Teardown::everything);
    }

    s.alignedWidth = aw;
    s.alignedHeight = ah;
    // New buffers: the kernels' width changes, so an output run writes its
    // constants again.
    s.fixedParamsDirty = true;
    std::free(s.hostResult);
    s.hostResult = nullptr;
    s.hostResultPixels = 0;
    releaseObject(s.outUav);
    releaseObject(s.outBuffer);
    releaseObject(s.readbackBuffer);

    if (!allocateHostResult()) return reportFailure(filter, textMemoryFailed, Teardown::everything);

    uint32_t elements = 0, bytes = 0;
    const bool fits = aw > 0 && ah > 0 &&
                      checkedSize(static_cast<uint64_t>(aw), static_cast<uint64_t>(ah), &elements) &&
                      checkedSize(elements, outputElementBytes, &bytes);
    D3D11_BUFFER_DESC desc;
    std::memset(&desc, 0, sizeof desc);
    desc.ByteWidth = bytes;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_UNORDERED_ACCESS | D3D11_BIND_SHADER_RESOURCE;
    desc.MiscFlags = D3D11_RESOURCE_MISC_BUFFER_STRUCTURED;
    desc.StructureByteStride = outputElementBytes;
    if (!fits || FAILED(s.device->CreateBuffer(&desc, nullptr, &s.outBuffer)))
        return reportFailure(filter, textOutBufferFailed, Teardown::everything);

    D3D11_UNORDERED_ACCESS_VIEW_DESC view;
    std::memset(&view, 0, sizeof view);
    view.Format = DXGI_FORMAT_UNKNOWN;
    view.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
    view.Buffer.FirstElement = 0;
    view.Buffer.NumElements = elements;
    if (FAILED(s.device->CreateUnorderedAccessView(s.outBuffer, &view, &s.outUav)))
        return reportFailure(filter, textUavFailed, Teardown::everything);

    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    if (FAILED(s.device->CreateBuffer(&desc, nullptr, &s.readbackBuffer)))
        return reportFailure(filter, textReadbackFailed, Teardown::everything);
    return true;
}
