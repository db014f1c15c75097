// Where one frame's time goes, stage by stage, on the device that the
// Direct3D 11 stand-in picks: the plug-in's own procedures and the same
// Direct3D calls that they make, timed one by one. Also onInit with an empty
// and with a filled shader cache, and the one-time costs beside them.
//
//   quenda_pipeline_bench stages [--clip FILE] [--runs N] [--size WxH] [--scheduler-frames N]
//                                [--tracks LS,LT,LD,CS,CT,CD]
//   quenda_pipeline_bench init [--runs N]
//   quenda_pipeline_bench make-clip FILE [--frames N] [--size WxH]
//
// Figures are medians of the runs. Frames come from --clip (decoded and
// converted as `quenda` does, which is the fetch stage) or are synthetic.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_support.h"
#include "cli/commands/errors.h"
#include "cli/media/demo_clip.h"
#include "cli/media/pixel_convert.h"
#include "cli/media/video_input.h"
#include "cli/report/run_report.h"
#include "gpu/device.h"
#include "gpu/kernels.h"
#include "gpu/shader_build.h"
#include "host/callbacks.h"
#include "host/track_values.h"
#include "pipeline/frame_cache.h"
#include "pipeline/gpu_pass.h"
#include "pipeline/plane_convert.h"
#include "pipeline/work_buffers.h"
#include "platform/test_hooks.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"

namespace {

using Clock = std::chrono::steady_clock;

// Wall time, and the processor time of every thread of the process: on a CPU
// device that is the device's work too, and it holds up better than wall
// time on a machine shared with other work.
struct Timing {
    double wall = 0;
    double cpu = 0;
    Timing operator-(const Timing& other) const { return Timing{wall - other.wall, cpu - other.cpu}; }
    Timing operator+(const Timing& other) const { return Timing{wall + other.wall, cpu + other.cpu}; }
};

// Medians of `runs` timings of `body`, in milliseconds.
Timing timeMedian(int runs, const std::function<void()>& body) {
    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const double cpuStart = processCpuMs();
        body();
        cpu.push_back(processCpuMs() - cpuStart);
        wall.push_back(msSince(start));
    }
    return Timing{median(wall), median(cpu)};
}

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "quenda_pipeline_bench: %s\n", why.c_str());
    std::exit(1);
}

void check(bool ok, const char* what) {
    if (!ok) die(std::string(what) + " failed");
}

void line(const char* label, double ms, const char* note = "") {
    std::printf("  %-44s %10.1f ms               %s\n", label, ms, note);
    std::fflush(stdout);
}

void line(const char* label, const Timing& t, const char* note = "") {
    std::printf("  %-44s %10.1f ms  cpu %8.1f ms  %s\n", label, t.wall, t.cpu, note);
    std::fflush(stdout);
}

// The frames served to the plug-in, as the editor would serve them.
struct BenchHost {
    int width = 1920;
    int height = 1080;
    int rowPixels = 1920;
    int count = 6;
    std::vector<std::vector<PixelYC>> images;  // frame f is images[f % size]
    HostServices services{};
    char window = 0;
    int32_t tracks[trackCountValue] = {3, 1, 50, 3, 1, 50};
};
BenchHost host;

int32_t QUENDA_CALL serveFrameCount(void*) { return host.count; }
int32_t QUENDA_CALL serveSetupFrameCache(FilterTable*, int32_t, int32_t, int32_t, int32_t) { return 1; }
PixelYC* QUENDA_CALL serveFrameImage(FilterTable*, void*, int32_t frame, int32_t* width, int32_t* height) {
    *width = host.width;
    *height = host.height;
    return host.images[static_cast<size_t>(frame) % host.images.size()].data();
}

FilterTable* hostTable() {
    FilterTable* table = GetFilterTable();
    host.services.getFrameCount = serveFrameCount;
    host.services.setupFrameCache = serveSetupFrameCache;
    host.services.getFrameImage = serveFrameImage;
    table->trackValues = host.tracks;
    table->services = &host.services;
    table->window = &host.window;
    return table;
}

FrameProcInfo frameRecord(int index, PixelYC* output) {
    FrameProcInfo info{};
    info.outputImage = output;
    info.frameWidth = host.width;
    info.frameHeight = host.height;
    info.rowPixels = host.rowPixels;
    info.heightBound = host.height;
    info.frameIndex = index;
    info.editHandle = &host;
    return info;
}

