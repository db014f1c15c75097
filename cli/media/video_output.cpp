#include "cli/media/video_output.h"

#include "cli/commands/errors.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quenda_cli {

namespace {

// The formats the Y4M muxer writes (those above 8 bits as unofficial tags).
const AVPixelFormat y4mFormats[] = {
        AV_PIX_FMT_GRAY8,       AV_PIX_FMT_GRAY9LE,     AV_PIX_FMT_GRAY10LE,    AV_PIX_FMT_GRAY12LE,
        AV_PIX_FMT_GRAY16LE,    AV_PIX_FMT_YUV411P,     AV_PIX_FMT_YUV420P,     AV_PIX_FMT_YUV422P,
        AV_PIX_FMT_YUV444P,     AV_PIX_FMT_YUVJ420P,    AV_PIX_FMT_YUVJ422P,    AV_PIX_FMT_YUVJ444P,
        AV_PIX_FMT_YUV420P9LE,  AV_PIX_FMT_YUV422P9LE,  AV_PIX_FMT_YUV444P9LE,  AV_PIX_FMT_YUV420P10LE,
        AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_YUV420P12LE, AV_PIX_FMT_YUV422P12LE,
        AV_PIX_FMT_YUV444P12LE, AV_PIX_FMT_YUV420P14LE, AV_PIX_FMT_YUV422P14LE, AV_PIX_FMT_YUV444P14LE,
        AV_PIX_FMT_YUV420P16LE, AV_PIX_FMT_YUV422P16LE, AV_PIX_FMT_YUV444P16LE, AV_PIX_FMT_NONE,
};

// The constant-quality scales of encoders whose own option takes any number
// and clamps it silently; others by their option's range.
void checkCrf(const AVCodec& encoder, const std::string& crf) {
    static const struct {
        const char* name;
        double high;
    } scales[] = {{"libx264", 51}, {"libx264rgb", 51}, {"libx265", 51}, {"libvpx", 63},
                  {"libvpx-vp9", 63}, {"libaom-av1", 63}, {"libsvtav1", 63}};
    double low = 0, high = -1;
    for (const auto& scale : scales)
        if (std::strcmp(encoder.name, scale.name) == 0) high = scale.high;
    if (high < 0 && encoder.priv_class) {
        const AVClass* priv = encoder.priv_class;
        if (const AVOption* option = av_opt_find(&priv, "crf", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) {
            low = std::max(0.0, option->min);
            high = option->max;
        }
    }
    const double value = std::strtod(crf.c_str(), nullptr);
    if (high >= 0 && high < 1e6 && (value < low || value > high)) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", low, high);
        throw CliError(ExitCode::usage, "--crf " + crf + " is outside the " + encoder.name + " encoder's scale, " + range);
    }
}

bool y4mStores(AVPixelFormat format) {
    return format != AV_PIX_FMT_NONE && std::find(std::begin(y4mFormats), std::end(y4mFormats), format) != std::end(y4mFormats);
}

bool encoderStores(const AVCodec* encoder, AVPixelFormat format) {
    if (!encoder->pix_fmts) return true;
    for (const AVPixelFormat* f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == format) return true;
    return false;
}

AVPixelFormat plainEquivalent(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
        default: return AV_PIX_FMT_NONE;
    }
}

// After an encoder opened: a usage error for a setting it refused or does
// not know (unknownKey, left in the options dictionary; empty for none).
void refuseUntakenOptions(const std::string& name, const std::string& unknownKey) {
    // libx264 and libx265 pass over a setting of x264-params or x265-params
    // that they refuse with a warning only.
    const std::string logged = takeLoggedError();
    if (logged.rfind("Error parsing option", 0) == 0 || logged.rfind("Unknown option", 0) == 0 ||
        logged.rfind("Invalid value for", 0) == 0)
        throw CliError(ExitCode::usage, "the " + name + " encoder refuses a setting of --encoder-options: " + logged);
    if (!unknownKey.empty())
        throw CliError(ExitCode::usage, "the " + name + " encoder has no setting " + unknownKey +
                                            (unknownKey == "crf" || unknownKey == "preset" ? " (--" + unknownKey + ")" : ""));
}

}  // namespace

