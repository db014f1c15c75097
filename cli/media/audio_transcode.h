// An audio stream that the output's container cannot hold as it is (FLAC or
// PCM into MP4, for example), decoded and encoded again with an encoder that
// the container takes: its own default first. The sound keeps its place in
// time; its sample format, rate and channel layout change only where the
// new encoder requires.
#pragma once

#include "cli/media/ffmpeg_util.h"
#include "cli/media/muxer.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

#include <string>

namespace quenda_cli {

class AudioTranscoder {
public:
    // Adds the new stream to `muxer`. Throws CliError (output) when FFmpeg
    // has no encoder that the container takes.
    AudioTranscoder(const AVStream& input, Muxer& muxer);
    ~AudioTranscoder();
    AudioTranscoder(const AudioTranscoder&) = delete;
    AudioTranscoder& operator=(const AudioTranscoder&) = delete;

    std::string encoderName() const { return encoder_->codec->name; }
    // Decodes a packet of the input stream and writes what the encoder gives.
    void send(AVPacket& packet);
    // Writes the rest.
    void finish();

private:
    void decoded(AVFrame* frame);  // null: the decoder is drained
    void encodeQueued(bool all);
    void drain();

    Muxer& muxer_;
    AVRational inputTimeBase_;
    CodecContextPtr decoder_;
    CodecContextPtr encoder_;
    AVStream* stream_ = nullptr;
    SwrContext* resampler_ = nullptr;
    AVAudioFifo* queue_ = nullptr;
    FramePtr frame_;
    PacketPtr packet_;
    int64_t nextPts_ = AV_NOPTS_VALUE;  // in samples of the encoder's rate
};

}  // namespace quenda_cli
