// The input's streams other than the video being encoded, copied into the
// output: their packets that start within the span of the frames written, in
// step with the video; cover art and attachments whole; audio that the
// container cannot hold converted or refused (AudioMode). The file's tags and
// chapters, and the video stream's tags and picture description (rotation,
// HDR), are carried over; what the container cannot hold is named.
#pragma once

#include "cli/media/audio_transcode.h"
#include "cli/media/ffmpeg_util.h"
#include "cli/media/muxer.h"

#include <memory>
#include <string>
#include <vector>

namespace quenda_cli {

// Audio that the output's container cannot hold as it is: converted with a
// note (automatic), refused (copy), or left out (drop); transcode converts
// all audio.
enum class AudioMode { automatic, copy, transcode, drop };

class StreamCopy {
public:
    // `input` is the input opened again, `videoIndex` its video stream, whose
    // description goes to `video`. Adds the streams to `muxer`, and a line to
    // `warnings` for each thing left out. A `chunk` refuses to encode audio
    // again, which would not join exactly. Throws CliError.
    StreamCopy(Muxer& muxer, InputContextPtr input, int videoIndex, AVStream& video, AudioMode audio,
               double startSeconds, double endSeconds, bool chunk, std::vector<std::string>& warnings);
    ~StreamCopy();
    StreamCopy(const StreamCopy&) = delete;
    StreamCopy& operator=(const StreamCopy&) = delete;

    int streams() const { return static_cast<int>(copies_.size()); }
    // Writes the packets that start before `seconds`.
    void copyUntil(double seconds);
    // Writes the rest.
    void finish();

private:
    struct Copy {
        int inputIndex;
        AVStream* output;                           // a copy of the stream, or
        std::unique_ptr<AudioTranscoder> transcoder;  // its sound encoded again
    };

    // Copies, encodes again, attaches or leaves out one of the input's
    // streams other than the video; `container` names the output in warnings.
    void addStream(unsigned index, AVStream& in, AudioMode audioMode, bool chunk, const std::string& container,
                   std::vector<std::string>& warnings);
    void attachPicture(const AVStream& picture);
    void writeHeld();

    Muxer& muxer_;
    InputContextPtr source_;
    std::vector<Copy> copies_;
    PacketPtr held_;  // the next packet, read ahead, not yet due
    bool holding_ = false;
    bool ended_ = true;
    double start_;
    double end_;
};

}  // namespace quenda_cli
