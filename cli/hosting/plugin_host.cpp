#include "cli/hosting/plugin_host.h"

#include "cli/commands/errors.h"
#include "cli/hosting/kernel_cache.h"
#include "platform/codepage.h"
#include "platform/instrumentation.h"
#include "state/message_table.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <iostream>
#include <cstring>

namespace quenda_cli {

namespace {

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
    for (const PluginMessage& entry : pluginMessages)
        if (platform_win32::cp932ToUtf8(entry.text) == text) return std::string(entry.english) + " (" + text + ")";
    return text;
}

std::string PluginModule::defaultPath() {
    // Beside the executable in the build tree (or where the files were copied
    // together); installed, in quenda's private library folder, which
    // QUENDA_PLUGIN_DIR names relative to the executable's folder, so that the
    // installed tree works under any prefix.
    const std::string directory = executableDirectory();
    const std::string beside = directory + "/quenda_dx11.so";
    if (access(beside.c_str(), F_OK) == 0) return beside;
    std::string installed = directory + "/" QUENDA_PLUGIN_DIR "/quenda_dx11.so";
    if (char* resolved = realpath(installed.c_str(), nullptr)) {
        installed = resolved;
        std::free(resolved);
    }
    return installed;
}

PluginModule::PluginModule(const std::string& path) : path_(path) {
    // Kept loaded for the life of the process: its worker and OpenMP threads
    // may outlive a session.
    // A name without a slash is a file here, as on any command line, not a
    // library for the loader to look for along its search path.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
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
    const size_t before = platform_instrumentation::recordedBoxes().size();
    if (table_.onInit(&table_) != 1) {
        table_.onExit(&table_);
        // Kernels from the cache that the device refuses (a damaged entry),
        // or a cache that cannot be written: built anew, once, in a
        // temporary folder; the warning is given when that works.
        const std::vector<platform_instrumentation::RecordedBox> boxes = platform_instrumentation::recordedBoxes();
        bool shaderFailed = false;
        for (size_t i = before; i < boxes.size(); ++i)
            for (const char* text : {textShaderCreateFailed, textShaderBuildFailed})
                shaderFailed = shaderFailed || boxes[i].text == platform_win32::cp932ToUtf8(text);
        if (shaderFailed && !cacheRetried_) {
            cacheRetried_ = true;
            const std::string warning = useTemporaryKernelCache("the plug-in could not use the kernels kept in " +
                                                                kernelCacheFolder() + newBoxes(before));
            if (!warning.empty()) {
                init();
                std::cerr << "quenda: warning: " << warning << "\n";
                return;
            }
        }
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
    const size_t before = platform_instrumentation::recordedBoxes().size();
    table_.onWindowMessage(&window_, messageOutputStart, 0, 0, this, &table_);
    // The message's result is always 0; a failure shows only as a box.
    if (platform_instrumentation::recordedBoxes().size() != before)
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
    const size_t before = platform_instrumentation::recordedBoxes().size();
    const int32_t result = table_.onProcess(&table_, &record);
    if (pending_) {
        std::exception_ptr error = pending_;
        pending_ = nullptr;
        std::rethrow_exception(error);
    }
    if (result != 1)
        throw CliError(ExitCode::plugin, "the plug-in failed on frame " + std::to_string(index) + newBoxes(before));
    // A box shown on a frame that still came out: said once, as a warning.
    if (platform_instrumentation::recordedBoxes().size() != before)
        std::cerr << "quenda: warning: the plug-in reported on frame " << index << newBoxes(before) << "\n";
}

std::string PluginSession::newBoxes(size_t before) const {
    const std::vector<platform_instrumentation::RecordedBox> boxes = platform_instrumentation::recordedBoxes();
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
