#include "cli/analysis/png_compare.h"

#include "cli/commands/errors.h"
#include "cli/media/pixel_convert.h"

#include <cstring>

namespace quenda_cli {

namespace {

const int gap = 4;  // pixels of dark grey between panels

}  // namespace

std::string comparePng(const std::vector<const AVFrame*>& panels) {
    if (panels.empty()) return "";
    const int width = panels[0]->width, height = panels[0]->height;
    const int total = static_cast<int>(panels.size()) * width + (static_cast<int>(panels.size()) - 1) * gap;
    FramePtr canvas = newFrame(AV_PIX_FMT_RGB24, total, height);
    for (int y = 0; y < height; ++y) std::memset(canvas->data[0] + static_cast<ptrdiff_t>(y) * canvas->linesize[0], 40, static_cast<size_t>(total) * 3);

    for (size_t i = 0; i < panels.size(); ++i) {
        const AVFrame& panel = *panels[i];
        const AVPixelFormat format = static_cast<AVPixelFormat>(panel.format);
        SwsPtr toRgb(sws_getContext(width, height, format, width, height, AV_PIX_FMT_RGB24,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
        if (!toRgb) throw CliError(ExitCode::output, "cannot convert " + pixelFormatName(format) + " to RGB");
        const int* matrix = sws_getCoefficients(panel.colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : panel.colorspace);
        sws_setColorspaceDetails(toRgb.get(), matrix, isFullRange(format, panel.color_range) ? 1 : 0, matrix, 1, 0,
                                 1 << 16, 1 << 16);
        uint8_t* target[4] = {canvas->data[0] + static_cast<ptrdiff_t>(i) * (width + gap) * 3, nullptr, nullptr, nullptr};
        const int pitch[4] = {canvas->linesize[0], 0, 0, 0};
        sws_scale(toRgb.get(), panel.data, panel.linesize, 0, height, target, pitch);
    }

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) throw CliError(ExitCode::output, "FFmpeg has no PNG encoder");
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    if (!encoder) throw std::bad_alloc();
    encoder->width = total;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 1};
    int result = avcodec_open2(encoder.get(), codec, nullptr);
    if (result >= 0) result = avcodec_send_frame(encoder.get(), canvas.get());
    if (result >= 0) result = avcodec_send_frame(encoder.get(), nullptr);
    PacketPtr packet = allocPacket();
    if (result >= 0) result = avcodec_receive_packet(encoder.get(), packet.get());
    if (result < 0) throw CliError(ExitCode::output, "cannot encode the comparison picture: " + avErrorText(result));
    return std::string(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
}

}  // namespace quenda_cli
