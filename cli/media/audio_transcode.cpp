#include "cli/media/audio_transcode.h"

#include "cli/commands/errors.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>

namespace quenda_cli {

namespace {

// The encoder's own choice where it does not take the input's.
template <typename T, typename Same>
T pick(const T* supported, T end, T wanted, Same same) {
    if (!supported) return wanted;
    for (const T* p = supported; !same(*p, end); ++p)
        if (same(*p, wanted)) return wanted;
    return supported[0];
}

int pickRate(const AVCodec& codec, int wanted) {
    if (!codec.supported_samplerates) return wanted;
    int best = 0;
    for (const int* rate = codec.supported_samplerates; *rate; ++rate) {
        if (*rate == wanted) return wanted;
        if (best == 0 || std::abs(*rate - wanted) < std::abs(best - wanted)) best = *rate;
    }
    return best;
}

// An encoder opened for `input`'s sound, or null where it does not open.
CodecContextPtr openEncoder(const AVCodec& codec, const AVCodecParameters& input, const AVOutputFormat& format) {
    CodecContextPtr encoder(avcodec_alloc_context3(&codec));
    if (!encoder) throw std::bad_alloc();
    const AVSampleFormat wanted = static_cast<AVSampleFormat>(input.format);
    encoder->sample_fmt = pick(codec.sample_fmts, AV_SAMPLE_FMT_NONE, wanted,
                               [](AVSampleFormat a, AVSampleFormat b) { return a == b; });
    encoder->sample_rate = pickRate(codec, input.sample_rate > 0 ? input.sample_rate : 48000);
    // Channels in no stated order are taken as the usual layout of their number.
    AVChannelLayout layout = input.ch_layout;
    if (layout.order != AV_CHANNEL_ORDER_NATIVE) av_channel_layout_default(&layout, layout.nb_channels > 0 ? layout.nb_channels : 2);
    const AVChannelLayout none{};
    const AVChannelLayout chosen = pick(codec.ch_layouts, none, layout, [](const AVChannelLayout& a, const AVChannelLayout& b) {
        return a.nb_channels == b.nb_channels && av_channel_layout_compare(&a, &b) == 0;
    });
    if (av_channel_layout_copy(&encoder->ch_layout, &chosen) < 0) throw std::bad_alloc();
    encoder->time_base = AVRational{1, encoder->sample_rate};
    encoder->bit_rate = 64000 * std::min(encoder->ch_layout.nb_channels, 6);
    if (format.flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.get(), &codec, nullptr) < 0) return nullptr;
    return encoder;
}

}  // namespace

