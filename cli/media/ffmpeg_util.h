// Ownership and error text for FFmpeg objects.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <memory>
#include <string>

namespace quenda_cli {

struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct InputContextClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct SwsFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextClose>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;

FramePtr allocFrame();
PacketPtr allocPacket();
// A new reference to the same frame data and properties.
FramePtr cloneFrame(const AVFrame& frame);
// A frame of the given format and size with its own buffers.
FramePtr newFrame(AVPixelFormat format, int width, int height);

std::string avErrorText(int error);
std::string pixelFormatName(int format);

// quenda's names are file names ("-" aside). FFmpeg would read "file:NAME" as
// NAME, and names of its other protocols that read local files (concat:,
// subfile:, async:, cache:, crypto:, pipe:, fd:, ...) through files that the
// checks on a run's names cannot see; so "file:" is taken off, the others are
// refused (CliError, usage) when `reads`, and a network address is kept.
std::string fileName(const std::string& name, bool reads);
// Whether FFmpeg reads `name` over the network (http:, rtmp:, ...).
bool isNetworkName(const std::string& name);
// What to hand FFmpeg for a file name: "file:" before it, so that a colon in
// the name is never taken for a protocol; network names and "pipe:1" as they are.
std::string ffmpegUrl(const std::string& path);

// Opens a file for demuxing and reads its stream information; throws CliError
// naming the file as `name` (default: its path).
InputContextPtr openInputFile(const std::string& path, const std::string& name = "");

// Quietens FFmpeg's own logging unless QUENDA_FFMPEG_LOG asks otherwise,
// counts the errors that decoders log (see DecodeErrors) and keeps the last
// error message.
void configureFfmpegLogging();
// The last error that FFmpeg or a library under it logged, since the last
// call; empty when none. Says why a call that returned only a code failed.
std::string takeLoggedError();

// The errors a decoder reported: counted from FFmpeg's log for the decoder
// whose `opaque` points here (its threads' copies included), and added to by
// its caller for failed calls that logged nothing.
struct DecodeErrors {
    std::atomic<int> count{0};
};

}  // namespace quenda_cli