VideoOutput::VideoOutput(const std::string& path, const OutputSettings& settings, const VideoInfo& video)
    : path_(path),
      video_(video),
      muxer_(path, settings.format),
      audioMode_(settings.audio),
      packet_(allocPacket()) {
    y4m_ = muxer_.y4m();
    // Y4M counts frames at one rate: a variable-rate clip plays at its
    // average, as MP4 declares it, not at the declared rate of a Matroska file.
    if (y4m_ && video_.variableRate && video_.averageRate.num > 0) video_.frameRate = video_.averageRate;
    setUpEncoder(settings);
    muxer_.open(settings.overwrite, settings.links);
}

VideoOutput::~VideoOutput() = default;

const AVCodec& VideoOutput::findEncoder(const std::string& codec) {
    const std::string muxer = muxer_.formatName();
    std::string name = codec;
    if (y4m_) {
        if (!codec.empty() && codec != "rawvideo" && codec != "wrapped_avframe")
            warnings_.push_back("Y4M holds raw frames only; --codec " + codec + " is ignored");
        name = "wrapped_avframe";
    } else if (name.empty()) {
        if (muxer == "matroska" || muxer == "nut" || muxer == "avi") name = "ffv1";
        else if (muxer == "mp4" || muxer == "mov" || muxer == "ipod") name = "libx264";
    }
    const AVCodec* encoder = nullptr;
    if (!name.empty()) {
        encoder = avcodec_find_encoder_by_name(name.c_str());
        if (!encoder && name == "libx264")
            throw CliError(ExitCode::encoder, "this FFmpeg has no H.264 encoder (libx264) for " + path_ +
                                                  "; choose another with --codec, or write .mkv");
        if (!encoder) throw CliError(ExitCode::usage, "FFmpeg has no encoder named " + name);
    } else {
        encoder = avcodec_find_encoder(muxer_.context().oformat->video_codec);
        if (!encoder) throw CliError(ExitCode::usage, "no video encoder is known for " + path_ + "; use --codec");
    }
    if (encoder->type != AVMEDIA_TYPE_VIDEO) throw CliError(ExitCode::usage, name + " is not a video encoder");
    if (!y4m_ && avformat_query_codec(muxer_.context().oformat, encoder->id, FF_COMPLIANCE_NORMAL) == 0)
        throw CliError(ExitCode::usage, std::string("a ") + muxer_.context().oformat->name + " file cannot hold " +
                                            encoder->name + " video");
    return *encoder;
}

