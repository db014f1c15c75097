#include "cli/media/ffmpeg_util.h"

#include "cli/commands/errors.h"
#include "cli/commands/output_files.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace quenda_cli {

FramePtr allocFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

PacketPtr allocPacket() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

FramePtr cloneFrame(const AVFrame& frame) {
    FramePtr copy(av_frame_clone(&frame));
    if (!copy) throw std::bad_alloc();
    return copy;
}

FramePtr newFrame(AVPixelFormat format, int width, int height) {
    FramePtr frame = allocFrame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::bad_alloc();
    return frame;
}

std::string avErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

std::string pixelFormatName(int format) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return name ? name : "unknown";
}

namespace {

// FFmpeg refuses a Y4M header of absurd size with an unrelated error code;
// the header itself says what is wrong.
std::string y4mSizeProblem(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return "";
    char header[256] = {};
    const size_t got = std::fread(header, 1, sizeof header - 1, file);
    std::fclose(file);
    if (got < 10 || std::strncmp(header, "YUV4MPEG2 ", 10) != 0) return "";
    long width = 0, height = 0;
    bool sized[2] = {false, false};
    for (const char* p = header + 9; *p && *p != '\n'; ++p) {
        if (p[0] != ' ' || (p[1] != 'W' && p[1] != 'H')) continue;
        (p[1] == 'W' ? width : height) = std::strtol(p + 2, nullptr, 10);
        sized[p[1] == 'H'] = true;
    }
    if (!sized[0] || !sized[1]) return "its header gives no frame width (W) or height (H)";
    if (width > 16384 || height > 16384 || width <= 0 || height <= 0)
        return "its header declares frames of " + std::to_string(width) + "x" + std::to_string(height);
    return "";
}

// FFmpeg's protocols that read nothing of the local file system.
const char* const networkProtocols[] = {"ftp",   "gopher", "gophers", "http",  "https", "httpproxy", "mmsh",
                                        "mmst",  "rtmp",   "rtmpe",   "rtmps", "rtmpt", "rtmpte",    "rtmpts",
                                        "rtp",   "rtsp",   "sctp",    "sftp",  "srt",   "srtp",      "tcp",
                                        "tls",   "udp",    "udplite", "rist",  "amqp",  "zmq",       "ffrtmphttp"};

const char* protocolOf(const std::string& name) { return name == "-" ? nullptr : avio_find_protocol_name(name.c_str()); }

}  // namespace

bool isNetworkName(const std::string& name) {
    const char* protocol = protocolOf(name);
    if (!protocol) return false;
    for (const char* network : networkProtocols)
        if (std::strcmp(protocol, network) == 0) return true;
    return false;
}

std::string fileName(const std::string& name, bool reads) {
    if (name.empty() || name == "-") return name;
    if (name.rfind("file:", 0) == 0) return name.substr(5);
    const char* protocol = protocolOf(name);
    if (!reads || !protocol || std::strcmp(protocol, "file") == 0 || isNetworkName(name)) return name;
    const bool standardInput = std::strcmp(protocol, "pipe") == 0 || std::strcmp(protocol, "fd") == 0;
    throw CliError(ExitCode::usage, name + " names a file through FFmpeg's " + protocol +
                                        ": protocol, which quenda does not take: " +
                                        (standardInput ? std::string("- reads standard input") : "name the file itself") +
                                        " (or ./" + name + " for a file of that name)");
}

std::string ffmpegUrl(const std::string& path) {
    if (path == "pipe:1" || isNetworkName(path)) return path;
    return "file:" + path;
}

namespace {

using IoOpen = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);
IoOpen defaultIoOpen = nullptr;
std::string lastRefusal;

// Every file a demuxer opens (the input, and the files that a list, a
// playlist or a pattern names) is checked against the run's outputs.
int guardedIoOpen(AVFormatContext* context, AVIOContext** pb, const char* url, int flags, AVDictionary** options) {
    const std::string name = url ? url : "";
    if (!(flags & AVIO_FLAG_WRITE) && !isNetworkName(name)) {
        const std::string path = name.rfind("file:", 0) == 0 ? name.substr(5) : name;
        const std::string refusal = readRefusal(path);
        if (!refusal.empty()) {
            lastRefusal = refusal;
            return AVERROR(EPERM);
        }
    }
    return defaultIoOpen(context, pb, url, flags, options);
}

}  // namespace

