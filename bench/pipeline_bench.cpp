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
#include <array>
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
#include "tests/support/test_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using Tracks = std::array<int32_t, trackCountValue>;

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

// The editor's side: the frames served to the plug-in from memory, as the
// editor would serve them, and the callbacks driven as the editor drives them.
struct BenchFrames {
    int width = 1920;
    int height = 1080;
    std::vector<std::vector<PixelYC>> images;  // frame f is images[f % size]
};

// The frames to serve; with a clip, times the fetch as `quenda` serves it.
BenchFrames loadFrames(const std::string& clip, int frames, int width, int height) {
    BenchFrames loaded;
    if (clip.empty()) {
        loaded.width = width;
        loaded.height = height;
        for (int f = 0; f < frames; ++f) loaded.images.push_back(syntheticFrame(width, height, 7 + f));
        std::printf("frames: synthetic %d x %d\n", width, height);
        return loaded;
    }
    using namespace quenda_cli;
    VideoInput input(clip, 4);
    const VideoInfo& info = input.info();
    YcConverter converter(info.format, info.width, info.height, isFullRange(info.format, info.range),
                          info.colorSpace);
    loaded.width = converter.rowPixels();
    loaded.height = info.height;
    std::vector<double> fetch;
    for (int f = 0; f < frames && f < input.frameCount(); ++f) {
        std::vector<PixelYC> image(static_cast<size_t>(loaded.width) * loaded.height);
        const auto start = Clock::now();
        converter.toYc(input.frame(f), image.data());
        fetch.push_back(msSince(start));
        loaded.images.push_back(std::move(image));
    }
    if (loaded.images.empty()) die("no frames in " + clip);
    std::vector<double> back;
    for (size_t f = 0; f < loaded.images.size(); ++f) {
        const auto start = Clock::now();
        converter.fromYc(loaded.images[f].data(), input.frame(static_cast<int>(f)));
        back.push_back(msSince(start));
    }
    std::printf("frames: %s, %d x %d %s\n", clip.c_str(), loaded.width, loaded.height,
                pixelFormatName(info.format).c_str());
    line("fetch: decode + conversion to PixelYC", median(fetch), "(quenda's frame service, per frame)");
    line("conversion from PixelYC to the file's pixels", median(back), "(before the encoder, per frame)");
    return loaded;
}

std::string makeTempDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quenda-bench-" + tag + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) die("cannot make a temporary directory");
    return name.data();
}

// What the stage timings share: the host, the plug-in's state and its
// immediate context, and the record of frame 1, the frame every stage uses.
struct StageBench {
    TestHost& host;
    const BenchFrames& frames;
    int runs;
    DenoiseState& s = denoiseState;
    ID3D11DeviceContext* c = nullptr;
    FrameProcInfo info{};
};

// onInit, the fixed kernels and frame 1's window uploaded, the work buffers
// sized: what the scheduler has done before its first pass.
void prepareStages(StageBench& b) {
    check(b.host.init() == 1, "onInit");
    std::printf("device: %s\n", adapterName(b.s.device).c_str());
    auto start = Clock::now();
    DenoiseParams params;
    readTrackValues(b.host.table(), &params);
    check(buildFixedShaders(b.host.table(), params) == 1, "buildFixedShaders");
    line("fixed kernels built (message 1129)", msSince(start), "(once per output run)");

    b.info = b.host.record(1);
    const int T = std::max(b.host.tracks()[1], b.host.tracks()[4]);
    start = Clock::now();
    check(uploadWindow(b.host.table(), &b.info, 1, T) == 1, "uploadWindow");
    line("uploadWindow, first: staging made + window", msSince(start));
    b.s.procWidth = b.info.frameWidth;
    b.s.procHeight = b.info.frameHeight;
    readTrackValues(b.host.table(), &b.s.denoiseParams);  // as the scheduler does before each pass
    check(ensureWorkBuffers(b.host.table()), "ensureWorkBuffers");
    b.c = b.s.context;
}

