// A small host that plays the editor's part in-process, for the tests and the
// benchmarks: it owns a clip of synthetic frames (or frames held in memory),
// fills the descriptor's host words and the frame record, serves the three
// services (recording every call) and drives the callbacks. It is handed a
// descriptor: the plug-in's code linked in (GetFilterTable), a module loaded
// by quenda_cli::PluginModule on Linux, or the DLL the Windows hosts load
// under Wine.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/filter_table.h"

// Deterministic synthetic frames: gradients, a moving square and Gaussian
// noise from a fixed seed; values stay inside the host's exact ranges.
// Brace-initialised as {width, height, count, ...}.
struct SyntheticClip {
    int width = 64;
    int height = 48;
    int count = 8;
    uint32_t seed = 1;
    double noise = 60.0;  // standard deviation in host units

    std::vector<PixelYC> frame(int index) const;
};

class TestHost {
public:
    enum class CallKind { FrameCount, SetupCache, Fetch };
    struct Call {
        CallKind kind;
        int32_t frame;  // fetched frame, or n of a cache declaration
    };

    explicit TestHost(FilterTable* table);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // The clip served; rowPixels and heightBound of 0 take the clip's size.
    void setClip(const SyntheticClip& clip, int rowPixels = 0, int heightBound = 0);
    const SyntheticClip& clip() const { return clip_; }
    // Frames held in memory instead, width x height, tightly packed: frame f
    // is images[f % images.size()], served as it is, without a copy; the clip
    // reports `count` frames.
    void setImages(std::vector<std::vector<PixelYC>> images, int width, int height, int count);
    void setTracks(const std::array<int32_t, 6>& tracks) { tracks_ = tracks; }
    const std::array<int32_t, 6>& tracks() const { return tracks_; }

    int32_t init();
    int32_t exit();
    int32_t process(int frameIndex);
    int32_t message(uint32_t message);
    // The record process hands to onProcess for frame frameIndex, writing
    // into this host's output image.
    FrameProcInfo record(int frameIndex);

    // The frame written by the last successful process call, tightly packed.
    std::vector<PixelYC> result() const;
    const std::vector<PixelYC>& outputImage() const { return output_; }
    const FrameProcInfo& info() const { return info_; }

    std::vector<Call> calls;
    std::vector<int32_t> fetchedFrames() const;
    std::vector<int32_t> cacheDeclarations() const;
    void clearCalls() { calls.clear(); }

    // Fault plans: fetch ordinals (1-based, counted from the last clearCalls)
    // that return null, and a hook run before each fetch is served.
    std::set<int> nullFetches;
    std::function<void(TestHost&, int32_t frame)> beforeFetch;
    // Overrides of what the host reports; negative keeps the clip's. A
    // reported size different from the clip's serves the clip's pixels
    // under that size, as a faulty host would.
    int32_t reportedCount = -1;
    int32_t reportedWidth = -1;
    int32_t reportedHeight = -1;

    FilterTable* table() const { return table_; }
    void* window() const { return window_; }

private:
    static int32_t QUENDA_CALL getFrameCount(void* editHandle);
    static int32_t QUENDA_CALL setupFrameCache(FilterTable* filter, int32_t rowPixels, int32_t heightBound,
                                               int32_t n, int32_t flag);
    static PixelYC* QUENDA_CALL getFrameImage(FilterTable* filter, void* editHandle, int32_t frame, int32_t* width,
                                              int32_t* height);

    FilterTable* table_;
    SyntheticClip clip_;
    int rowPixels_ = 0;
    int heightBound_ = 0;
    std::array<int32_t, 6> tracks_ = {3, 1, 50, 3, 1, 50};
    HostServices services_ = {};
    void* window_;
    FrameProcInfo info_ = {};
    std::vector<PixelYC> output_;
    std::vector<PixelYC> served_;
    std::vector<std::vector<PixelYC>> images_;
};
