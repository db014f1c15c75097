#include "cli/analysis/chroma_detail.h"

#include "cli/media/pixel_convert.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstddef>

namespace quenda_cli {

bool chromaFinerThanPairs(AVPixelFormat format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(workingFormat(format));
    if (!desc) return false;
    const int colours = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) ? desc->nb_components - 1 : desc->nb_components;
    return colours == 3 && desc->log2_chroma_w == 0;
}

std::string chromaPairsWarning(const std::string& path, AVPixelFormat format) {
    return path + " is " + pixelFormatName(format) +
           ", with chroma for every pixel; the plug-in keeps one chroma value per two pixels across, so its "
           "colour edges come back softer (--chroma-detail keep restores the input's own chroma detail)";
}

namespace {

int16_t clampHost(int value) { return static_cast<int16_t>(std::clamp(value, -32768, 32767)); }

// The plug-in's pair mean: the half-sum rounded toward minus infinity.
int pairMean(int a, int b) { return (a + b) >> 1; }

}  // namespace

void restoreChromaDetail(const PixelYC* input, PixelYC* result, int rowPixels, int height) {
    for (int j = 0; j < height; ++j) {
        const PixelYC* in = input + static_cast<ptrdiff_t>(j) * rowPixels;
        PixelYC* out = result + static_cast<ptrdiff_t>(j) * rowPixels;
        for (int x = 0; x + 1 < rowPixels; x += 2) {
            const int cb = pairMean(in[x].cb, in[x + 1].cb), cr = pairMean(in[x].cr, in[x + 1].cr);
            for (int k = x; k < x + 2; ++k) {
                out[k].cb = clampHost(out[k].cb + in[k].cb - cb);
                out[k].cr = clampHost(out[k].cr + in[k].cr - cr);
            }
        }
    }
}

}  // namespace quenda_cli
