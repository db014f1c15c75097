// The plug-in's frames, served from a video file: decoded and converted into
// one host image per request. While the plug-in works on a frame, the next
// one is decoded and converted on a thread of its own, so that the usual
// request, for the frame after the last one, is answered at once.
#pragma once

#include "cli/hosting/plugin_host.h"
#include "cli/media/pixel_convert.h"
#include "cli/media/video_input.h"

#include <deque>
#include <future>
#include <optional>
#include <vector>

namespace quenda_cli {

// The input is touched by one thread at a time, and what the plug-in sees
// (images, frame count, errors) is what decoding on request would give: a
// frame decoded ahead, or its failure, counts only once it is asked for.
class InputFrames : public FrameServer {
public:
    // Keeps the last `keep` frames served for source().
    InputFrames(VideoInput& input, int keep);
    ~InputFrames() override;
    InputFrames(const InputFrames&) = delete;
    InputFrames& operator=(const InputFrames&) = delete;

    int frameCount() override { return count_; }
    const PixelYC* frameImage(int index, int* width, int* height) override;

    // Frame `index` as decoded, valid until the next call; frames served
    // lately come without touching the input. Throws as VideoInput::frame.
    const AVFrame& source(int index);

    double seconds() const { return seconds_; }  // spent in frameImage

private:
    struct Ahead {
        int index = -1;
        FramePtr frame;
        std::vector<PixelYC> image;
        std::exception_ptr error;
    };

    void serve(int index);
    // Waits for the frame being decoded ahead, if any, and keeps it.
    void settle();
    void startAhead(int index);
    void remember(int index, FramePtr frame);
    const AVFrame* recent(int index) const;

    VideoInput& input_;
    YcConverter converter_;       // the host's thread's
    YcConverter aheadConverter_;  // the thread decoding ahead's
    size_t keep_;
    int count_;                   // the frame count as the plug-in knows it
    std::vector<PixelYC> image_;  // frame servedIndex_, handed to the plug-in
    std::vector<PixelYC> spare_;
    int servedIndex_ = -1;
    std::future<Ahead> running_;
    std::optional<Ahead> ahead_;
    std::deque<std::pair<int, FramePtr>> recent_;
    double seconds_ = 0;
};

}  // namespace quenda_cli