InputContextPtr openInputFile(const std::string& path, const std::string& name) {
    const std::string& shown = name.empty() ? path : name;
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) throw std::bad_alloc();
    defaultIoOpen = raw->io_open;
    raw->io_open = guardedIoOpen;
    lastRefusal.clear();
    int result = avformat_open_input(&raw, ffmpegUrl(path).c_str(), nullptr, nullptr);
    if (result < 0 && !lastRefusal.empty()) throw CliError(ExitCode::usage, shown + " " + lastRefusal);
    if (result < 0) {
        if (result == AVERROR(ENOENT) || result == AVERROR(EACCES) || result == AVERROR(EISDIR))
            throw CliError(ExitCode::input, "cannot open " + shown + ": " + avErrorText(result));
        const std::string header = y4mSizeProblem(path);
        if (!header.empty())
            throw CliError(ExitCode::input, shown + " cannot be read: " + header + ", which FFmpeg refuses");
        throw CliError(ExitCode::input,
                       shown + " is not a video file that FFmpeg can read (" + avErrorText(result) + ")");
    }
    InputContextPtr context(raw);
    // The concat demuxer opens the files its list names past the check above.
    if (std::strcmp(context->iformat->name, "concat") == 0)
        throw CliError(ExitCode::input, shown + " is a list of files for FFmpeg's concat demuxer, which quenda does "
                                                "not read: join the files into one first, or name one of them");
    result = avformat_find_stream_info(context.get(), nullptr);
    if (result < 0)
        throw CliError(ExitCode::input,
                       "cannot read the streams of " + shown + ": " + avErrorText(result));
    return context;
}

namespace {

std::mutex loggedErrorLock;
std::string loggedError;

// What libx264 and libx265 only warn of when a setting passed in their
// x264-params or x265-params is refused; kept as an error.
bool refusedSetting(void* object, const char* format) {
    if (!object || !format || *static_cast<const AVClass**>(object) != avcodec_get_class()) return false;
    const auto* context = static_cast<const AVCodecContext*>(object);
    if (!context->codec || !av_codec_is_encoder(context->codec)) return false;
    for (const char* start : {"Error parsing option", "Unknown option", "Invalid value for"})
        if (std::strncmp(format, start, std::strlen(start)) == 0) return true;
    return false;
}

void countingLogCallback(void* object, int level, const char* format, va_list args) {
    if (level <= AV_LOG_ERROR || (level <= AV_LOG_WARNING && refusedSetting(object, format))) {
        if (object && *static_cast<const AVClass**>(object) == avcodec_get_class()) {
            const auto* context = static_cast<const AVCodecContext*>(object);
            if (context->opaque && context->codec && av_codec_is_decoder(context->codec))
                ++static_cast<DecodeErrors*>(context->opaque)->count;
        }
        char line[512];
        va_list copy;
        va_copy(copy, args);
        std::vsnprintf(line, sizeof line, format, copy);
        va_end(copy);
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        const std::lock_guard<std::mutex> hold(loggedErrorLock);
        loggedError = text;
    }
    av_log_default_callback(object, level, format, args);
}

}  // namespace

std::string takeLoggedError() {
    const std::lock_guard<std::mutex> hold(loggedErrorLock);
    std::string text;
    text.swap(loggedError);
    return text;
}

void configureFfmpegLogging() {
    av_log_set_callback(countingLogCallback);
    static const struct {
        const char* name;
        int level;
    } levels[] = {{"quiet", AV_LOG_QUIET}, {"error", AV_LOG_ERROR}, {"warning", AV_LOG_WARNING},
                  {"info", AV_LOG_INFO},   {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG}};
    int level = AV_LOG_FATAL;
    if (const char* wanted = std::getenv("QUENDA_FFMPEG_LOG")) {
        for (const auto& entry : levels)
            if (std::strcmp(entry.name, wanted) == 0) level = entry.level;
    }
    av_log_set_level(level);
}

}  // namespace quenda_cli
