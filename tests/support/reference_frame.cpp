#include "tests/support/reference_frame.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "gpu/strength.h"
#include "pipeline/plane_convert.h"
#include "tests/support/nlm_reference.h"

namespace {

struct PackedFrame {
    nlm_reference::Plane luma;
    nlm_reference::Plane chroma;
};

PackedFrame pack(const SyntheticClip& clip, int index) {
    const std::vector<PixelYC> pixels = clip.frame(index);
    PackedFrame f;
    f.luma.width = lumaPlaneWidth(clip.width);
    f.luma.height = planeHeight(clip.height);
    f.luma.channels = 1;
    f.luma.codes.resize(static_cast<size_t>(f.luma.width) * f.luma.height);
    f.chroma.width = chromaPlaneWidth(clip.width);
    f.chroma.height = planeHeight(clip.height);
    f.chroma.channels = 2;
    f.chroma.codes.resize(static_cast<size_t>(f.chroma.width) * f.chroma.height * 2);
    auto* chroma = reinterpret_cast<ChromaTexel*>(f.chroma.codes.data());
    packFrameRows(pixels.data(), clip.width, f.luma.codes.data(), f.luma.width, chroma, f.chroma.width, clip.width,
                  clip.height);
    packBorderRows(f.luma.codes.data(), f.luma.width, chroma, f.chroma.width, clip.width, clip.height);
    return f;
}

}  // namespace

std::vector<PixelYC> referenceFrame(const SyntheticClip& clip, int n, const std::array<int32_t, 6>& tracks) {
    const int alignedWidth = (clip.width + 15) / 16 * 16;
    const int alignedHeight = (clip.height + 15) / 16 * 16;
    std::map<int, PackedFrame> frames;
    auto frameAt = [&](int g) -> const PackedFrame& {
        auto it = frames.find(g);
        if (it == frames.end()) it = frames.emplace(g, pack(clip, g)).first;
        return it->second;
    };
    auto dispatch = [&](int space, int time, int dispersion, bool chroma) {
        nlm_reference::Dispatch d;
        d.textureArray.assign(16, nullptr);
        for (int k = -time; k <= time; ++k) {
            const int g = std::max(0, std::min(n + k, clip.count - 1));
            d.textureArray[k + time] = chroma ? &frameAt(g).chroma : &frameAt(g).luma;
        }
        for (int i = 2 * time + 1; i < 16; ++i) d.textureArray[i] = d.textureArray[time];
        d.reference = 15;
        d.spaceRadius = space;
        d.timeRadius = time;
        d.h2 = dispersionStrength(dispersion);
        d.width = alignedWidth;
        d.groupsX = alignedWidth / 16;
        d.groupsY = alignedHeight / 16;
        return d;
    };
    std::vector<float> outBuff(static_cast<size_t>(alignedWidth) * alignedHeight * 3, 0.0f);
    nlm_reference::lumaKernel(dispatch(tracks[0], tracks[1], tracks[2], false), outBuff);
    nlm_reference::chromaKernel(dispatch(tracks[3], tracks[4], tracks[5], true), outBuff);
    std::vector<PixelYC> result(static_cast<size_t>(clip.width) * clip.height);
    unpackResult(outBuff.data(), alignedWidth, clip.width, clip.height, result.data());
    return result;
}

FrameDifference compareFrames(const std::vector<PixelYC>& a, const std::vector<PixelYC>& b) {
    FrameDifference d;
    if (a.size() != b.size()) {
        d.maxAbs = 1 << 20;
        d.differing = -1;
        return d;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        for (int diff : {a[i].y - b[i].y, a[i].cb - b[i].cb, a[i].cr - b[i].cr}) {
            d.maxAbs = std::max(d.maxAbs, std::abs(diff));
            if (diff) ++d.differing;
        }
    }
    return d;
}
