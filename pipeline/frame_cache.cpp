#include "pipeline/frame_cache.h"

#include <cstring>

#include "pipeline/plane_convert.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"
#include "state/failure_report.h"

namespace {

// Largest frame side whose planes, border included, fit a Direct3D 11
// texture (16,384 texels); it also keeps every texel and byte count of the
// planes within 32 bits.
constexpr int32_t maxFrameSide = 16384 - 2 * planeBorder;

int32_t clampFrame(int32_t f, int32_t count) {
    if ((count - 1 < f ? count - 1 : f) < 0) return 0;
    if (f > count - 1) return count - 1;
    return f;
}

// The size of a frame the host handed out.
struct FrameSize {
    int32_t width = 0;
    int32_t height = 0;
};

// The host's image must fit the output image it will be written back to.
bool frameFits(const FrameProcInfo* frame, FrameSize size) {
    return size.width > 0 && size.height > 0 && size.width <= frame->rowPixels && size.height <= frame->heightBound;
}

const PixelYC* fetchFrame(FilterTable* filter, const FrameProcInfo* frame, int32_t index, FrameSize* size) {
    const PixelYC* src =
        filter->services->getFrameImage(filter, frame->editHandle, index, &size->width, &size->height);
    return src && frameFits(frame, *size) ? src : nullptr;
}

// Empties the cache, declares the host's cache again and remakes the staging
// textures for the frame just fetched; returns the frame fetched again.
const PixelYC* resetCache(FilterTable* filter, const FrameProcInfo* frame, int32_t index, int* result) {
    DenoiseState& s = denoiseState;
    HostServices* services = filter->services;
    releaseCache();
    // The host's material changed: a result computed ahead from the old
    // frames must not be served.
    ++s.discardGeneration;
    services->setupFrameCache(filter, frame->rowPixels, frame->heightBound, 0, 0);
    services->setupFrameCache(filter, frame->rowPixels, frame->heightBound, 1, 0);
    FrameSize size;
    const PixelYC* src = fetchFrame(filter, frame, index, &size);
    if (!src) {
        *result = 0;
        return nullptr;
    }
    s.srcWidth = size.width;
    s.srcHeight = size.height;
    s.frameCountAtUpload = services->getFrameCount(frame->editHandle);
    // A larger frame gets the box of a texture that cannot be made.
    const bool tooLarge = s.srcWidth > maxFrameSide || s.srcHeight > maxFrameSide;
    releaseObject(s.stagingLuma);
    D3D11_TEXTURE2D_DESC desc = tooLarge ? D3D11_TEXTURE2D_DESC{} : planeDesc(false, true);
    if (tooLarge || FAILED(s.device->CreateTexture2D(&desc, nullptr, &s.stagingLuma))) {
        *result = reportFailure(filter, textStagingTextureFailed, Teardown::none);
        return nullptr;
    }
    releaseObject(s.stagingChroma);
    desc = planeDesc(true, true);
    if (FAILED(s.device->CreateTexture2D(&desc, nullptr, &s.stagingChroma))) {
        *result = reportFailure(filter, textStagingTextureFailed, Teardown::none);
        return nullptr;
    }
    return src;
}

// Packs one fetched frame into the staging textures and copies them into
// the frame's own pair; false where the staging textures cannot be mapped.
bool fillTextures(const FrameProcInfo* frame, const PixelYC* src, ID3D11Texture2D* lumaTexture,
                  ID3D11Texture2D* chromaTexture) {
    DenoiseState& s = denoiseState;
    D3D11_MAPPED_SUBRESOURCE luma = {}, chroma = {};
    bool lumaMapped = SUCCEEDED(s.context->Map(s.stagingLuma, 0, D3D11_MAP_WRITE, 0, &luma)) && luma.pData;
    bool chromaMapped =
        lumaMapped && SUCCEEDED(s.context->Map(s.stagingChroma, 0, D3D11_MAP_WRITE, 0, &chroma)) && chroma.pData;
    if (!chromaMapped) {
        if (lumaMapped) s.context->Unmap(s.stagingLuma, 0);
        return false;
    }
    uint16_t* lumaPlane = static_cast<uint16_t*>(luma.pData);
    ChromaTexel* chromaPlane = static_cast<ChromaTexel*>(chroma.pData);
    const int32_t lumaPitch = static_cast<int32_t>(luma.RowPitch / 2);
    const int32_t chromaPitch = static_cast<int32_t>(chroma.RowPitch / 4);
    packFrameRows(src, frame->rowPixels, lumaPlane, lumaPitch, chromaPlane, chromaPitch, s.srcWidth, s.srcHeight);
    packBorderRows(lumaPlane, lumaPitch, chromaPlane, chromaPitch, s.srcWidth, s.srcHeight);
    s.context->Unmap(s.stagingLuma, 0);
    s.context->Unmap(s.stagingChroma, 0);
    s.context->CopyResource(lumaTexture, s.stagingLuma);
    s.context->CopyResource(chromaTexture, s.stagingChroma);
    return true;
}

// Converts one fetched frame into a new pair of GPU textures and stores their
// views in the first free slot.
int uploadFrame(FilterTable* filter, const FrameProcInfo* frame, const PixelYC* src, int32_t index) {
    DenoiseState& s = denoiseState;
    ID3D11Texture2D* lumaTexture = nullptr;
    ID3D11Texture2D* chromaTexture = nullptr;
    D3D11_TEXTURE2D_DESC desc = planeDesc(false, false);
    if (FAILED(s.device->CreateTexture2D(&desc, nullptr, &lumaTexture)))
        return reportFailure(filter, textFrameTextureFailed, Teardown::none);
    desc = planeDesc(true, false);
    if (FAILED(s.device->CreateTexture2D(&desc, nullptr, &chromaTexture))) {
        releaseObject(lumaTexture);
        return reportFailure(filter, textFrameTextureFailed, Teardown::none);
    }

    if (!fillTextures(frame, src, lumaTexture, chromaTexture)) {
        releaseObject(lumaTexture);
        releaseObject(chromaTexture);
        return reportFailure(filter, textStagingLockFailed, Teardown::none);
    }

    ID3D11ShaderResourceView* lumaView = nullptr;
    ID3D11ShaderResourceView* chromaView = nullptr;
    if (FAILED(s.device->CreateShaderResourceView(lumaTexture, nullptr, &lumaView))) {
        releaseObject(lumaTexture);
        releaseObject(chromaTexture);
        return reportFailure(filter, textViewFailed, Teardown::none);
    }
    releaseObject(lumaTexture);
    if (FAILED(s.device->CreateShaderResourceView(chromaTexture, nullptr, &chromaView))) {
        releaseObject(lumaView);
        releaseObject(chromaTexture);
        return reportFailure(filter, textViewFailed, Teardown::none);
    }
    releaseObject(chromaTexture);

    for (FrameCacheSlot& slot : s.frameCache) {
        if (!slot.lumaView) {
            slot.frame = index;
            slot.lumaView = lumaView;
            slot.chromaView = chromaView;
            return 1;
        }
    }
    // Every slot is taken: the frame cannot be held.
    releaseObject(lumaView);
    releaseObject(chromaView);
    return reportFailure(filter, textFrameMissing, Teardown::none);
}

bool isCached(int32_t index) {
    for (const FrameCacheSlot& slot : denoiseState.frameCache)
        if (slot.lumaView && slot.frame == index) return true;
    return false;
}

}  // namespace

