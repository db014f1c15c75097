#include "pipeline/gpu_pass.h"

#include <cstring>

#include "gpu/kernel_layout.h"
#include "gpu/strength.h"
#include "pipeline/plane_convert.h"
#include "pipeline/work_buffers.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"
#include "state/failure_report.h"

namespace {

bool writeParams(ID3D11Buffer* buffer, int32_t space, int32_t time, int32_t dispersion) {
    DenoiseState& s = denoiseState;
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    if (FAILED(s.context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || !mapped.pData) return false;
    const PARAM fields = {space, time, s.alignedWidth, dispersionStrength(dispersion)};
    std::memcpy(mapped.pData, &fields, sizeof fields);
    s.context->Unmap(buffer, 0);
    return true;
}

// A missing object or a failed Map: everything goes, on the host's thread.
int failUnknown() {
    return recordWorkerFailure(textUnknownError, Teardown::everything);
}

}  // namespace

bool gatherViews(int32_t centre, int32_t radius, bool chroma, ID3D11ShaderResourceView* views[viewCount]) {
    const DenoiseState& s = denoiseState;
    for (int32_t d = -radius; d <= radius; ++d) {
        int32_t g = centre + d;
        if (g > s.frameCountAtUpload - 1) g = s.frameCountAtUpload - 1;
        if (g < 0) g = 0;
        ID3D11ShaderResourceView* found = nullptr;
        for (const FrameCacheSlot& slot : s.frameCache) {
            ID3D11ShaderResourceView* view = chroma ? slot.chromaView : slot.lumaView;
            if (slot.frame == g && view) {
                found = view;
                break;
            }
        }
        if (!found) return false;
        views[d + radius] = found;
    }
    for (int i = 2 * radius + 1; i < viewCount; ++i) views[i] = views[radius];
    return true;
}

void dispatchPlanes(ID3D11DeviceContext* context, ID3D11UnorderedAccessView* output, const PlaneKernel* planes,
                    int count, int32_t alignedWidth, int32_t alignedHeight, ID3D11Buffer* outBuffer,
                    ID3D11Buffer* readback) {
    const UINT groupsX = static_cast<UINT>(alignedWidth / threadGroupSide);
    const UINT groupsY = static_cast<UINT>(alignedHeight / threadGroupSide);
    const UINT initialCounts[1] = {0};
    context->CSSetUnorderedAccessViews(0, 1, &output, initialCounts);
    for (int i = 0; i < count; ++i) {
        if (!planes[i].shader) continue;
        context->CSSetConstantBuffers(0, 1, &planes[i].params);
        context->CSSetShader(planes[i].shader, nullptr, 0);
        context->CSSetShaderResources(0, viewCount, planes[i].views);
        context->Dispatch(groupsX, groupsY, 1);
    }
    context->ClearState();
    context->CopyResource(readback, outBuffer);
}

int GpuPass() {
    DenoiseState& s = denoiseState;
    const int32_t centre = s.pendingFrame;
    const DenoiseParams& p = s.denoiseParams;

    ID3D11ShaderResourceView* lumaViews[viewCount] = {};
    ID3D11ShaderResourceView* chromaViews[viewCount] = {};
    if (!gatherViews(centre, p.lumaTime, false, lumaViews) || !gatherViews(centre, p.chromaTime, true, chromaViews))
        return recordWorkerFailure(textFrameMissing, Teardown::none);

    if (!s.context || !s.lumaParams || !s.chromaParams) return failUnknown();
    if (!s.outputRunActive || s.fixedParamsDirty) {
        if (!writeParams(s.lumaParams, p.lumaSpace, p.lumaTime, p.lumaDispersion) ||
            !writeParams(s.chromaParams, p.chromaSpace, p.chromaTime, p.chromaDispersion))
            return failUnknown();
    }

    ID3D11ComputeShader* lumaShader = s.outputRunActive ? s.lumaShaderFixed : s.lumaShaderRuntime;
    ID3D11ComputeShader* chromaShader = s.outputRunActive ? s.chromaShaderFixed : s.chromaShaderRuntime;
    if (!lumaShader || !chromaShader || !s.outUav || !s.outBuffer || !s.readbackBuffer) return failUnknown();

    const PlaneKernel planes[2] = {{lumaShader, s.lumaParams, lumaViews}, {chromaShader, s.chromaParams, chromaViews}};
    ID3D11DeviceContext* c = s.context;
    dispatchPlanes(c, s.outUav, planes, 2, s.alignedWidth, s.alignedHeight, s.outBuffer, s.readbackBuffer);

    if (!s.hostResult && !allocateHostResult()) return recordWorkerFailure(textMemoryFailed, Teardown::none);

    D3D11_MAPPED_SUBRESOURCE mapped = {};
    if (FAILED(c->Map(s.readbackBuffer, 0, D3D11_MAP_READ, 0, &mapped)) || !mapped.pData) return failUnknown();
    unpackResult(static_cast<const float*>(mapped.pData), s.alignedWidth, s.procWidth, s.procHeight, s.hostResult);
    c->Unmap(s.readbackBuffer, 0);

    s.publishedGeneration = s.workerGeneration;
    s.publishedWidth = s.procWidth;
    s.publishedHeight = s.procHeight;
    s.readyFrame.store(centre);
    s.pendingFrame = -1;
    s.fixedParamsDirty = false;
    return 1;
}

unsigned __stdcall workerMain(void*) {
    return GpuPass() == 1 ? 0u : 0xFFFFFFFFu;
}
