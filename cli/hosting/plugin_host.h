// The plug-in as the editor sees it: the module loaded with dlopen, its
// descriptor, the host's records and services, and the callbacks driven in the
// editor's order (initialise; message 1129, one processing call per frame,
// message 1130 for an output run; exit).
#pragma once

#include "host/filter_table.h"

#include <array>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace quenda_cli {

// What the host's services hand to the plug-in.
class FrameServer {
public:
    virtual ~FrameServer() = default;
    virtual int frameCount() = 0;
    // Frame `index` as host pixels, valid until the next call; writes its size.
    virtual const PixelYC* frameImage(int index, int* width, int* height) = 0;
};

struct TrackInfo {
    std::string name;  // UTF-8
    int32_t defaultValue;
    int32_t minimum;
    int32_t maximum;
};

using TrackValues = std::array<int32_t, trackCountValue>;

class PluginModule {
public:
    // quenda_dx11.so beside the running executable, else in the private
    // library folder of an installed quenda.
    static std::string defaultPath();

    // Loads the module and reads its descriptor; throws CliError.
    explicit PluginModule(const std::string& path);

    const std::string& path() const { return path_; }
    FilterTable& table() { return *table_; }
    std::string name() const;
    std::string info() const;
    std::vector<TrackInfo> tracks() const;
    TrackValues defaults() const;

private:
    std::string path_;
    FilterTable* table_ = nullptr;
};

// One use of the plug-in, from its initialisation to its exit. The descriptor
// is the module's single static record, so one session exists at a time.
class PluginSession {
public:
    PluginSession(PluginModule& module, const TrackValues& tracks, FrameServer& frames);
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    void beginOutputRun();  // message 1129
    void endOutputRun();    // message 1130
    void discardAhead();    // message 1124

    // Denoises frame `index` into `output`, `rowPixels` wide and `height`
    // rows high, of which the frame fills `width` x `height`. Rethrows what
    // the services threw meanwhile; throws CliError when the plug-in fails.
    void process(int index, PixelYC* output, int rowPixels, int width, int height);

    // Exits and initialises again (and restarts a running output run): after
    // a failure the plug-in has released its device.
    void restart();

private:
    static int32_t QUENDA_CALL serveFrameCount(void* editHandle);
    static int32_t QUENDA_CALL serveSetupFrameCache(FilterTable* filter, int32_t rowPixels, int32_t heightBound,
                                                    int32_t n, int32_t flag);
    static PixelYC* QUENDA_CALL serveFrameImage(FilterTable* filter, void* editHandle, int32_t frame,
                                                int32_t* width, int32_t* height);
    void init();
    void exit();
    std::string newBoxes(size_t before) const;

    PluginModule& module_;
    FilterTable& table_;
    FrameServer& frames_;
    TrackValues tracks_;
    HostServices services_{};
    char window_ = 0;  // the filter window's stand-in: only its address is used
    bool initialised_ = false;
    bool runActive_ = false;
    bool cacheRetried_ = false;
    std::exception_ptr pending_;
};

// The plug-in's message text (UTF-8) in English, with the text itself beside
// it; the text alone when it is not known.
std::string glossPluginMessage(const std::string& text);

}  // namespace quenda_cli
