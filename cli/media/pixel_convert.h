// Conversion between a file's frames and the host's pixels. PixelYC holds luma
// 0 to 4096 for video black to white and chroma -2048 to 2048 for the legal
// range, whatever the bit depth; at 12 bits and below every file code maps to
// its own host value, so a frame that comes back unchanged converts back to
// the same codes.
#pragma once

#include "cli/media/ffmpeg_util.h"
#include "host/filter_table.h"

#include <cstdint>
#include <vector>

namespace quenda_cli {

// Planar YUV or grey of 8 to 16 bits, one sample per plane element: converted
// directly. Every other format goes through swscale to such a format.
bool isDirectFormat(AVPixelFormat format);
// The direct format that `format` is converted through (itself when direct).
AVPixelFormat workingFormat(AVPixelFormat format);
// Full range when the frame says so or the format is a JPEG-range one.
bool isFullRange(AVPixelFormat format, AVColorRange range);

// Value tables of one plane kind at one bit depth and range.
class CodeScale {
public:
    CodeScale(int depth, bool fullRange, bool chroma);
    int16_t toHost(int code) const { return toHost_[static_cast<size_t>(code)]; }
    uint16_t toFile(int value) const { return toFile_[static_cast<size_t>(value + 32768)]; }

private:
    std::vector<int16_t> toHost_;
    std::vector<uint16_t> toFile_;
};

// Frames of one size and format. The host image is `rowPixels()` wide: an odd
// width is padded by repeating the last column, so that the plug-in's chroma
// pairs never straddle two chroma samples. Subsampled chroma is repeated over
// the pixels it covers and brought back as the mean over them.
class YcConverter {
public:
    YcConverter(AVPixelFormat format, int width, int height, bool fullRange, AVColorSpace space);

    int width() const { return width_; }
    int height() const { return height_; }
    int rowPixels() const { return width_ + (width_ & 1); }
    AVPixelFormat format() const { return format_; }
    // The format of the frames fromYc() makes: the input's, or BGRA for a
    // paletted one (a palette cannot hold what the filter makes).
    AVPixelFormat outputFormat() const { return output_; }

    // Fills rowPixels() x height() pixels.
    void toYc(const AVFrame& frame, PixelYC* image);
    // A frame with `source`'s properties (and alpha) and the image's planes.
    FramePtr fromYc(const PixelYC* image, const AVFrame& source);

private:
    const AVFrame& toWorking(const AVFrame& frame);

    AVPixelFormat format_;
    AVPixelFormat output_;
    AVPixelFormat working_;
    int width_;
    int height_;
    int chromaShiftX_ = 0;
    int chromaShiftY_ = 0;
    bool hasChroma_ = false;
    bool wide_ = false;  // two bytes per sample
    CodeScale luma_;
    CodeScale chroma_;
    SwsPtr toWorking_;
    SwsPtr fromWorking_;
    FramePtr workFrame_;
};

}  // namespace quenda_cli