// Fills host.images; with a clip, times the fetch as `quenda` serves it.
void loadFrames(const std::string& clip, int frames, int width, int height) {
    host.images.clear();
    if (clip.empty()) {
        host.width = host.rowPixels = width;
        host.height = height;
        for (int f = 0; f < frames; ++f) host.images.push_back(syntheticFrame(width, height, 7 + f));
        std::printf("frames: synthetic %d x %d\n", width, height);
        return;
    }
    using namespace quenda_cli;
    VideoInput input(clip, 4);
    const VideoInfo& info = input.info();
    YcConverter converter(info.format, info.width, info.height, isFullRange(info.format, info.range),
                          info.colorSpace);
    host.width = host.rowPixels = converter.rowPixels();
    host.height = info.height;
    std::vector<double> fetch;
    for (int f = 0; f < frames && f < input.frameCount(); ++f) {
        std::vector<PixelYC> image(static_cast<size_t>(host.rowPixels) * host.height);
        const auto start = Clock::now();
        converter.toYc(input.frame(f), image.data());
        fetch.push_back(msSince(start));
        host.images.push_back(std::move(image));
    }
    if (host.images.empty()) die("no frames in " + clip);
    std::vector<double> back;
    for (size_t f = 0; f < host.images.size(); ++f) {
        const auto start = Clock::now();
        converter.fromYc(host.images[f].data(), input.frame(static_cast<int>(f)));
        back.push_back(msSince(start));
    }
    std::printf("frames: %s, %d x %d %s\n", clip.c_str(), host.width, host.height,
                pixelFormatName(info.format).c_str());
    line("fetch: decode + conversion to PixelYC", median(fetch), "(quenda's frame service, per frame)");
    line("conversion from PixelYC to the file's pixels", median(back), "(before the encoder, per frame)");
}

std::string makeTempDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quenda-bench-" + tag + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) die("cannot make a temporary directory");
    return name.data();
}

