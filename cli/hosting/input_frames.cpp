#include "cli/hosting/input_frames.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace quenda_cli {

namespace {

YcConverter converterFor(const VideoInfo& info) {
    return YcConverter(info.format, info.width, info.height, isFullRange(info.format, info.range), info.colorSpace);
}

}  // namespace

InputFrames::InputFrames(VideoInput& input, int keep)
    : input_(input),
      converter_(converterFor(input.info())),
      aheadConverter_(converterFor(input.info())),
      keep_(static_cast<size_t>(std::max(keep, 1))),
      count_(input.frameCount()),
      image_(static_cast<size_t>(converter_.rowPixels()) * converter_.height()) {}

InputFrames::~InputFrames() {
    try {
        settle();
    } catch (...) {
    }
}

const PixelYC* InputFrames::frameImage(int index, int* width, int* height) {
    const auto start = std::chrono::steady_clock::now();
    try {
        serve(index);
    } catch (...) {
        seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        throw;
    }
    *width = converter_.rowPixels();
    *height = converter_.height();
    seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return image_.data();
}

void InputFrames::serve(int index) {
    // Asked again (the plug-in re-fetches a frame after a cache reset): the
    // image still holds it.
    if (index == servedIndex_) return;
    if (const AVFrame* frame = recent(index)) {
        converter_.toYc(*frame, image_.data());
        servedIndex_ = index;
        return;
    }
    settle();
    servedIndex_ = -1;
    // Decoding to a frame past a failed one would have failed there too.
    if (ahead_ && (ahead_->index == index || (ahead_->error && index > ahead_->index))) {
        Ahead taken = std::move(*ahead_);
        ahead_.reset();
        if (taken.error) {
            spare_ = std::move(taken.image);
            count_ = input_.frameCount();
            std::rethrow_exception(taken.error);
        }
        std::swap(image_, taken.image);
        spare_ = std::move(taken.image);
        remember(index, std::move(taken.frame));
    } else {
        // A failure ahead of this frame stays unknown until it is reached,
        // and so does the shorter count it found.
        const bool failureAhead = ahead_ && ahead_->error;
        if (ahead_ && !failureAhead) {
            spare_ = std::move(ahead_->image);
            ahead_.reset();
        }
        try {
            const AVFrame& frame = input_.frame(index);
            converter_.toYc(frame, image_.data());
            remember(index, cloneFrame(frame));
        } catch (...) {
            count_ = input_.frameCount();
            throw;
        }
        if (failureAhead) {
            servedIndex_ = index;
            return;
        }
    }
    count_ = input_.frameCount();
    servedIndex_ = index;
    startAhead(index + 1);
}

const AVFrame& InputFrames::source(int index) {
    if (const AVFrame* frame = recent(index)) return *frame;
    settle();
    try {
        return input_.frame(index);
    } catch (...) {
        count_ = input_.frameCount();
        throw;
    }
}

void InputFrames::settle() {
    if (running_.valid()) ahead_ = running_.get();
}

void InputFrames::startAhead(int index) {
    if (index >= count_ || ahead_ || running_.valid()) return;
    std::vector<PixelYC> image = std::move(spare_);
    image.resize(image_.size());
    auto decode = [this, index, image = std::move(image)]() mutable {
        Ahead ahead;
        ahead.index = index;
        ahead.image = std::move(image);
        try {
            const AVFrame& frame = input_.frame(index);
            aheadConverter_.toYc(frame, ahead.image.data());
            ahead.frame = cloneFrame(frame);
        } catch (...) {
            ahead.error = std::current_exception();
        }
        return ahead;
    };
    try {
        running_ = std::async(std::launch::async, std::move(decode));
    } catch (const std::system_error&) {
        // No thread to be had: frames are decoded on request.
    }
}

void InputFrames::remember(int index, FramePtr frame) {
    for (auto it = recent_.begin(); it != recent_.end(); ++it) {
        if (it->first == index) {
            recent_.erase(it);
            break;
        }
    }
    recent_.emplace_back(index, std::move(frame));
    while (recent_.size() > keep_) recent_.pop_front();
}

const AVFrame* InputFrames::recent(int index) const {
    for (const auto& entry : recent_)
        if (entry.first == index) return entry.second.get();
    return nullptr;
}

}  // namespace quenda_cli
