#include "tests/support/test_host.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

namespace {

TestHost* currentHost = nullptr;

int16_t clampTo(double v, int lo, int hi) {
    long r = std::lround(v);
    if (r < lo) r = lo;
    if (r > hi) r = hi;
    return static_cast<int16_t>(r);
}

}  // namespace

std::vector<PixelYC> SyntheticClip::frame(int index) const {
    std::vector<PixelYC> pixels(static_cast<size_t>(width) * height);
    std::mt19937 random(seed * 7919u + static_cast<uint32_t>(index));
    std::normal_distribution<double> gauss(0.0, noise);
    const int side = std::max(2, std::min(width, height) / 3);
    const int left = (index * 3) % std::max(1, width - side + 1);
    const int top = (index * 2) % std::max(1, height - side + 1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool inside = x >= left && x < left + side && y >= top && y < top + side;
            double luma = 600.0 + 2600.0 * x / std::max(1, width - 1) + (inside ? 700.0 : 0.0);
            luma += 300.0 * std::sin(0.5 * x + 0.3 * y);
            double cb = -900.0 + 1800.0 * y / std::max(1, height - 1) - (inside ? 500.0 : 0.0);
            double cr = 700.0 * std::cos(0.2 * x) + (inside ? 400.0 : 0.0);
            PixelYC& p = pixels[static_cast<size_t>(y) * width + x];
            p.y = clampTo(luma + gauss(random), -2048, 6143);
            p.cb = clampTo(cb + gauss(random), -4096, 4095);
            p.cr = clampTo(cr + gauss(random), -4096, 4095);
        }
    }
    return pixels;
}

TestHost::TestHost(FilterTable* table) : table_(table), window_(reinterpret_cast<void*>(uintptr_t{0x5150})) {
    services_.getFrameCount = &TestHost::getFrameCount;
    services_.setupFrameCache = &TestHost::setupFrameCache;
    services_.getFrameImage = &TestHost::getFrameImage;
    table_->trackValues = tracks_.data();
    table_->services = &services_;
    table_->window = window_;
    currentHost = this;
    setClip(clip_);
}

TestHost::~TestHost() {
    if (currentHost == this) currentHost = nullptr;
}

void TestHost::setClip(const SyntheticClip& clip, int rowPixels, int heightBound) {
    images_.clear();
    clip_ = clip;
    rowPixels_ = rowPixels > 0 ? rowPixels : clip.width;
    heightBound_ = heightBound > 0 ? heightBound : clip.height;
    output_.assign(static_cast<size_t>(rowPixels_) * heightBound_, PixelYC{0x7777, 0x7777, 0x7777});
}

void TestHost::setImages(std::vector<std::vector<PixelYC>> images, int width, int height, int count) {
    SyntheticClip clip;
    clip.width = width;
    clip.height = height;
    clip.count = count;
    setClip(clip);
    images_ = std::move(images);
}

int32_t TestHost::init() {
    currentHost = this;
    table_->trackValues = tracks_.data();
    return table_->onInit(table_);
}

int32_t TestHost::exit() {
    currentHost = this;
    return table_->onExit(table_);
}

FrameProcInfo TestHost::record(int frameIndex) {
    FrameProcInfo info{};
    info.outputImage = output_.data();
    info.frameWidth = clip_.width;
    info.frameHeight = clip_.height;
    info.rowPixels = rowPixels_;
    info.heightBound = heightBound_;
    info.frameIndex = frameIndex;
    info.editHandle = this;
    return info;
}

int32_t TestHost::process(int frameIndex) {
    currentHost = this;
    table_->trackValues = tracks_.data();
    info_ = record(frameIndex);
    return table_->onProcess(table_, &info_);
}

int32_t TestHost::message(uint32_t message) {
    currentHost = this;
    table_->trackValues = tracks_.data();
    return table_->onWindowMessage(window_, message, 0, 0, this, table_);
}

std::vector<PixelYC> TestHost::result() const {
    std::vector<PixelYC> pixels(static_cast<size_t>(info_.frameWidth) * info_.frameHeight);
    for (int y = 0; y < info_.frameHeight; ++y)
        for (int x = 0; x < info_.frameWidth; ++x)
            pixels[static_cast<size_t>(y) * info_.frameWidth + x] = output_[static_cast<size_t>(y) * rowPixels_ + x];
    return pixels;
}

std::vector<int32_t> TestHost::fetchedFrames() const {
    std::vector<int32_t> frames;
    for (const Call& c : calls)
        if (c.kind == CallKind::Fetch) frames.push_back(c.frame);
    return frames;
}

std::vector<int32_t> TestHost::cacheDeclarations() const {
    std::vector<int32_t> values;
    for (const Call& c : calls)
        if (c.kind == CallKind::SetupCache) values.push_back(c.frame);
    return values;
}

int32_t QUENDA_CALL TestHost::getFrameCount(void* editHandle) {
    TestHost* host = static_cast<TestHost*>(editHandle);
    host->calls.push_back({CallKind::FrameCount, 0});
    return host->reportedCount >= 0 ? host->reportedCount : host->clip_.count;
}

int32_t QUENDA_CALL TestHost::setupFrameCache(FilterTable*, int32_t, int32_t, int32_t n, int32_t) {
    currentHost->calls.push_back({CallKind::SetupCache, n});
    return 1;
}

PixelYC* QUENDA_CALL TestHost::getFrameImage(FilterTable*, void* editHandle, int32_t frame, int32_t* width,
                                            int32_t* height) {
    TestHost* host = static_cast<TestHost*>(editHandle);
    host->calls.push_back({CallKind::Fetch, frame});
    if (host->beforeFetch) host->beforeFetch(*host, frame);
    int ordinal = 0;
    for (const Call& c : host->calls)
        if (c.kind == CallKind::Fetch) ++ordinal;
    if (host->nullFetches.count(ordinal)) return nullptr;
    const SyntheticClip& clip = host->clip_;
    *width = host->reportedWidth >= 0 ? host->reportedWidth : clip.width;
    *height = host->reportedHeight >= 0 ? host->reportedHeight : clip.height;
    if (!host->images_.empty())
        return host->images_[static_cast<size_t>(frame) % host->images_.size()].data();
    std::vector<PixelYC> pixels = clip.frame(frame);
    const int stride = std::max(host->rowPixels_, clip.width);
    host->served_.assign(static_cast<size_t>(stride) * clip.height, PixelYC{-1, -1, -1});
    for (int y = 0; y < clip.height; ++y)
        for (int x = 0; x < clip.width; ++x)
            host->served_[static_cast<size_t>(y) * stride + x] = pixels[static_cast<size_t>(y) * clip.width + x];
    return host->served_.data();
}
