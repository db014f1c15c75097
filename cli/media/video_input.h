// Reading a video file frame by frame, by index, as the plug-in asks for
// frames: a sliding window of decoded frames, decoding forward while the
// requests move forward and seeking when they jump.
#pragma once

#include "cli/media/ffmpeg_util.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quenda_cli {

struct VideoInfo {
    std::string path;
    std::string containerName;
    std::string codecName;
    int streamIndex = -1;
    int width = 0;
    int height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    AVColorSpace colorSpace = AVCOL_SPC_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVChromaLocation chromaLocation = AVCHROMA_LOC_UNSPECIFIED;
    AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
    AVRational timeBase{1, 25};
    AVRational frameRate{25, 1};
    AVRational sampleAspect{0, 1};
    int frameCount = 0;   // frames found in the file
    std::string fingerprint;  // of the video stream's packets, to tell clips apart
    bool variableRate = false;  // the frames' time stamps are not evenly spaced
    AVRational averageRate{0, 1};  // then: frames per second over their time span
    bool endsEarly = false;  // the file is cut off or damaged after frameCount frames
    std::string endNote;     // why the reading stopped, when endsEarly
    int videoStreams = 1;    // video streams in the file, cover art aside
};

class VideoInput {
public:
    // Largest frame side: the GPU's 16384-texel limit less the plug-in's border.
    static constexpr int maxDimension = 16352;

    // Opens and indexes `path`. Standard input ("-") and other streams (a
    // FIFO, a process substitution) are copied to a temporary file first, so
    // that frames can be revisited. Keeps `windowFrames` decoded frames.
    // `stream` names the video stream by its index in the file; -1: of
    // several, the one with the most frames. Throws CliError.
    explicit VideoInput(const std::string& path, int windowFrames = 4, int stream = -1);
    ~VideoInput();
    VideoInput(const VideoInput&) = delete;
    VideoInput& operator=(const VideoInput&) = delete;

    const VideoInfo& info() const { return info_; }
    // The file opened again for its other streams; errors name the input.
    InputContextPtr openAgain() const { return openInputFile(readPath_, info_.path); }
    // Frames usable now; shrinks when decoding finds the file ends early.
    int frameCount() const { return frameCount_; }
    void setWindow(int frames);

    // Decoded frame `index`, valid until the window moves past it. Throws
    // InputEndsEarly when the frame cannot be decoded (frameCount() then
    // says where the input stops) and CliError for an index out of range.
    const AVFrame& frame(int index);

    // Presentation time of frame `index` in info().timeBase.
    int64_t framePts(int index) const;
    // The same in seconds, for matching other streams.
    double frameSeconds(int index) const;

    // Errors the decoder reported so far, and the frames it concealed or
    // that the file holds incomplete.
    int decodeErrors() const { return errors_.count; }
    const std::set<int>& damagedFrames() const { return damaged_; }

    int seekCount() const { return seeks_; }
    int decodedCount() const { return decoded_; }

private:
    struct Entry {
        int index;
        FramePtr frame;
    };

    struct PacketTimes;
    void scan(int stream);
    // The stream asked for, or the best one; throws where there is none.
    int pickStream(AVFormatContext& context, int wanted);
    // Fills info_ from the stream's declared layout; throws where it cannot be read.
    void describe(const AVStream& stream);
    // Counts the stream's packets and fingerprints them; throws where there are none.
    PacketTimes readPackets(AVFormatContext& context, const AVStream& stream);
    // Frames found by time stamp where every packet has its own one.
    void orderByTime(std::vector<int64_t> pts, bool allTimed, const AVStream& stream);
    // Of several video streams, the one with the most packets.
    int longestVideoStream(AVFormatContext& context, int fallback);
    void checkCutOff(AVFormatContext& context, const std::vector<int64_t>& positions, int64_t lastEnd);
    void openDecoder();
    void seekTo(int index);
    FramePtr decodeNext();
    // Counts a failed call that logged no error of its own.
    void noteFailure(int result, int errorsBefore);
    int indexOf(const AVFrame& frame);
    [[noreturn]] void endAt(int index, const std::string& why);
    void removeSpool();

    std::string spooled_;  // temporary copy of a stream, read through its descriptor
    int spoolFd_ = -1;
    int spoolSlot_ = -1;   // where the copy keeps its name (no /proc)
    std::string readPath_;
    VideoInfo info_;
    int frameCount_ = 0;
    int window_ = 4;
    bool byTimestamp_ = false;  // frames are identified by their unique time stamps
    std::vector<int64_t> sortedPts_;
    AVRational streamTimeBase_{1, 25};
    int64_t startPts_ = 0;

    InputContextPtr context_;
    CodecContextPtr decoder_;
    PacketPtr packet_;
    bool draining_ = false;
    int nextIndex_ = 0;  // index of the next decoded frame; -1 after a seek until known
    bool seeked_ = false;  // decoding began at a seek, not at the start
    std::deque<Entry> frames_;
    int seeks_ = 0;
    int decoded_ = 0;
    DecodeErrors errors_;
    std::set<int> damaged_;
};

}  // namespace quenda_cli