D3D11_TEXTURE2D_DESC planeDesc(bool chroma, bool staging) {
    const DenoiseState& s = denoiseState;
    D3D11_TEXTURE2D_DESC desc;
    std::memset(&desc, 0, sizeof desc);
    desc.Width = static_cast<UINT>(chroma ? chromaPlaneWidth(s.srcWidth) : lumaPlaneWidth(s.srcWidth));
    desc.Height = static_cast<UINT>(planeHeight(s.srcHeight));
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = chroma ? DXGI_FORMAT_R16G16_UNORM : DXGI_FORMAT_R16_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = staging ? D3D11_USAGE_STAGING : D3D11_USAGE_DEFAULT;
    desc.BindFlags = staging ? 0u : static_cast<UINT>(D3D11_BIND_SHADER_RESOURCE);
    desc.CPUAccessFlags = staging ? static_cast<UINT>(D3D11_CPU_ACCESS_WRITE | D3D11_CPU_ACCESS_READ) : 0u;
    return desc;
}

int uploadWindow(FilterTable* filter, FrameProcInfo* frame, int32_t centre, int32_t radius) {
    DenoiseState& s = denoiseState;
    HostServices* services = filter->services;
    int32_t count = services->getFrameCount(frame->editHandle);
    int32_t first = clampFrame(centre, count);

    if (s.cacheSizeUnset) {
        s.cacheSizeUnset = false;
        services->setupFrameCache(filter, frame->rowPixels, frame->heightBound, 1, 0);
    }

    // A reset part-way through empties frames this pass already found; the
    // pass then starts over so the whole window is cached when it returns.
    int restarts = 0;
    for (int64_t f = static_cast<int64_t>(first) - radius; f <= static_cast<int64_t>(first) + radius; ++f) {
        const int32_t index = clampFrame(static_cast<int32_t>(f < INT32_MIN ? INT32_MIN : f), count);
        if (isCached(index)) continue;
        FrameSize size;
        const PixelYC* src = fetchFrame(filter, frame, index, &size);
        if (!src) return 0;
        const bool reset = services->getFrameCount(frame->editHandle) != s.frameCountAtUpload ||
                           size.width != s.srcWidth || size.height != s.srcHeight || !s.stagingLuma ||
                           !s.stagingChroma;
        if (reset) {
            int result = 0;
            src = resetCache(filter, frame, index, &result);
            if (!src) return result;
        }
        if (!uploadFrame(filter, frame, src, index)) return 0;
        if (reset && f > static_cast<int64_t>(first) - radius && restarts < 2) {
            ++restarts;
            count = services->getFrameCount(frame->editHandle);
            first = clampFrame(centre, count);
            f = static_cast<int64_t>(first) - radius - 1;
        }
    }
    // The host's record is written once, with the size of the frames held.
    frame->frameWidth = s.srcWidth;
    frame->frameHeight = s.srcHeight;
    // Frames found in the cache were checked against an earlier call's image;
    // an empty window (radius below 0) holds no frame to check.
    return radius < 0 || frameFits(frame, FrameSize{s.srcWidth, s.srcHeight}) ? 1 : 0;
}

void evictOutside(FilterTable* filter, FrameProcInfo* frame, int32_t centre, int32_t radius) {
    const int32_t c = clampFrame(centre, filter->services->getFrameCount(frame->editHandle));
    const int64_t low = static_cast<int64_t>(c) - radius;
    const int64_t high = static_cast<int64_t>(c) + radius;
    for (FrameCacheSlot& slot : denoiseState.frameCache) {
        if (slot.frame < low || slot.frame > high) {
            slot.frame = -1;
            releaseObject(slot.lumaView);
            releaseObject(slot.chromaView);
        }
    }
}
