#include "cli/media/pixel_convert.h"

#include "cli/commands/errors.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>

namespace quenda_cli {

namespace {

// Nearest integer to n / d (d > 0), halves away from zero.
int64_t roundDiv(int64_t n, int64_t d) { return n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d); }

// roundDiv(n, 4) without a division or a branch.
inline int roundQuarter(int n) {
    const int sign = n < 0 ? -1 : 0;
    return ((((n ^ sign) - sign + 2) >> 2) ^ sign) - sign;
}

int componentDepth(const AVPixFmtDescriptor& desc) {
    int depth = 0;
    for (int i = 0; i < desc.nb_components; ++i) depth = std::max(depth, desc.comp[i].depth);
    return depth;
}

bool hasAlpha(const AVPixFmtDescriptor& desc) { return (desc.flags & AV_PIX_FMT_FLAG_ALPHA) != 0; }

const AVPixFmtDescriptor& descriptorOf(AVPixelFormat format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc) throw CliError(ExitCode::input, "unknown pixel format " + pixelFormatName(format));
    return *desc;
}

template <typename Sample>
const Sample* rowOf(const AVFrame& frame, int plane, int row) {
    return reinterpret_cast<const Sample*>(frame.data[plane] + static_cast<ptrdiff_t>(row) * frame.linesize[plane]);
}

template <typename Sample>
Sample* rowOf(AVFrame& frame, int plane, int row) {
    return reinterpret_cast<Sample*>(frame.data[plane] + static_cast<ptrdiff_t>(row) * frame.linesize[plane]);
}

}  // namespace

bool isDirectFormat(AVPixelFormat format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc) return false;
    const uint64_t excluded = AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL |
                              AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BAYER;
    if (desc->flags & excluded) return false;
#if AV_HAVE_BIGENDIAN
    if (!(desc->flags & AV_PIX_FMT_FLAG_BE) && desc->comp[0].depth > 8) return false;
#else
    if (desc->flags & AV_PIX_FMT_FLAG_BE) return false;
#endif
    const int colours = hasAlpha(*desc) ? desc->nb_components - 1 : desc->nb_components;
    if (colours != 1 && colours != 3) return false;
    const int depth = desc->comp[0].depth;
    if (depth < 8 || depth > 16) return false;
    const int bytes = depth > 8 ? 2 : 1;
    for (int i = 0; i < desc->nb_components; ++i) {
        const AVComponentDescriptor& comp = desc->comp[i];
        if (comp.plane != i || comp.step != bytes || comp.offset != 0 || comp.shift != 0 || comp.depth != depth)
            return false;
    }
    return true;
}

AVPixelFormat workingFormat(AVPixelFormat format) {
    if (isDirectFormat(format)) return format;
    const AVPixFmtDescriptor& source = descriptorOf(format);
    const bool rgb = (source.flags & AV_PIX_FMT_FLAG_RGB) != 0;
    const bool alpha = hasAlpha(source);
    const int colours = alpha ? source.nb_components - 1 : source.nb_components;
    const bool grey = !rgb && colours == 1;
    const int shiftX = rgb ? 0 : source.log2_chroma_w;
    const int shiftY = rgb ? 0 : source.log2_chroma_h;
    const int depth = std::max(8, componentDepth(source));

    // The direct format of the same layout with the least depth that holds
    // every source code; failing that, the deepest one.
    AVPixelFormat best = AV_PIX_FMT_NONE;
    int bestDepth = 0;
    for (const AVPixFmtDescriptor* desc = av_pix_fmt_desc_next(nullptr); desc;
         desc = av_pix_fmt_desc_next(desc)) {
        const AVPixelFormat candidate = av_pix_fmt_desc_get_id(desc);
        if (!isDirectFormat(candidate) || hasAlpha(*desc) != alpha) continue;
        const int candidateColours = alpha ? desc->nb_components - 1 : desc->nb_components;
        if ((candidateColours == 1) != grey) continue;
        if (!grey && (desc->log2_chroma_w != shiftX || desc->log2_chroma_h != shiftY)) continue;
        if (std::string(desc->name).find("yuvj") == 0) continue;
        const int candidateDepth = desc->comp[0].depth;
        const bool better = best == AV_PIX_FMT_NONE ||
                            (bestDepth < depth ? candidateDepth > bestDepth
                                               : candidateDepth >= depth && candidateDepth < bestDepth);
        if (better) {
            best = candidate;
            bestDepth = candidateDepth;
        }
    }
    if (best == AV_PIX_FMT_NONE)
        throw CliError(ExitCode::input, "pixel format " + pixelFormatName(format) + " is not supported");
    return best;
}