// Map x2, packFrameRows, packBorderRows, Unmap x2, a frame at a time.
Timing timeConversion(StageBench& b) {
    int next = 0;
    return timeMedian(b.runs, [&] {
        DenoiseState& s = b.s;
        D3D11_MAPPED_SUBRESOURCE luma{}, chroma{};
        check(SUCCEEDED(b.c->Map(s.stagingLuma, 0, D3D11_MAP_WRITE, 0, &luma)), "Map");
        check(SUCCEEDED(b.c->Map(s.stagingChroma, 0, D3D11_MAP_WRITE, 0, &chroma)), "Map");
        auto* lumaPlane = static_cast<uint16_t*>(luma.pData);
        auto* chromaPlane = static_cast<ChromaTexel*>(chroma.pData);
        const int32_t lumaPitch = static_cast<int32_t>(luma.RowPitch / 2);
        const int32_t chromaPitch = static_cast<int32_t>(chroma.RowPitch / 4);
        const BenchFrames& f = b.frames;
        const PixelYC* src = f.images[static_cast<size_t>(next++) % f.images.size()].data();
        packFrameRows(src, f.width, lumaPlane, lumaPitch, chromaPlane, chromaPitch, f.width, f.height);
        packBorderRows(lumaPlane, lumaPitch, chromaPlane, chromaPitch, f.width, f.height);
        b.c->Unmap(s.stagingLuma, 0);
        b.c->Unmap(s.stagingChroma, 0);
    });
}

