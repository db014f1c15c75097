// Writing the denoised video: encoder chosen by the output's extension, the
// input's size, pixel format, frame rate, time stamps, colour description,
// rotation, HDR metadata and field order kept; the input's other streams
// (audio, subtitles, further video, cover art, attachments) and chapters
// copied where the container holds them. The file is written under a
// temporary name and renamed only once it is complete.
#pragma once

#include "cli/media/ffmpeg_util.h"
#include "cli/media/muxer.h"
#include "cli/media/stream_copy.h"
#include "cli/media/video_input.h"

#include <memory>
#include <string>
#include <vector>

namespace quenda_cli {

struct OutputSettings {
    std::string codec;   // FFmpeg encoder; empty: by the format (.y4m raw, .mkv FFV1, .mp4 H.264)
    std::string format;  // FFmpeg muxer; empty: by the extension, Y4M for "-"
    Overwrite overwrite = Overwrite::refuse;
    std::string crf;     // the encoder's own settings, when given
    std::string preset;
    std::string encoderOptions;  // KEY=VALUE:KEY=VALUE
    AudioMode audio = AudioMode::automatic;
    bool quiet = false;  // also the encoders' own banners
    Links links = Links::follow;  // and for --report and --compare
};

class VideoOutput {
public:
    // Opens `path` for writing ("-" is standard output). Throws CliError.
    VideoOutput(const std::string& path, const OutputSettings& settings, const VideoInfo& video);
    // Replaces any existing file: for the example and test clips.
    VideoOutput(const std::string& path, const std::string& codec, const VideoInfo& video)
        : VideoOutput(path, OutputSettings{codec, "", Overwrite::allow, "", "", "", AudioMode::automatic, true}, video) {}
    ~VideoOutput();
    VideoOutput(const VideoOutput&) = delete;
    VideoOutput& operator=(const VideoOutput&) = delete;

    // Copies the streams of `source` (the input, opened again) other than its
    // video, with their packets that start within [startSeconds, endSeconds),
    // and its chapters; a `chunk` keeps its audio as it is or refuses.
    // Call before the first frame.
    void copyStreamsFrom(InputContextPtr source, double startSeconds, double endSeconds, bool chunk);

    // Encodes one frame of the input's format; `pts` in the input's time base.
    void write(const AVFrame& frame, int64_t pts);
    // Flushes, finalises and moves the file to its name. Throws CliError.
    void finish() {
        finalise();
        commit();
    }
    // The same in two steps: the file is moved to its name by commit().
    void finalise();
    void commit() { muxer_.commit(); }
    // The file being written, under its temporary name until commit().
    std::string writtenPath() const { return muxer_.writtenPath(); }

    // A tag of the file; call before the first frame. False where it cannot be stored.
    bool setTag(const std::string& key, const std::string& value) { return muxer_.setTag(key, value); }
    const std::string& path() const { return path_; }
    bool y4m() const { return y4m_; }
    std::string encoderName() const;
    AVPixelFormat storedFormat() const;
    int copiedStreams() const;
    int framesWritten() const { return written_; }
    const std::vector<std::string>& warnings() const { return warnings_; }

private:
    void setUpEncoder(const OutputSettings& settings);
    // The format the frames are stored in: the input's where the encoder
    // takes it, else the nearest it takes, with a warning.
    AVPixelFormat chooseStoredFormat(const AVCodec& encoder);
    // Opens the encoder for `stored`, or for a format without subsampling
    // where an odd size is refused; returns the format opened. Throws CliError.
    AVPixelFormat openEncoderFor(const AVCodec& encoder, AVPixelFormat stored, const OutputSettings& settings);
    const AVCodec& findEncoder(const std::string& codec);
    // Opens the encoder for frames of `stored`; FFmpeg's result.
    int openEncoder(const AVCodec& encoder, AVPixelFormat stored, const OutputSettings& settings);
    // Converts frames to `stored` where it is not the input's format.
    void storeAs(AVPixelFormat stored);
    void writeHeader(const AVFrame& first);
    void drainEncoder();
    [[noreturn]] void failEncoding(int error) const;

    std::string path_;
    VideoInfo video_;
    Muxer muxer_;
    AudioMode audioMode_;
    bool y4m_ = false;
    AVStream* stream_ = nullptr;
    CodecContextPtr encoder_;
    SwsPtr convert_;
    FramePtr converted_;
    PacketPtr packet_;
    bool relabel_ = false;  // JPEG-range frames stored under the plain format's name
    bool headerWritten_ = false;
    int written_ = 0;
    int64_t counter_ = 0;
    bool frameCounted_ = false;  // one tick a frame (AVI)
    int64_t lastPts_ = INT64_MIN;
    std::vector<std::string> warnings_;
    std::unique_ptr<StreamCopy> copy_;
};

}  // namespace quenda_cli