bool isFullRange(AVPixelFormat format, AVColorRange range) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return true;
        default:
            break;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    // RGB has no limited range of its own; it is converted to full-range YUV.
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_RGB)) return true;
    return range == AVCOL_RANGE_JPEG;
}

// toHost_ covers every value the sample type holds: a file may carry samples
// above its depth (a damaged or mislabelled stream), read as the largest code.
CodeScale::CodeScale(int depth, bool fullRange, bool chroma)
    : toHost_(size_t{1} << (depth > 8 ? 16 : 8)), toFile_(65536) {
    const int64_t maxCode = (int64_t{1} << depth) - 1;
    int64_t offset, span;  // file code of host 0, and file codes per 4096 host units
    if (fullRange) {
        offset = chroma ? int64_t{1} << (depth - 1) : 0;
        span = maxCode;
    } else {
        offset = (chroma ? 128 : 16) << (depth - 8);
        span = (chroma ? 224 : 219) << (depth - 8);
    }
    for (size_t code = 0; code < toHost_.size(); ++code) {
        const int64_t valid = std::min<int64_t>(static_cast<int64_t>(code), maxCode);
        toHost_[code] = static_cast<int16_t>(roundDiv((valid - offset) * 4096, span));
    }
    for (int64_t value = -32768; value <= 32767; ++value) {
        const int64_t code = roundDiv(value * span, 4096) + offset;
        toFile_[static_cast<size_t>(value + 32768)] = static_cast<uint16_t>(std::clamp<int64_t>(code, 0, maxCode));
    }
}

YcConverter::YcConverter(AVPixelFormat format, int width, int height, bool fullRange, AVColorSpace space)
    : format_(format),
      output_(descriptorOf(format).flags & AV_PIX_FMT_FLAG_PAL ? AV_PIX_FMT_BGRA : format),
      working_(workingFormat(format)),
      width_(width),
      height_(height),
      luma_(descriptorOf(working_).comp[0].depth, fullRange, false),
      chroma_(descriptorOf(working_).comp[0].depth, fullRange, true) {
    const AVPixFmtDescriptor& desc = descriptorOf(working_);
    const int colours = hasAlpha(desc) ? desc.nb_components - 1 : desc.nb_components;
    hasChroma_ = colours == 3;
    chromaShiftX_ = desc.log2_chroma_w;
    chromaShiftY_ = desc.log2_chroma_h;
    wide_ = desc.comp[0].depth > 8;
    if (working_ == format_) return;

    const int flags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
    toWorking_.reset(sws_getContext(width, height, format, width, height, working_, flags, nullptr, nullptr, nullptr));
    fromWorking_.reset(sws_getContext(width, height, working_, width, height, output_, flags, nullptr, nullptr, nullptr));
    if (!toWorking_ || !fromWorking_)
        throw CliError(ExitCode::input, "cannot convert pixel format " + pixelFormatName(format));
    const int* matrix = sws_getCoefficients(space == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : space);
    const int range = fullRange ? 1 : 0;
    sws_setColorspaceDetails(toWorking_.get(), matrix, range, matrix, range, 0, 1 << 16, 1 << 16);
    sws_setColorspaceDetails(fromWorking_.get(), matrix, range, matrix, range, 0, 1 << 16, 1 << 16);
    workFrame_ = newFrame(working_, width, height);
}

const AVFrame& YcConverter::toWorking(const AVFrame& frame) {
    if (!toWorking_) return frame;
    sws_scale(toWorking_.get(), frame.data, frame.linesize, 0, height_, workFrame_->data, workFrame_->linesize);
    return *workFrame_;
}