AudioTranscoder::AudioTranscoder(const AVStream& input, Muxer& muxer)
    : muxer_(muxer), inputTimeBase_(input.time_base), frame_(allocFrame()), packet_(allocPacket()) {
    const AVCodec* decoder = avcodec_find_decoder(input.codecpar->codec_id);
    decoder_.reset(decoder ? avcodec_alloc_context3(decoder) : nullptr);
    bool opened = decoder_ && avcodec_parameters_to_context(decoder_.get(), input.codecpar) >= 0;
    if (opened) {
        decoder_->pkt_timebase = input.time_base;
        opened = avcodec_open2(decoder_.get(), decoder, nullptr) >= 0;
    }
    if (!opened) throw CliError(ExitCode::output, "cannot decode the audio to convert it for " + muxer.path());

    const AVOutputFormat& format = *muxer.context().oformat;
    const AVCodecID candidates[] = {format.audio_codec, AV_CODEC_ID_AAC,  AV_CODEC_ID_OPUS, AV_CODEC_ID_VORBIS,
                                    AV_CODEC_ID_MP3,    AV_CODEC_ID_AC3,  AV_CODEC_ID_FLAC, AV_CODEC_ID_PCM_S16LE};
    for (const AVCodecID id : candidates) {
        const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_encoder(id);
        if (!codec || (codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) continue;
        CodecContextPtr encoder = openEncoder(*codec, *input.codecpar, format);
        if (!encoder) continue;
        AVCodecParameters* parameters = avcodec_parameters_alloc();
        if (!parameters) throw std::bad_alloc();
        avcodec_parameters_from_context(parameters, encoder.get());
        const bool holds = formatHolds(format, *parameters);
        avcodec_parameters_free(&parameters);
        if (!holds) continue;
        encoder_ = std::move(encoder);
        break;
    }
    if (!encoder_)
        throw CliError(ExitCode::output, std::string("FFmpeg has no audio encoder whose sound a ") + format.name +
                                             " file can hold; use --audio drop, or write .mkv");

    stream_ = avformat_new_stream(&muxer.context(), nullptr);
    if (!stream_) throw std::bad_alloc();
    avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
    stream_->time_base = encoder_->time_base;
    copyStreamProperties(*stream_, input);
    queue_ = av_audio_fifo_alloc(encoder_->sample_fmt, encoder_->ch_layout.nb_channels, 4096);
    if (!queue_) throw std::bad_alloc();
}

AudioTranscoder::~AudioTranscoder() {
    swr_free(&resampler_);
    if (queue_) av_audio_fifo_free(queue_);
}

void AudioTranscoder::send(AVPacket& packet) {
    // A damaged packet is left out; the rest of the sound keeps its place.
    if (avcodec_send_packet(decoder_.get(), &packet) < 0) return;
    while (avcodec_receive_frame(decoder_.get(), frame_.get()) == 0) {
        decoded(frame_.get());
        av_frame_unref(frame_.get());
    }
}

void AudioTranscoder::finish() {
    avcodec_send_packet(decoder_.get(), nullptr);
    while (avcodec_receive_frame(decoder_.get(), frame_.get()) == 0) {
        decoded(frame_.get());
        av_frame_unref(frame_.get());
    }
    decoded(nullptr);
    encodeQueued(true);
    avcodec_send_frame(encoder_.get(), nullptr);
    drain();
}

void AudioTranscoder::decoded(AVFrame* frame) {
    if (frame && !resampler_) {
        if (swr_alloc_set_opts2(&resampler_, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate,
                                &frame->ch_layout, static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                nullptr) < 0 ||
            swr_init(resampler_) < 0)
            throw CliError(ExitCode::output, "cannot convert the audio for " + encoderName());
        const int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
        nextPts_ = pts == AV_NOPTS_VALUE ? 0 : av_rescale_q(pts, inputTimeBase_, encoder_->time_base);
    }
    if (!resampler_) return;
    FramePtr converted = allocFrame();
    converted->format = encoder_->sample_fmt;
    converted->sample_rate = encoder_->sample_rate;
    if (av_channel_layout_copy(&converted->ch_layout, &encoder_->ch_layout) < 0) throw std::bad_alloc();
    converted->nb_samples = swr_get_out_samples(resampler_, frame ? frame->nb_samples : 0);
    if (converted->nb_samples <= 0) return;
    if (av_frame_get_buffer(converted.get(), 0) < 0) throw std::bad_alloc();
    const int got = swr_convert(resampler_, converted->data, converted->nb_samples,
                                frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr,
                                frame ? frame->nb_samples : 0);
    if (got < 0) throw CliError(ExitCode::output, "cannot convert the audio for " + encoderName());
    if (av_audio_fifo_write(queue_, reinterpret_cast<void**>(converted->data), got) < got) throw std::bad_alloc();
    encodeQueued(false);
}

// Whole encoder frames from the queue; with `all`, the short last one too.
void AudioTranscoder::encodeQueued(bool all) {
    const int size = encoder_->frame_size > 0 ? encoder_->frame_size : 4096;
    while (av_audio_fifo_size(queue_) >= size || (all && av_audio_fifo_size(queue_) > 0)) {
        FramePtr frame = allocFrame();
        frame->format = encoder_->sample_fmt;
        frame->sample_rate = encoder_->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout) < 0) throw std::bad_alloc();
        const int queued = std::min(size, av_audio_fifo_size(queue_));
        // An encoder of fixed frames gets its last one filled with silence.
        const bool shortLast = encoder_->frame_size == 0 || (encoder_->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME |
                                                                                              AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
        frame->nb_samples = shortLast ? queued : size;
        if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::bad_alloc();
        av_audio_fifo_read(queue_, reinterpret_cast<void**>(frame->data), queued);
        if (queued < frame->nb_samples)
            av_samples_set_silence(frame->data, queued, frame->nb_samples - queued, frame->ch_layout.nb_channels,
                                   encoder_->sample_fmt);
        frame->pts = nextPts_;
        nextPts_ += queued;
        const int result = avcodec_send_frame(encoder_.get(), frame.get());
        if (result < 0) throw CliError(ExitCode::encoder, "the " + encoderName() + " encoder failed: " + avErrorText(result));
        drain();
    }
}

void AudioTranscoder::drain() {
    while (avcodec_receive_packet(encoder_.get(), packet_.get()) == 0) {
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        muxer_.write(*packet_);
    }
}

}  // namespace quenda_cli
