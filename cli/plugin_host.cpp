#include "cli/plugin_host.h"

#include "cli/errors.h"
#include "platform/test_hooks.h"
#include "platform/win32/codepage.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace quenda_cli {

namespace {

// The plug-in's message texts (code page 932) and what they say.
const struct {
    const char* text;
    const char* english;
} messageGlosses[] = {
    {"\x83L\x83\x83\x83""b\x83V\x83\x85\x82\xCC\x90\xDD\x92\xE8\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "failed to set up the cache"},
    {"\x83V\x83""F\x81[\x83_\x81[\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "creating the shader failed"},
    {"\x83V\x83""F\x81[\x83_\x81[\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s", "creating the shader failed"},
    {"\x83s\x83N\x83Z\x83\x8B\x83V\x83""F\x81[\x83_\x81[\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82"
     "\xDC\x82\xB5\x82\xBD",
     "failed to create the pixel shader"},
    {"\x83X\x83\x8C\x83""b\x83h\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "failed to create the thread"},
    {"\x83p\x83\x89\x83\x81\x81[\x83^\x83o\x83""b\x83t\x83@\x82\xCC\x90\xB6\x90\xAC\x82\xC9\x8E\xB8\x94s",
     "making the parameter buffer failed"},
    {"\x83\x41\x83N\x83Z\x83X\x83r\x83\x85\x81[\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5"
     "\x82\xBD",
     "creating the access view failed"},
    {"\x83r\x83""f\x83I\x83\x81\x83\x82\x83\x8A\x8F\xE3\x82\xCC\x83""e\x83N\x83X\x83`\x83\x83\x82\xCC\x8D\xEC\x90\xAC"
     "\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "failed to create the texture in video memory"},
    {"\x83\x81\x83""C\x83\x93\x83\x81\x83\x82\x83\x8A\x8F\xE3\x82\xCC\x83""e\x83N\x83X\x83`\x83\x83\x82\xCC\x8D\xEC"
     "\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "failed to create the texture in main memory"},
    {"\x83\x81\x83""C\x83\x93\x83\x81\x83\x82\x83\x8A\x83""e\x83N\x83X\x83`\x83\x83\x82\xCC\x83\x8D\x83""b\x83N\x82"
     "\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "failed to lock the main-memory texture"},
    {"\x83\x8A\x83\\\x81[\x83X\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "failed to create the resource"},
    {"\x83t\x83\x8C\x81[\x83\x80\x83""e\x83N\x83X\x83`\x83\x83\x82\xCC\x8E\xE6\x93\xBE\x82\xC9\x8E\xB8\x94s\x82\xB5"
     "\x82\xDC\x82\xB5\x82\xBD",
     "failed to get the frame texture"},
    {"\x83z\x83X\x83g\x83o\x83""b\x83t\x83@\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82"
     "\xBD",
     "creating the host buffer failed"},
    {"\x8D\xEC\x8B\xC6\x97p\x83o\x83""b\x83t\x83@\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82"
     "\xB5\x82\xBD",
     "failed to create the work buffers"},
    {"\x83\x81\x83\x82\x83\x8A\x82\xCC\x8Am\x95\xDB\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
     "allocating memory failed"},
    {"\x91\xCE\x89\x9E\x82\xB5\x82\xC4\x82\xA2\x82\xC8\x82\xA2""DirextX\x82\xCC\x83o\x81[\x83W\x83\x87\x83\x93\x82"
     "\xC5\x82\xB7\x81""B",
     "this DirectX version is not supported"},
    {"\x95s\x96\xBE\x82\xC8\x83G\x83\x89\x81[", "unidentified error"},
};

std::string executableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return ".";
    std::string path(buffer, static_cast<size_t>(length));
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

std::string glossPluginMessage(const std::string& text) {
    for (const auto& entry : messageGlosses)
        if (platform_win32::cp932ToUtf8(entry.text) == text) return text + " (" + entry.english + ")";
    return text;
}

std::string PluginModule::defaultPath() { return executableDirectory() + "/quenda_dx11.so"; }

PluginModule::PluginModule(const std::string& path) : path_(path) {
    // Kept loaded for the life of the process: its worker and OpenMP threads
    // may outlive a session.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw CliError(ExitCode::plugin, "cannot load the plug-in " + path + ": " + (why ? why : "unknown error") +
                                             " (use --plugin PATH to name it)");
    }
    auto getTable = reinterpret_cast<GetFilterTableFunction>(dlsym(handle, "GetFilterTable"));
    if (!getTable) throw CliError(ExitCode::plugin, path + " does not export GetFilterTable");
    table_ = getTable();
    if (!table_ || table_->trackCount != trackCountValue || !table_->trackDefaults || !table_->trackMinima ||
        !table_->trackMaxima || !table_->onProcess || !table_->onInit || !table_->onExit || !table_->onWindowMessage)
        throw CliError(ExitCode::plugin, path + " does not describe the Quenda filter");
}

std::string PluginModule::name() const {
    return table_->filterName ? platform_win32::cp932ToUtf8(table_->filterName) : "";
}

std::string PluginModule::info() const {
    return table_->infoText ? platform_win32::cp932ToUtf8(table_->infoText) : "";
}

std::vector<TrackInfo> PluginModule::tracks() const {
    std::vector<TrackInfo> result;
    for (int i = 0; i < table_->trackCount; ++i) {
        const char* name = table_->trackNames ? table_->trackNames[i] : nullptr;
        result.push_back(TrackInfo{name ? platform_win32::cp932ToUtf8(name) : "", table_->trackDefaults[i],
                                   table_->trackMinima[i], table_->trackMaxima[i]});
    }
    return result;
}

TrackValues PluginModule::defaults() const {
    TrackValues values{};
    for (int i = 0; i < trackCountValue; ++i) values[static_cast<size_t>(i)] = table_->trackDefaults[i];
    return values;
}

PluginSession::PluginSession(PluginModule& module, const TrackValues& tracks, FrameServer& frames)
    : module_(module), table_(module.table()), frames_(frames), tracks_(tracks) {
    services_.getFrameCount = serveFrameCount;
    services_.setupFrameCache = serveSetupFrameCache;
    services_.getFrameImage = serveFrameImage;
    init();
}

PluginSession::~PluginSession() {
    if (runActive_) table_.onWindowMessage(&window_, messageOutputEnd, 0, 0, this, &table_);
    exit();
}

void PluginSession::init() {
    table_.trackValues = tracks_.data();
    table_.services = &services_;
    table_.window = &window_;
    const size_t before = platform_hooks::recordedBoxes().size();
    if (table_.onInit(&table_) != 1) {
        table_.onExit(&table_);
        throw CliError(ExitCode::plugin, "the plug-in could not start its GPU device" + newBoxes(before) +
                                             " (see `quenda devices`)");
    }
    initialised_ = true;
}

void PluginSession::exit() {
    if (!initialised_) return;
    table_.onExit(&table_);
    initialised_ = false;
}

void PluginSession::restart() {
    const bool wasRunning = runActive_;
    if (runActive_) endOutputRun();
    exit();
    init();
    // A frame computed ahead before the failure is gone with the device.
    discardAhead();
    if (wasRunning) beginOutputRun();
}

void PluginSession::beginOutputRun() {
    const size_t before = platform_hooks::recordedBoxes().size();
    table_.onWindowMessage(&window_, messageOutputStart, 0, 0, this, &table_);
    // The message's result is always 0; a failure shows only as a box.
    if (platform_hooks::recordedBoxes().size() != before)
        throw CliError(ExitCode::plugin, "the plug-in could not start the output run" + newBoxes(before));
    runActive_ = true;
}

void PluginSession::endOutputRun() {
    table_.onWindowMessage(&window_, messageOutputEnd, 0, 0, this, &table_);
    runActive_ = false;
}

void PluginSession::discardAhead() { table_.onWindowMessage(&window_, messageDiscardAhead, 0, 0, this, &table_); }

void PluginSession::process(int index, PixelYC* output, int rowPixels, int width, int height) {
    FrameProcInfo record{};
    record.outputImage = output;
    record.frameWidth = width;
    record.frameHeight = height;
    record.rowPixels = rowPixels;
    record.heightBound = height;
    record.frameIndex = index;
    record.editHandle = this;
    pending_ = nullptr;
    const size_t before = platform_hooks::recordedBoxes().size();
    const int32_t result = table_.onProcess(&table_, &record);
    if (pending_) {
        std::exception_ptr error = pending_;
        pending_ = nullptr;
        std::rethrow_exception(error);
    }
    if (result != 1)
        throw CliError(ExitCode::plugin, "the plug-in failed on frame " + std::to_string(index) + newBoxes(before));
}

std::string PluginSession::newBoxes(size_t before) const {
    const std::vector<platform_hooks::RecordedBox> boxes = platform_hooks::recordedBoxes();
    std::string text;
    for (size_t i = before; i < boxes.size(); ++i)
        text += (text.empty() ? ": " : "; ") + glossPluginMessage(boxes[i].text);
    return text;
}

int32_t QUENDA_CALL PluginSession::serveFrameCount(void* editHandle) {
    auto* session = static_cast<PluginSession*>(editHandle);
    try {
        return session->frames_.frameCount();
    } catch (...) {
        if (!session->pending_) session->pending_ = std::current_exception();
        return 0;
    }
}

int32_t QUENDA_CALL PluginSession::serveSetupFrameCache(FilterTable*, int32_t, int32_t, int32_t, int32_t) {
    // Frames are converted on request into one buffer; nothing to set up.
    return 1;
}

PixelYC* QUENDA_CALL PluginSession::serveFrameImage(FilterTable*, void* editHandle, int32_t frame, int32_t* width,
                                                    int32_t* height) {
    auto* session = static_cast<PluginSession*>(editHandle);
    try {
        int w = 0, h = 0;
        const PixelYC* image = session->frames_.frameImage(frame, &w, &h);
        if (image) {
            *width = w;
            *height = h;
        }
        return const_cast<PixelYC*>(image);
    } catch (...) {
        if (!session->pending_) session->pending_ = std::current_exception();
        return nullptr;
    }
}

}  // namespace quenda_cli