int stages(const std::string& clip, int runs, int width, int height, int schedulerFrames) {
    DenoiseState& s = denoiseState;
    FilterTable* table = hostTable();
    loadFrames(clip, 3, width, height);
    std::printf("tracks %d %d %d %d %d %d; median of %d runs\n", host.tracks[0], host.tracks[1], host.tracks[2],
                host.tracks[3], host.tracks[4], host.tracks[5], runs);

    check(onInit(table) == 1, "onInit");
    std::printf("device: %s\n", adapterName(s.device).c_str());
    auto start = Clock::now();
    DenoiseParams params;
    readTrackValues(table, &params);
    check(buildFixedShaders(table, params) == 1, "buildFixedShaders");
    line("fixed kernels built (message 1129)", msSince(start), "(once per output run)");

    std::vector<PixelYC> output(static_cast<size_t>(host.rowPixels) * host.height);
    FrameProcInfo info = frameRecord(1, output.data());
    const int T = std::max(host.tracks[1], host.tracks[4]);
    start = Clock::now();
    check(uploadWindow(table, &info, 1, T) == 1, "uploadWindow");
    line("uploadWindow, first: staging made + window", msSince(start));
    s.procWidth = info.frameWidth;
    s.procHeight = info.frameHeight;
    readTrackValues(table, &s.denoiseParams);  // as the scheduler does before each pass
    check(ensureWorkBuffers(table), "ensureWorkBuffers");
    ID3D11DeviceContext* c = s.context;

    std::printf("one frame, by stage:\n");
    int next = 0;
    const Timing convert = timeMedian(runs, [&] {
        D3D11_MAPPED_SUBRESOURCE luma{}, chroma{};
        check(SUCCEEDED(c->Map(s.stagingLuma, 0, D3D11_MAP_WRITE, 0, &luma)), "Map");
        check(SUCCEEDED(c->Map(s.stagingChroma, 0, D3D11_MAP_WRITE, 0, &chroma)), "Map");
        auto* lumaPlane = static_cast<uint16_t*>(luma.pData);
        auto* chromaPlane = static_cast<ChromaTexel*>(chroma.pData);
        const int32_t lumaPitch = static_cast<int32_t>(luma.RowPitch / 2);
        const int32_t chromaPitch = static_cast<int32_t>(chroma.RowPitch / 4);
        const PixelYC* src = host.images[static_cast<size_t>(next++) % host.images.size()].data();
        packFrameRows(src, host.rowPixels, lumaPlane, lumaPitch, chromaPlane, chromaPitch, host.width, host.height);
        packBorderRows(lumaPlane, lumaPitch, chromaPlane, chromaPitch, host.width, host.height);
        c->Unmap(s.stagingLuma, 0);
        c->Unmap(s.stagingChroma, 0);
    });
    line("conversion into the staging textures", convert, "(Map x2, packFrameRows, packBorderRows, Unmap x2)");

    const Timing copies = timeMedian(runs, [&] {
        ID3D11Texture2D* lumaTexture = nullptr;
        ID3D11Texture2D* chromaTexture = nullptr;
        D3D11_TEXTURE2D_DESC desc = planeDesc(false, false);
        check(SUCCEEDED(s.device->CreateTexture2D(&desc, nullptr, &lumaTexture)), "CreateTexture2D");
        desc = planeDesc(true, false);
        check(SUCCEEDED(s.device->CreateTexture2D(&desc, nullptr, &chromaTexture)), "CreateTexture2D");
        c->CopyResource(lumaTexture, s.stagingLuma);
        c->CopyResource(chromaTexture, s.stagingChroma);
        ID3D11ShaderResourceView* views[2] = {};
        check(SUCCEEDED(s.device->CreateShaderResourceView(lumaTexture, nullptr, &views[0])), "view");
        check(SUCCEEDED(s.device->CreateShaderResourceView(chromaTexture, nullptr, &views[1])), "view");
        // Reading the staging texture back waits for the copies out of it.
        D3D11_MAPPED_SUBRESOURCE mapped{};
        check(SUCCEEDED(c->Map(s.stagingLuma, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        c->Unmap(s.stagingLuma, 0);
        check(SUCCEEDED(c->Map(s.stagingChroma, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        c->Unmap(s.stagingChroma, 0);
        for (auto* view : views) view->Release();
        lumaTexture->Release();
        chromaTexture->Release();
    });
    line("texture copies, waited for", copies, "(CreateTexture2D x2, CopyResource x2, views x2)");

    // Warm-up passes: the first use of each kernel, and the constants written.
    for (bool fixed : {false, true}) {
        s.outputRunActive = fixed;
        s.fixedParamsDirty = true;
        s.pendingFrame = 1;
        start = Clock::now();
        check(GpuPass() == 1, "GpuPass");
        std::printf("  %-44s %10.1f ms\n", fixed ? "first GpuPass, fixed kernels" : "first GpuPass, runtime kernels",
                    msSince(start));
    }

    ID3D11ShaderResourceView* lumaViews[viewCount];
    ID3D11ShaderResourceView* chromaViews[viewCount];
    check(gatherViews(1, s.denoiseParams.lumaTime, false, lumaViews), "finding the luma window");
    check(gatherViews(1, s.denoiseParams.chromaTime, true, chromaViews), "finding the chroma window");
    auto passes = [&](ID3D11ComputeShader* luma, ID3D11ComputeShader* chroma) {
        const PlaneKernel planes[2] = {{luma, s.lumaParams, lumaViews}, {chroma, s.chromaParams, chromaViews}};
        dispatchPlanes(c, s.outUav, planes, 2, s.alignedWidth, s.alignedHeight, s.outBuffer, s.readbackBuffer);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        check(SUCCEEDED(c->Map(s.readbackBuffer, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        c->Unmap(s.readbackBuffer, 0);
    };
    const Timing readbackCopy = timeMedian(runs, [&] { passes(nullptr, nullptr); });
    const Timing lumaFixed = timeMedian(runs, [&] { passes(s.lumaShaderFixed, nullptr); }) - readbackCopy;
    line("luma dispatch, fixed kernel", lumaFixed, "(output run)");
    const Timing chromaFixed = timeMedian(runs, [&] { passes(nullptr, s.chromaShaderFixed); }) - readbackCopy;
    line("chroma dispatch, fixed kernel", chromaFixed, "(output run)");
    const Timing lumaRuntime = timeMedian(runs, [&] { passes(s.lumaShaderRuntime, nullptr); }) - readbackCopy;
    line("luma dispatch, runtime kernel", lumaRuntime, "(preview)");
    const Timing chromaRuntime = timeMedian(runs, [&] { passes(nullptr, s.chromaShaderRuntime); }) - readbackCopy;
    line("chroma dispatch, runtime kernel", chromaRuntime, "(preview)");

    const Timing readback = timeMedian(runs, [&] {
        c->CopyResource(s.readbackBuffer, s.outBuffer);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        check(SUCCEEDED(c->Map(s.readbackBuffer, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        unpackResult(static_cast<const float*>(mapped.pData), s.alignedWidth, s.procWidth, s.procHeight, s.hostResult);
        c->Unmap(s.readbackBuffer, 0);
    });
    const Timing unpack = timeMedian(runs, [&] {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        check(SUCCEEDED(c->Map(s.readbackBuffer, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        unpackResult(static_cast<const float*>(mapped.pData), s.alignedWidth, s.procWidth, s.procHeight, s.hostResult);
        c->Unmap(s.readbackBuffer, 0);
    });
    line("readback + unpackResult", readback, "(CopyResource, Map, unpackResult, Unmap)");
    line("  of which unpackResult", unpack);
    const Timing copyOutMs = timeMedian(runs, [&] {
        copyOut(s.hostResult, s.procWidth, s.procHeight, output.data(), host.rowPixels);
    });
    line("copyOut", copyOutMs);

    for (bool fixed : {true, false}) {
        const Timing pass = timeMedian(runs, [&] {
            s.outputRunActive = fixed;
            s.pendingFrame = 1;
            check(GpuPass() == 1, "GpuPass");
        });
        line(fixed ? "GpuPass whole, fixed kernels" : "GpuPass whole, runtime kernels", pass,
             fixed ? "(the worker's job in an output run)" : "(the worker's job in a preview)");
    }
    s.outputRunActive = false;
    s.readyFrame.store(-1);
    releaseCache();

    const Timing upload = convert + copies;
    const Timing kernels = lumaFixed + chromaFixed;
    std::printf("sum of stages, output run: %.1f ms (upload %.1f, kernels %.1f, readback %.1f, copyOut %.1f)\n",
                (upload + kernels + readback + copyOutMs).wall, upload.wall, kernels.wall, readback.wall,
                copyOutMs.wall);
    std::fflush(stdout);

    if (schedulerFrames > 0) {
        // The plug-in driven as the editor drives an output run, frames served
        // from memory: the steady frame period without a codec around it.
        onExit(table);
        check(onInit(table) == 1, "onInit");
        onWindowMessage(&host.window, messageOutputStart, 0, 0, &host, table);
        std::vector<double> periods;
        for (int n = 0; n <= schedulerFrames; ++n) {
            FrameProcInfo record = frameRecord(n, output.data());
            start = Clock::now();
            check(onProcess(table, &record) == 1, "onProcess");
            if (n > 0) periods.push_back(msSince(start));
        }
        onWindowMessage(&host.window, messageOutputEnd, 0, 0, &host, table);
        line("onProcess in an output run, steady", median(periods), "(frames served from memory)");
    }
    onExit(table);
    return 0;
}

int init(int runs) {
    FilterTable* table = hostTable();
    const char* previous = std::getenv("QUENDA_REGISTRY_ROOT");
    const std::string saved = previous ? previous : "";
    std::vector<std::string> dirs;
    auto freshRoot = [&] {
        dirs.push_back(makeTempDir("registry"));
        setenv("QUENDA_REGISTRY_ROOT", dirs.back().c_str(), 1);
    };

    freshRoot();
    auto start = Clock::now();
    check(onInit(table) == 1, "onInit");
    const double first = msSince(start);
    std::printf("device: %s\n", adapterName(denoiseState.device).c_str());
    onExit(table);

    std::vector<double> empty, filled;
    for (int r = 0; r < runs; ++r) {
        freshRoot();
        start = Clock::now();
        check(onInit(table) == 1, "onInit");
        empty.push_back(msSince(start));
        onExit(table);
        start = Clock::now();
        check(onInit(table) == 1, "onInit");
        filled.push_back(msSince(start));
        onExit(table);
    }

    // What an onInit is made of: the device, and each runtime kernel compiled
    // and turned into a pipeline.
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    D3D_FEATURE_LEVEL level{};
    const D3D_FEATURE_LEVEL levels[1] = {static_cast<D3D_FEATURE_LEVEL>(0xb000)};
    const double create = timeMedian(runs, [&] {
        if (context) context->Release();
        if (device) device->Release();
        check(SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1,
                                          D3D11_SDK_VERSION, &device, &level, &context)),
              "D3D11CreateDevice");
    }).wall;
    double compileMs = 0, createMs = 0;
    for (const char* source : {lumaRuntimeSource, chromaRuntimeSource}) {
        ID3D10Blob* code = nullptr;
        compileMs += timeMedian(runs, [&] {
            if (code) code->Release();
            code = nullptr;
            check(SUCCEEDED(D3DX11CompileFromMemory(source, std::strlen(source), nullptr, nullptr, nullptr, "CS",
                                                    "cs_5_0", shaderCompileFlags, 0, nullptr, &code, nullptr,
                                                    nullptr)),
                  "D3DX11CompileFromMemory");
        }).wall;
        std::vector<ID3D11ComputeShader*> shaders;
        createMs += timeMedian(runs, [&] {
            ID3D11ComputeShader* shader = nullptr;
            check(SUCCEEDED(device->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr,
                                                        &shader)),
                  "CreateComputeShader");
            shaders.push_back(shader);
        }).wall;
        for (ID3D11ComputeShader* shader : shaders) shader->Release();
        code->Release();
    }
    context->Release();
    device->Release();

    if (saved.empty())
        unsetenv("QUENDA_REGISTRY_ROOT");
    else
        setenv("QUENDA_REGISTRY_ROOT", saved.c_str(), 1);
    for (const std::string& dir : dirs) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::printf("onInit, median of %d runs:\n", runs);
    line("first onInit of the process", first, "(Vulkan instance, empty cache)");
    const double e = median(empty), f = median(filled);
    line("onInit, empty registry cache", e);
    line("onInit, filled registry cache", f);
    std::printf("  %-44s %10.1f x   (goal: at least 10 x)\n", "empty / filled", f > 0 ? e / f : 0);
    line("  D3D11CreateDevice", create);
    line("  D3DX11CompileFromMemory, both runtime kernels", compileMs);
    line("  CreateComputeShader, both runtime kernels", createMs, "(the call; the driver's build may go on)");
    return 0;
}

int makeClip(const std::string& path, int frames, int width, int height) {
    quenda_cli::DemoSettings settings;
    settings.width = width;
    settings.height = height;
    settings.frames = frames;
    settings.noiseSigma = 8;
    quenda_cli::writeDemoClips(settings, "", path);
    return 0;
}

bool parseSize(const char* text, int* width, int* height) {
    return std::sscanf(text, "%dx%d", width, height) == 2 && *width >= 2 && *height >= 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: quenda_pipeline_bench stages [--clip FILE] [--runs N] [--size WxH] [--scheduler-frames N]\n"
                 "                                    [--tracks LS,LT,LD,CS,CT,CD]\n"
                 "       quenda_pipeline_bench init [--runs N]\n"
                 "       quenda_pipeline_bench make-clip FILE [--frames N] [--size WxH]\n");
    return 2;
}

// Six comma-separated track values within the descriptor's ranges.
bool parseTracks(const char* text, int32_t tracks[trackCountValue]) {
    int32_t values[trackCountValue];
    int used = 0;
    if (std::sscanf(text, "%d,%d,%d,%d,%d,%d%n", &values[0], &values[1], &values[2], &values[3], &values[4],
                    &values[5], &used) != trackCountValue || text[used] != '\0')
        return false;
    for (int i = 0; i < trackCountValue; ++i)
        if (values[i] < trackMinima[i] || values[i] > trackMaxima[i]) return false;
    std::copy(values, values + trackCountValue, tracks);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    std::string clip, path;
    int runs = 3, frames = 6, width = 1920, height = 1080, schedulerFrames = 2;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--clip" && hasValue) {
            clip = argv[++i];
        } else if (arg == "--runs" && hasValue) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--frames" && hasValue) {
            frames = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--scheduler-frames" && hasValue) {
            schedulerFrames = std::max(0, std::atoi(argv[++i]));
        } else if (arg == "--size" && hasValue) {
            if (!parseSize(argv[++i], &width, &height)) return usage();
        } else if (arg == "--tracks" && hasValue) {
            if (!parseTracks(argv[++i], host.tracks)) return usage();
        } else if (mode == "make-clip" && path.empty() && arg[0] != '-') {
            path = arg;
        } else {
            return usage();
        }
    }
    platform_hooks::setBoxEcho(true);
    try {
        if (mode == "stages") return stages(clip, runs, width, height, schedulerFrames);
        if (mode == "init") return init(runs);
        if (mode == "make-clip" && !path.empty()) return makeClip(path, frames, width, height);
    } catch (const std::exception& error) {
        die(error.what());
    }
    return usage();
}