namespace {

template <typename Sample>
void packImage(const AVFrame& frame, const CodeScale& luma, const CodeScale& chroma, bool hasChroma, int shiftX,
               int shiftY, int width, int height, int rowPixels, PixelYC* image) {
    for (int j = 0; j < height; ++j) {
        PixelYC* out = image + static_cast<ptrdiff_t>(j) * rowPixels;
        const Sample* y = rowOf<Sample>(frame, 0, j);
        const Sample* u = hasChroma ? rowOf<Sample>(frame, 1, j >> shiftY) : nullptr;
        const Sample* v = hasChroma ? rowOf<Sample>(frame, 2, j >> shiftY) : nullptr;
        for (int x = 0; x < rowPixels; ++x) {
            const int source = std::min(x, width - 1);
            out[x].y = luma.toHost(y[source]);
            out[x].cb = hasChroma ? chroma.toHost(u[source >> shiftX]) : 0;
            out[x].cr = hasChroma ? chroma.toHost(v[source >> shiftX]) : 0;
        }
    }
}

template <typename Sample>
void unpackImage(const PixelYC* image, int rowPixels, const CodeScale& luma, const CodeScale& chroma,
                 bool hasChroma, int shiftX, int shiftY, int width, int height, AVFrame& frame) {
    for (int j = 0; j < height; ++j) {
        const PixelYC* in = image + static_cast<ptrdiff_t>(j) * rowPixels;
        Sample* y = rowOf<Sample>(frame, 0, j);
        for (int x = 0; x < width; ++x) y[x] = static_cast<Sample>(luma.toFile(in[x].y));
    }
    if (!hasChroma) return;
    const int chromaWidth = -((-width) >> shiftX);
    const int chromaHeight = -((-height) >> shiftY);
    for (int cy = 0; cy < chromaHeight; ++cy) {
        Sample* u = rowOf<Sample>(frame, 1, cy);
        Sample* v = rowOf<Sample>(frame, 2, cy);
        const int top = cy << shiftY;
        const int bottom = std::min(height, (cy + 1) << shiftY);
        int cx = 0;
        if (shiftX == 1 && shiftY == 1 && bottom - top == 2) {
            // 4:2:0, the common case: whole 2 x 2 blocks without the general
            // loop, the same rounded mean.
            const PixelYC* upper = image + static_cast<ptrdiff_t>(top) * rowPixels;
            const PixelYC* lower = upper + rowPixels;
            for (; cx < width / 2; ++cx) {
                const int x = 2 * cx;
                const int sumCb = upper[x].cb + upper[x + 1].cb + lower[x].cb + lower[x + 1].cb;
                const int sumCr = upper[x].cr + upper[x + 1].cr + lower[x].cr + lower[x + 1].cr;
                u[cx] = static_cast<Sample>(chroma.toFile(roundQuarter(sumCb)));
                v[cx] = static_cast<Sample>(chroma.toFile(roundQuarter(sumCr)));
            }
        }
        for (; cx < chromaWidth; ++cx) {
            const int left = cx << shiftX;
            const int right = std::min(width, (cx + 1) << shiftX);
            int64_t sumCb = 0, sumCr = 0;
            for (int j = top; j < bottom; ++j) {
                const PixelYC* in = image + static_cast<ptrdiff_t>(j) * rowPixels;
                for (int x = left; x < right; ++x) {
                    sumCb += in[x].cb;
                    sumCr += in[x].cr;
                }
            }
            const int64_t count = int64_t{bottom - top} * (right - left);
            u[cx] = static_cast<Sample>(chroma.toFile(static_cast<int>(roundDiv(sumCb, count))));
            v[cx] = static_cast<Sample>(chroma.toFile(static_cast<int>(roundDiv(sumCr, count))));
        }
    }
}

}  // namespace

void YcConverter::toYc(const AVFrame& frame, PixelYC* image) {
    if (frame.width != width_ || frame.height != height_ || frame.format != format_)
        throw CliError(ExitCode::input, "a frame of " + std::to_string(frame.width) + "x" +
                                            std::to_string(frame.height) + " " + pixelFormatName(frame.format) +
                                            " in a clip of " + std::to_string(width_) + "x" +
                                            std::to_string(height_) + " " + pixelFormatName(format_) +
                                            ": changing frame sizes or formats are not supported");
    const AVFrame& planes = toWorking(frame);
    if (wide_)
        packImage<uint16_t>(planes, luma_, chroma_, hasChroma_, chromaShiftX_, chromaShiftY_, width_, height_,
                            rowPixels(), image);
    else
        packImage<uint8_t>(planes, luma_, chroma_, hasChroma_, chromaShiftX_, chromaShiftY_, width_, height_,
                           rowPixels(), image);
}

FramePtr YcConverter::fromYc(const PixelYC* image, const AVFrame& source) {
    FramePtr target;
    AVFrame* planes;
    if (toWorking_) {
        toWorking(source);  // keeps the source's alpha in the working frame
        if (av_frame_make_writable(workFrame_.get()) < 0) throw std::bad_alloc();
        planes = workFrame_.get();
    } else {
        target = cloneFrame(source);
        if (av_frame_make_writable(target.get()) < 0) throw std::bad_alloc();
        planes = target.get();
    }
    if (wide_)
        unpackImage<uint16_t>(image, rowPixels(), luma_, chroma_, hasChroma_, chromaShiftX_, chromaShiftY_, width_,
                              height_, *planes);
    else
        unpackImage<uint8_t>(image, rowPixels(), luma_, chroma_, hasChroma_, chromaShiftX_, chromaShiftY_, width_,
                             height_, *planes);
    if (toWorking_) {
        target = newFrame(output_, width_, height_);
        sws_scale(fromWorking_.get(), workFrame_->data, workFrame_->linesize, 0, height_, target->data,
                  target->linesize);
        av_frame_copy_props(target.get(), &source);
    }
    return target;
}

}  // namespace quenda_cli