// CreateTexture2D x2, CopyResource x2, views x2, waited for.
Timing timeTextureCopies(StageBench& b) {
    return timeMedian(b.runs, [&] {
        DenoiseState& s = b.s;
        ID3D11Texture2D* lumaTexture = nullptr;
        ID3D11Texture2D* chromaTexture = nullptr;
        D3D11_TEXTURE2D_DESC desc = planeDesc(false, false);
        check(SUCCEEDED(s.device->CreateTexture2D(&desc, nullptr, &lumaTexture)), "CreateTexture2D");
        desc = planeDesc(true, false);
        check(SUCCEEDED(s.device->CreateTexture2D(&desc, nullptr, &chromaTexture)), "CreateTexture2D");
        b.c->CopyResource(lumaTexture, s.stagingLuma);
        b.c->CopyResource(chromaTexture, s.stagingChroma);
        ID3D11ShaderResourceView* views[2] = {};
        check(SUCCEEDED(s.device->CreateShaderResourceView(lumaTexture, nullptr, &views[0])), "view");
        check(SUCCEEDED(s.device->CreateShaderResourceView(chromaTexture, nullptr, &views[1])), "view");
        // Reading the staging texture back waits for the copies out of it.
        D3D11_MAPPED_SUBRESOURCE mapped{};
        check(SUCCEEDED(b.c->Map(s.stagingLuma, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        b.c->Unmap(s.stagingLuma, 0);
        check(SUCCEEDED(b.c->Map(s.stagingChroma, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        b.c->Unmap(s.stagingChroma, 0);
        for (auto* view : views) view->Release();
        lumaTexture->Release();
        chromaTexture->Release();
    });
}

// Warm-up passes: the first use of each kernel, and the constants written.
void firstPasses(StageBench& b) {
    for (bool fixed : {false, true}) {
        b.s.outputRunActive = fixed;
        b.s.fixedParamsDirty = true;
        b.s.pendingFrame = 1;
        const auto start = Clock::now();
        check(GpuPass() == 1, "GpuPass");
        std::printf("  %-44s %10.1f ms\n", fixed ? "first GpuPass, fixed kernels" : "first GpuPass, runtime kernels",
                    msSince(start));
    }
}

// Each kernel dispatched alone over frame 1's window, less the readback
// copy that follows every dispatch; returns the fixed kernels' sum.
Timing timeDispatches(StageBench& b) {
    DenoiseState& s = b.s;
    ID3D11ShaderResourceView* lumaViews[viewCount];
    ID3D11ShaderResourceView* chromaViews[viewCount];
    check(gatherViews(1, s.denoiseParams.lumaTime, false, lumaViews), "finding the luma window");
    check(gatherViews(1, s.denoiseParams.chromaTime, true, chromaViews), "finding the chroma window");
    auto passes = [&](ID3D11ComputeShader* luma, ID3D11ComputeShader* chroma) {
        const PlaneKernel planes[2] = {{luma, s.lumaParams, lumaViews}, {chroma, s.chromaParams, chromaViews}};
        dispatchPlanes(b.c, s.outUav, planes, 2, s.alignedWidth, s.alignedHeight, s.outBuffer, s.readbackBuffer);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        check(SUCCEEDED(b.c->Map(s.readbackBuffer, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        b.c->Unmap(s.readbackBuffer, 0);
    };
    const Timing readbackCopy = timeMedian(b.runs, [&] { passes(nullptr, nullptr); });
    const Timing lumaFixed = timeMedian(b.runs, [&] { passes(s.lumaShaderFixed, nullptr); }) - readbackCopy;
    line("luma dispatch, fixed kernel", lumaFixed, "(output run)");
    const Timing chromaFixed = timeMedian(b.runs, [&] { passes(nullptr, s.chromaShaderFixed); }) - readbackCopy;
    line("chroma dispatch, fixed kernel", chromaFixed, "(output run)");
    const Timing lumaRuntime = timeMedian(b.runs, [&] { passes(s.lumaShaderRuntime, nullptr); }) - readbackCopy;
    line("luma dispatch, runtime kernel", lumaRuntime, "(preview)");
    const Timing chromaRuntime = timeMedian(b.runs, [&] { passes(nullptr, s.chromaShaderRuntime); }) - readbackCopy;
    line("chroma dispatch, runtime kernel", chromaRuntime, "(preview)");
    return lumaFixed + chromaFixed;
}

// The output buffer read back and unpacked, with and without its copy.
Timing timeReadback(StageBench& b) {
    DenoiseState& s = b.s;
    auto unpackMapped = [&] {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        check(SUCCEEDED(b.c->Map(s.readbackBuffer, 0, D3D11_MAP_READ, 0, &mapped)), "Map");
        unpackResult(static_cast<const float*>(mapped.pData), s.alignedWidth, s.procWidth, s.procHeight, s.hostResult);
        b.c->Unmap(s.readbackBuffer, 0);
    };
    const Timing readback = timeMedian(b.runs, [&] {
        b.c->CopyResource(s.readbackBuffer, s.outBuffer);
        unpackMapped();
    });
    const Timing unpack = timeMedian(b.runs, unpackMapped);
    line("readback + unpackResult", readback, "(CopyResource, Map, unpackResult, Unmap)");
    line("  of which unpackResult", unpack);
    return readback;
}

Timing timeCopyOut(StageBench& b) {
    const Timing copyOutMs = timeMedian(b.runs, [&] {
        copyOut(b.s.hostResult, b.s.procWidth, b.s.procHeight, b.info.outputImage, b.info.rowPixels);
    });
    line("copyOut", copyOutMs);
    return copyOutMs;
}

// The worker's whole job, in an output run and in a preview; then the state
// the scheduler leaves between runs.
void timeWholePasses(StageBench& b) {
    for (bool fixed : {true, false}) {
        const Timing pass = timeMedian(b.runs, [&] {
            b.s.outputRunActive = fixed;
            b.s.pendingFrame = 1;
            check(GpuPass() == 1, "GpuPass");
        });
        line(fixed ? "GpuPass whole, fixed kernels" : "GpuPass whole, runtime kernels", pass,
             fixed ? "(the worker's job in an output run)" : "(the worker's job in a preview)");
    }
    b.s.outputRunActive = false;
    b.s.readyFrame.store(-1);
    releaseCache();
}

// The plug-in driven as the editor drives an output run, frames served from
// memory: the steady frame period without a codec around it.
void timeScheduler(TestHost& host, int schedulerFrames) {
    host.exit();
    check(host.init() == 1, "onInit");
    host.message(messageOutputStart);
    std::vector<double> periods;
    for (int n = 0; n <= schedulerFrames; ++n) {
        const auto start = Clock::now();
        check(host.process(n) == 1, "onProcess");
        if (n > 0) periods.push_back(msSince(start));
    }
    host.message(messageOutputEnd);
    line("onProcess in an output run, steady", median(periods), "(frames served from memory)");
}

int stages(const std::string& clip, const Tracks& tracks, int runs, int width, int height, int schedulerFrames) {
    TestHost host(GetFilterTable());
    host.setTracks(tracks);
    const BenchFrames frames = loadFrames(clip, 3, width, height);
    host.setImages(frames.images, frames.width, frames.height, 6);
    std::printf("tracks %d %d %d %d %d %d; median of %d runs\n", tracks[0], tracks[1], tracks[2], tracks[3],
                tracks[4], tracks[5], runs);
    StageBench b{host, frames, runs};
    prepareStages(b);

    std::printf("one frame, by stage:\n");
    const Timing convert = timeConversion(b);
    line("conversion into the staging textures", convert, "(Map x2, packFrameRows, packBorderRows, Unmap x2)");
    const Timing copies = timeTextureCopies(b);
    line("texture copies, waited for", copies, "(CreateTexture2D x2, CopyResource x2, views x2)");
    firstPasses(b);
    const Timing kernels = timeDispatches(b);
    const Timing readback = timeReadback(b);
    const Timing copyOutMs = timeCopyOut(b);
    timeWholePasses(b);

    const Timing upload = convert + copies;
    std::printf("sum of stages, output run: %.1f ms (upload %.1f, kernels %.1f, readback %.1f, copyOut %.1f)\n",
                (upload + kernels + readback + copyOutMs).wall, upload.wall, kernels.wall, readback.wall,
                copyOutMs.wall);
    std::fflush(stdout);
    if (schedulerFrames > 0) timeScheduler(host, schedulerFrames);
    host.exit();
    return 0;
}

// A fresh registry root for each onInit that must find the cache empty; the
// caller's root is given back, and the folders removed, at the end.
class RegistryRoots {
public:
    RegistryRoots() {
        const char* previous = std::getenv("QUENDA_REGISTRY_ROOT");
        saved_ = previous ? previous : "";
    }
    ~RegistryRoots() {
        if (saved_.empty())
            unsetenv("QUENDA_REGISTRY_ROOT");
        else
            setenv("QUENDA_REGISTRY_ROOT", saved_.c_str(), 1);
        for (const std::string& dir : dirs_) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
    void fresh() {
        dirs_.push_back(makeTempDir("registry"));
        setenv("QUENDA_REGISTRY_ROOT", dirs_.back().c_str(), 1);
    }

private:
    std::string saved_;
    std::vector<std::string> dirs_;
};

double timedInit(TestHost& host) {
    const auto start = Clock::now();
    check(host.init() == 1, "onInit");
    return msSince(start);
}

// What an onInit is made of: the device, and each runtime kernel compiled
// and turned into a pipeline.
struct InitParts {
    double create = 0, compile = 0, createShader = 0;
};

InitParts timeInitParts(int runs) {
    InitParts parts;
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    D3D_FEATURE_LEVEL level{};
    const D3D_FEATURE_LEVEL levels[1] = {static_cast<D3D_FEATURE_LEVEL>(0xb000)};
    parts.create = timeMedian(runs, [&] {
        if (context) context->Release();
        if (device) device->Release();
        check(SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1,
                                          D3D11_SDK_VERSION, &device, &level, &context)),
              "D3D11CreateDevice");
    }).wall;
    for (const char* source : {lumaRuntimeSource, chromaRuntimeSource}) {
        ID3D10Blob* code = nullptr;
        parts.compile += timeMedian(runs, [&] {
            if (code) code->Release();
            code = nullptr;
            check(SUCCEEDED(D3DX11CompileFromMemory(source, std::strlen(source), nullptr, nullptr, nullptr, "CS",
                                                    "cs_5_0", shaderCompileFlags, 0, nullptr, &code, nullptr,
                                                    nullptr)),
                  "D3DX11CompileFromMemory");
        }).wall;
        std::vector<ID3D11ComputeShader*> shaders;
        parts.createShader += timeMedian(runs, [&] {
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
    return parts;
}

int init(const Tracks& tracks, int runs) {
    TestHost host(GetFilterTable());
    host.setTracks(tracks);
    RegistryRoots roots;
    roots.fresh();
    const double first = timedInit(host);
    std::printf("device: %s\n", adapterName(denoiseState.device).c_str());
    host.exit();

    std::vector<double> empty, filled;
    for (int r = 0; r < runs; ++r) {
        roots.fresh();
        empty.push_back(timedInit(host));
        host.exit();
        filled.push_back(timedInit(host));
        host.exit();
    }
    const InitParts parts = timeInitParts(runs);

    std::printf("onInit, median of %d runs:\n", runs);
    line("first onInit of the process", first, "(Vulkan instance, empty cache)");
    const double e = median(empty), f = median(filled);
    line("onInit, empty registry cache", e);
    line("onInit, filled registry cache", f);
    std::printf("  %-44s %10.1f x   (goal: at least 10 x)\n", "empty / filled", f > 0 ? e / f : 0);
    line("  D3D11CreateDevice", parts.create);
    line("  D3DX11CompileFromMemory, both runtime kernels", parts.compile);
    line("  CreateComputeShader, both runtime kernels", parts.createShader, "(the call; the driver's build may go on)");
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
    Tracks tracks = {3, 1, 50, 3, 1, 50};
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
            if (!parseTracks(argv[++i], tracks.data())) return usage();
        } else if (mode == "make-clip" && path.empty() && arg[0] != '-') {
            path = arg;
        } else {
            return usage();
        }
    }
    platform_hooks::setBoxEcho(true);
    try {
        if (mode == "stages") return stages(clip, tracks, runs, width, height, schedulerFrames);
        if (mode == "init") return init(tracks, runs);
        if (mode == "make-clip" && !path.empty()) return makeClip(path, frames, width, height);
    } catch (const std::exception& error) {
        die(error.what());
    }
    return usage();
}