void VideoOutput::storeAs(AVPixelFormat stored) {
    convert_.reset();
    converted_.reset();
    if (stored == video_.format || relabel_) return;
    convert_.reset(sws_getContext(video_.width, video_.height, video_.format, video_.width, video_.height, stored,
                                  SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
    if (!convert_)
        throw CliError(ExitCode::output, "cannot convert " + pixelFormatName(video_.format) + " to " + pixelFormatName(stored));
    converted_ = newFrame(stored, video_.width, video_.height);
}

int VideoOutput::openEncoder(const AVCodec& encoder, AVPixelFormat stored, const OutputSettings& settings) {
    encoder_.reset(avcodec_alloc_context3(&encoder));
    if (!encoder_) throw std::bad_alloc();
    AVCodecContext& enc = *encoder_;
    enc.width = video_.width;
    enc.height = video_.height;
    enc.pix_fmt = stored;
    enc.sample_aspect_ratio = video_.sampleAspect;
    enc.framerate = video_.frameRate;
    enc.time_base = y4m_ || frameCounted_ ? av_inv_q(video_.frameRate) : video_.timeBase;
    enc.color_range = video_.range;
    enc.color_primaries = video_.primaries;
    enc.color_trc = video_.transfer;
    enc.colorspace = video_.colorSpace;
    enc.chroma_sample_location = video_.chromaLocation;
    enc.field_order = video_.fieldOrder;
    if (video_.fieldOrder != AV_FIELD_UNKNOWN && video_.fieldOrder != AV_FIELD_PROGRESSIVE)
        enc.flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;  // coded as fields where the encoder can
    enc.thread_count = 0;
    if (muxer_.context().oformat->flags & AVFMT_GLOBALHEADER) enc.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const std::string name = encoder.name;
    // Checked before the options dictionary exists, which a throw would leak.
    if (!settings.crf.empty()) checkCrf(encoder, settings.crf);
    AVDictionary* options = nullptr;
    if (encoder.id == AV_CODEC_ID_FFV1) {
        // Level 3 cuts frames into slices to encode on several threads, and
        // FFmpeg 5.1 writes wrong frames where a slice is a pixel or two
        // across; small frames take level 1, which has no slices.
        const bool small = video_.width < 16 || video_.height < 16;
        enc.level = small ? 1 : 3;
        if (!small) av_dict_set(&options, "slicecrc", "1", 0);
    } else if (name == "libx264") {
        av_dict_set(&options, "crf", "16", 0);
        av_dict_set(&options, "preset", "medium", 0);
    }
    // Encoders that print their banners themselves, past FFmpeg's log.
    if (settings.quiet && name == "libx265") av_dict_set(&options, "x265-params", "log-level=error", 0);
    if (settings.quiet && name == "libsvtav1") setenv("SVT_LOG", "1", 0);
    if (!settings.crf.empty()) av_dict_set(&options, "crf", settings.crf.c_str(), 0);
    if (!settings.preset.empty()) av_dict_set(&options, "preset", settings.preset.c_str(), 0);
    if (av_dict_parse_string(&options, settings.encoderOptions.c_str(), "=", ":", 0) < 0) {
        av_dict_free(&options);
        throw CliError(ExitCode::usage, "--encoder-options takes KEY=VALUE:KEY=VALUE, not " + settings.encoderOptions);
    }
    takeLoggedError();
    const int result = avcodec_open2(encoder_.get(), &encoder, &options);
    // What the encoder took is gone from the dictionary; the rest it does not know.
    const AVDictionaryEntry* unknown = av_dict_get(options, "", nullptr, AV_DICT_IGNORE_SUFFIX);
    const std::string unknownKey = unknown ? unknown->key : "";
    av_dict_free(&options);
    if (result >= 0) refuseUntakenOptions(name, unknownKey);
    return result;
}

AVPixelFormat VideoOutput::chooseStoredFormat(const AVCodec& encoder) {
    AVPixelFormat stored = video_.format;
    bool storable = true;
    if (y4m_) {
        storable = y4mStores(stored);
        if (!storable) stored = avcodec_find_best_pix_fmt_of_list(y4mFormats, video_.format, 0, nullptr);
    } else {
        storable = encoderStores(&encoder, stored);
        if (!storable) stored = avcodec_find_best_pix_fmt_of_list(encoder.pix_fmts, video_.format, 0, nullptr);
    }
    // A JPEG-range format that the encoder lacks is stored as its plain
    // equivalent, the same codes marked full range.
    if (!storable && plainEquivalent(video_.format) != AV_PIX_FMT_NONE &&
        (y4m_ ? y4mStores(plainEquivalent(video_.format)) : encoderStores(&encoder, plainEquivalent(video_.format)))) {
        stored = plainEquivalent(video_.format);
        relabel_ = true;
        video_.range = AVCOL_RANGE_JPEG;
        storable = true;
    }
    if (!storable)
        warnings_.push_back(std::string("the ") + (y4m_ ? "Y4M format" : encoder.name) + " cannot store " +
                            pixelFormatName(video_.format) + "; writing " + pixelFormatName(stored));
    return stored;
}

AVPixelFormat VideoOutput::openEncoderFor(const AVCodec& encoder, AVPixelFormat stored, const OutputSettings& settings) {
    int result = openEncoder(encoder, stored, settings);
    std::string why = result < 0 ? takeLoggedError() : "";
    // Most encoders want even sizes for 4:2:0 and 4:2:2; 4:4:4 takes any.
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(stored);
    const bool oddForLayout = (layout->log2_chroma_w && video_.width % 2) || (layout->log2_chroma_h && video_.height % 2);
    if (result < 0 && oddForLayout && encoder.pix_fmts) {
        std::vector<AVPixelFormat> whole;
        for (const AVPixelFormat* f = encoder.pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
            if (!av_pix_fmt_desc_get(*f)->log2_chroma_w && !av_pix_fmt_desc_get(*f)->log2_chroma_h) whole.push_back(*f);
        whole.push_back(AV_PIX_FMT_NONE);
        const AVPixelFormat full = avcodec_find_best_pix_fmt_of_list(whole.data(), video_.format, 0, nullptr);
        if (full != AV_PIX_FMT_NONE && openEncoder(encoder, full, settings) >= 0) {
            warnings_.push_back(std::string("the ") + encoder.name + " encoder cannot store " +
                                std::to_string(video_.width) + "x" + std::to_string(video_.height) + " frames as " +
                                pixelFormatName(stored) + " (" + (why.empty() ? "odd size" : why) + "); writing " +
                                pixelFormatName(full));
            stored = full;
            relabel_ = false;
            result = 0;
        }
    }
    if (result < 0)
        throw CliError(ExitCode::encoder, std::string("the ") + encoder.name + " encoder cannot start: " +
                                              (why.empty() ? avErrorText(result) : why));
    return stored;
}

void VideoOutput::setUpEncoder(const OutputSettings& settings) {
    const AVCodec& encoder = findEncoder(settings.codec);
    const AVPixelFormat chosen = chooseStoredFormat(encoder);
    // AVI counts frames: its time base is the frame rate.
    frameCounted_ = muxer_.formatName() == "avi";
    if (video_.fieldOrder != AV_FIELD_UNKNOWN && video_.fieldOrder != AV_FIELD_PROGRESSIVE)
        warnings_.push_back("the input is interlaced: its frames are filtered whole, both fields together; "
                            "deinterlace it first if the fields move apart");
    storeAs(openEncoderFor(encoder, chosen, settings));
    // An audio format (MP3's video is cover art only) is found out here, not
    // after the whole clip is encoded.
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (!parameters || avcodec_parameters_from_context(parameters, encoder_.get()) < 0) throw std::bad_alloc();
    const bool holds = y4m_ || formatHolds(*muxer_.context().oformat, *parameters, 0, nullptr, video_.frameRate);
    avcodec_parameters_free(&parameters);
    takeLoggedError();
    if (!holds)
        throw CliError(ExitCode::usage, std::string("a ") + muxer_.context().oformat->name + " file cannot hold " +
                                            encoder.name + " video (" + path_ + ")");

    stream_ = avformat_new_stream(&muxer_.context(), nullptr);
    if (!stream_) throw std::bad_alloc();
    avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
    stream_->time_base = encoder_->time_base;
    stream_->avg_frame_rate = video_.frameRate;
    stream_->r_frame_rate = video_.frameRate;
    stream_->sample_aspect_ratio = video_.sampleAspect;
}

void VideoOutput::copyStreamsFrom(InputContextPtr source, double startSeconds, double endSeconds, bool chunk) {
    copy_ = std::make_unique<StreamCopy>(muxer_, std::move(source), video_.streamIndex, *stream_, audioMode_,
                                         startSeconds, endSeconds, chunk, warnings_);
}

int VideoOutput::copiedStreams() const { return copy_ ? copy_->streams() : 0; }

void VideoOutput::writeHeader(const AVFrame& first) {
    stream_->codecpar->field_order = video_.fieldOrder;
    // HDR metadata that only the frames carry (HEVC's SEI) describes the stream too.
    for (const AVFrameSideDataType type : {AV_FRAME_DATA_MASTERING_DISPLAY_METADATA, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL})
        if (const AVFrameSideData* data = av_frame_get_side_data(&first, type))
            addSideData(*stream_,
                        type == AV_FRAME_DATA_CONTENT_LIGHT_LEVEL ? AV_PKT_DATA_CONTENT_LIGHT_LEVEL
                                                                  : AV_PKT_DATA_MASTERING_DISPLAY_METADATA,
                        data->data, data->size);
    muxer_.writeHeader();
    headerWritten_ = true;
    // The MP4 family keeps each frame's duration in 32 bits of its track's
    // time scale, which the header has now chosen.
    const std::string format = muxer_.formatName();
    if (format == "mp4" || format == "mov" || format == "ipod" || format == "3gp" || format == "3g2" ||
        format == "psp" || format == "ismv" || format == "f4v") {
        const int64_t ticks = av_rescale_q(1, av_inv_q(video_.frameRate), stream_->time_base);
        if (ticks > INT32_MAX) {
            char text[160];
            std::snprintf(text, sizeof text, "a frame of %.10g seconds is longer than a %s file can hold (%.10g seconds at most)",
                          av_q2d(av_inv_q(video_.frameRate)), format.c_str(), INT32_MAX * av_q2d(stream_->time_base));
            throw CliError(ExitCode::usage, std::string(text) + "; write .mkv instead");
        }
    }
}

void VideoOutput::drainEncoder() {
    for (;;) {
        const int result = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
        if (result < 0) failEncoding(result);
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        const int64_t ts = packet_->dts != AV_NOPTS_VALUE ? packet_->dts : packet_->pts;
        if (ts != AV_NOPTS_VALUE && copy_) copy_->copyUntil(ts * av_q2d(stream_->time_base));
        muxer_.write(*packet_);
    }
}

void VideoOutput::write(const AVFrame& frame, int64_t pts) {
    if (!headerWritten_) writeHeader(frame);
    const AVFrame* source = &frame;
    if (convert_) {
        if (av_frame_make_writable(converted_.get()) < 0) throw std::bad_alloc();
        sws_scale(convert_.get(), frame.data, frame.linesize, 0, video_.height, converted_->data, converted_->linesize);
        av_frame_copy_props(converted_.get(), &frame);
        source = converted_.get();
    }
    FramePtr send = cloneFrame(*source);
    if (y4m_) {
        send->pts = counter_;
    } else if (frameCounted_) {
        // One tick a frame: the frame's place, rounded, and never repeated.
        send->pts = std::max(av_rescale_q_rnd(pts, video_.timeBase, encoder_->time_base,
                                              static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX)),
                             lastPts_ + 1);
    } else {
        send->pts = pts;
    }
    lastPts_ = send->pts;
    ++counter_;
    send->pict_type = AV_PICTURE_TYPE_NONE;
    if (relabel_) {
        send->format = encoder_->pix_fmt;
        send->color_range = AVCOL_RANGE_JPEG;
    }
    const int result = avcodec_send_frame(encoder_.get(), send.get());
    if (result < 0) failEncoding(result);
    drainEncoder();
    ++written_;
}

void VideoOutput::finalise() {
    if (!headerWritten_) throw CliError(ExitCode::output, "no frame was written to " + path_);
    avcodec_send_frame(encoder_.get(), nullptr);
    drainEncoder();
    if (copy_) copy_->finish();
    muxer_.finalise();
}

std::string VideoOutput::encoderName() const { return encoder_ ? encoder_->codec->name : ""; }

AVPixelFormat VideoOutput::storedFormat() const { return encoder_ ? encoder_->pix_fmt : AV_PIX_FMT_NONE; }

void VideoOutput::failEncoding(int error) const {
    const std::string why = takeLoggedError();
    throw CliError(ExitCode::encoder,
                   "the " + encoderName() + " encoder failed: " + (why.empty() ? avErrorText(error) : why));
}

}  // namespace quenda_cli
