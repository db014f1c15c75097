// Per-frame cost of each denoise kernel, runtime and fixed forms, on the
// device that the Direct3D 11 stand-in picks (QUENDA_VULKAN_DEVICE chooses
// another). Wall times on a shared machine are noisy; the process CPU time
// (all of lavapipe's threads) is the steadier figure to compare.
//
//   quenda_kernel_bench [runs [width height [space time dispersion]]] [--plain]
//       default: 3 runs, 1920 x 1080, the default tracks R 3, T 1, dispersion 50;
//       --plain also times the plain search (bench/plain.hlsl), which tells
//       whether the shipped searches pay off on this device
//   quenda_kernel_bench --sizes
//       compiled size and compile time of the fixed forms over the track ranges
//   quenda_kernel_bench --ops [runs]
//       the price of one texel load (of one and of two channels), exp, sqrt
//       and candidate in the device's code, and of one thread of a 16 x 16
//       group (bench/ops.hlsl)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/plain_kernels.h"
#include "gpu/kernels.h"
#include "gpu/shader_build.h"
#include "gpu/strength.h"
#include "pipeline/plane_convert.h"
#include "tests/support/kernel_harness.h"

namespace {

using kernel_harness::ComRef;
using kernel_harness::KernelHarness;
using kernel_harness::Pass;
using nlm_reference::Plane;

// A noisy frame packed into its two planes by the plug-in's conversion.
void makePlanes(int width, int height, unsigned seed, Plane* luma, Plane* chroma) {
    const std::vector<PixelYC> pixels = syntheticFrame(width, height, seed);
    *luma = Plane{lumaPlaneWidth(width), planeHeight(height), 1, {}};
    *chroma = Plane{chromaPlaneWidth(width), planeHeight(height), 2, {}};
    luma->codes.resize(static_cast<size_t>(luma->width) * luma->height);
    std::vector<ChromaTexel> texels(static_cast<size_t>(chroma->width) * chroma->height);
    packFrameRows(pixels.data(), width, luma->codes.data(), luma->width, texels.data(), chroma->width, width, height);
    packBorderRows(luma->codes.data(), luma->width, texels.data(), chroma->width, width, height);
    chroma->codes.resize(texels.size() * 2);
    std::memcpy(chroma->codes.data(), texels.data(), texels.size() * sizeof(ChromaTexel));
}

struct Timing {
    double wallMs;
    double cpuMs;  // all threads of the process: lavapipe's work on a shared machine
};

// Median wall and process time of one run of the passes, readback included.
Timing timeRuns(KernelHarness& harness, const std::vector<Pass>& passes, int alignedWidth, int alignedHeight,
                int runs) {
    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        double cpuStart = processCpuMs();
        if (harness.run(passes, alignedWidth, alignedHeight).empty()) {
            std::fprintf(stderr, "dispatch failed\n");
            std::exit(1);
        }
        cpu.push_back(processCpuMs() - cpuStart);
        wall.push_back(msSince(start));
    }
    return Timing{median(wall), median(cpu)};
}

// Compiles as the plug-in does; the blob's size, or 0 with the log printed.
size_t compiledSize(const char* source, const D3D10_SHADER_MACRO* macros, double* ms) {
    ID3D10Blob* code = nullptr;
    ID3D10Blob* log = nullptr;
    auto start = std::chrono::steady_clock::now();
    HRESULT hr = D3DX11CompileFromMemory(source, std::strlen(source), nullptr, macros, nullptr, "CS", "cs_5_0",
                                         shaderCompileFlags, 0, nullptr, &code, &log, nullptr);
    *ms = msSince(start);
    size_t size = SUCCEEDED(hr) && code ? code->GetBufferSize() : 0;
    if (!size && log) std::fprintf(stderr, "%s\n", static_cast<const char*>(log->GetBufferPointer()));
    if (code) code->Release();
    if (log) log->Release();
    return size;
}

// Size and compile time of the fixed forms over the track ranges.
int printSizes() {
    std::printf("fixed forms: compiled bytes (compile ms), luma / chroma\n");
    for (int space : {0, 1, 2, 3, 4, 5, 7, 10, 16}) {
        for (int time = 0; time <= 7; ++time) {
            const FixedMacros<D3D10_SHADER_MACRO> m(space, time, 50);
            double lumaMs = 0, chromaMs = 0;
            size_t luma = compiledSize(lumaFixedSource, m.macros, &lumaMs);
            size_t chroma = compiledSize(chromaFixedSource, m.macros, &chromaMs);
            if (!luma || !chroma) return 1;
            std::printf("R %2d T %d: %7zu (%4.0f) / %7zu (%4.0f)\n", space, time, luma, lumaMs, chroma, chromaMs);
            std::fflush(stdout);
        }
    }
    return 0;
}

// Prices single operations with the micro kernels of bench/ops.hlsl on a
// 1920 x 1088 grid of 16 x 16 groups: (kernel with N copies - kernel with
// none) per thread and copy.
int priceOps(KernelHarness& harness, int runs) {
    const int width = 1920, height = 1088;
    const double threads = double(width) * height;
    // A luma-like plane (one 16-bit channel) and a chroma-like one (two).
    std::vector<ID3D11ShaderResourceView*> views[2];
    ComRef<ID3D11ShaderResourceView> planeViews[2];
    for (int channels = 1; channels <= 2; ++channels) {
        Plane plane{width + 32, height + 32, channels, {}};
        plane.codes.resize(static_cast<size_t>(plane.width) * plane.height * channels);
        for (size_t i = 0; i < plane.codes.size(); ++i) plane.codes[i] = uint16_t(i * 2654435761u >> 16);
        planeViews[channels - 1] = harness.upload(plane);
        views[channels - 1].assign(16, planeViews[channels - 1].get());
    }
    struct Op {
        const char* name;
        const char* op;
        int n;
        int channels = 1;
    };
    const Op ops[] = {{"empty kernel", "0", 0},         {"texel load", "1", 64},
                      {"two-channel load", "1", 64, 2}, {"exp", "2", 64},
                      {"sqrt", "3", 64},                {"candidate", "4", 49},
                      {"cand. arithmetic", "5", 49},    {"buffer load", "6", 64}};
    std::printf("device: %s\n%d x %d threads in 16 x 16 groups; median of %d runs, process CPU time\n",
                adapterName(harness.device()).c_str(), width, height, runs);
    double emptyCpu = 0, emptyWall = 0;
    for (const Op& op : ops) {
        const std::string n = std::to_string(op.n);
        const D3D10_SHADER_MACRO macros[] = {{"OP", op.op}, {"N", n.c_str()}, {nullptr, nullptr}};
        std::string log;
        ComRef<ID3D11ComputeShader> shader = harness.compile(opPriceSource, macros, &log);
        if (!shader) {
            std::fprintf(stderr, "%s: compile failed\n%s", op.name, log.c_str());
            return 1;
        }
        Pass pass{shader.get(), views[op.channels - 1], {0, 0, width, 1.0f}};
        timeRuns(harness, {pass}, width, height, 1);  // builds the pipeline
        const Timing t = timeRuns(harness, {pass}, width, height, runs);
        if (op.n == 0) {
            emptyCpu = t.cpuMs;
            emptyWall = t.wallMs;
            std::printf("%-17s %8.1f ms wall, %8.1f ms cpu for the grid, readback included\n", op.name, t.wallMs,
                        t.cpuMs);
            continue;
        }
        std::printf("%-17s %8.2f ns cpu per thread and copy (%d copies; wall %.2f ns)\n", op.name,
                    (t.cpuMs - emptyCpu) * 1e6 / (threads * op.n), op.n,
                    (t.wallMs - emptyWall) * 1e6 / (threads * op.n));
        std::fflush(stdout);
    }
    // One thread of a group: the empty kernel against no dispatch at all.
    const Timing none = timeRuns(harness, {}, width, height, runs);
    std::printf("%-17s %8.2f ns cpu per thread of a 16 x 16 group (empty kernel less no dispatch)\n",
                "thread", (emptyCpu - none.cpuMs) * 1e6 / threads);
    return 0;
}

// The frame and tracks timed, from the command line.
struct FrameSettings {
    int runs, width, height, space, time, dispersion;
    int alignedWidth() const { return (width + 15) / 16 * 16; }
    int alignedHeight() const { return (height + 15) / 16 * 16; }
};

using Views = std::vector<ComRef<ID3D11ShaderResourceView>>;

// The window of the middle frame of a clip of 2T + 1, as the GPU pass binds it.
void uploadWindow(KernelHarness& harness, const FrameSettings& f, Views* lumaViews, Views* chromaViews) {
    for (int n = 0; n < 2 * f.time + 1; ++n) {
        Plane luma, chroma;
        makePlanes(f.width, f.height, 1 + n, &luma, &chroma);
        lumaViews->push_back(harness.upload(luma));
        chromaViews->push_back(harness.upload(chroma));
    }
}

struct Kernel {
    const char* name;
    const char* source;
    const D3D10_SHADER_MACRO* macros;
    bool luma;
};

// Runtime and fixed pairs, and with --plain the plain search's pairs.
std::vector<Kernel> kernelsToTime(const D3D10_SHADER_MACRO* fixed, bool plain) {
    std::vector<Kernel> kernels = {{"luma runtime", lumaRuntimeSource, nullptr, true},
                                   {"chroma runtime", chromaRuntimeSource, nullptr, false},
                                   {"luma fixed", lumaFixedSource, fixed, true},
                                   {"chroma fixed", chromaFixedSource, fixed, false}};
    if (plain) {
        kernels.insert(kernels.end(), {{"plain l. runt.", plainLumaRuntimeSource, nullptr, true},
                                       {"plain c. runt.", plainChromaRuntimeSource, nullptr, false},
                                       {"plain l. fixed", plainLumaFixedSource, fixed, true},
                                       {"plain c. fixed", plainChromaFixedSource, fixed, false}});
    }
    return kernels;
}

// Each kernel over the window, less the buffers and readback around it, and
// each pair's sum; 1 when a kernel does not compile.
int timeKernels(KernelHarness& harness, const FrameSettings& f, const std::vector<Kernel>& kernels,
                const Views& lumaViews, const Views& chromaViews) {
    auto bound = [&f](const Views& window) {
        std::vector<ID3D11ShaderResourceView*> views;
        for (int e = 0; e < 16; ++e) views.push_back(window[e <= 2 * f.time ? e : f.time].get());
        return views;
    };
    // Buffer creation, copy and readback, to take off the kernels' figures.
    const Timing overhead = timeRuns(harness, {}, f.alignedWidth(), f.alignedHeight(), f.runs);
    std::printf("%-15s %9.1f ms  (cpu %6.0f ms): buffers and readback, taken off below\n", "no kernel",
                overhead.wallMs, overhead.cpuMs);
    std::printf("%-15s %9s     %12s  %9s %11s %12s\n", "kernel", "wall", "cpu", "bytes", "compile", "first use");
    double totalWall[4] = {0, 0, 0, 0}, totalCpu[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < kernels.size(); ++i) {
        const Kernel& k = kernels[i];
        double compileMs = 0;
        const size_t bytes = compiledSize(k.source, k.macros, &compileMs);
        std::string log;
        ComRef<ID3D11ComputeShader> shader = harness.compile(k.source, k.macros, &log);
        if (!bytes || !shader) {
            std::fprintf(stderr, "%s: compile failed\n%s", k.name, log.c_str());
            return 1;
        }
        Pass pass{shader.get(), bound(k.luma ? lumaViews : chromaViews),
                  {f.space, f.time, f.alignedWidth(), dispersionStrength(f.dispersion)}};
        // The first dispatch also builds the driver's pipeline.
        const Timing first = timeRuns(harness, {pass}, f.alignedWidth(), f.alignedHeight(), 1);
        const Timing t = timeRuns(harness, {pass}, f.alignedWidth(), f.alignedHeight(), f.runs);
        const double wall = t.wallMs - overhead.wallMs, cpu = t.cpuMs - overhead.cpuMs;
        const size_t pair = i / 2;  // runtime, fixed, plain runtime, plain fixed
        totalWall[pair] += wall;
        totalCpu[pair] += cpu;
        std::printf("%-15s %9.1f ms  (cpu %6.0f ms) %9zu %8.0f ms %9.0f ms\n", k.name, wall, cpu, bytes, compileMs,
                    first.wallMs - t.wallMs);
        std::fflush(stdout);
    }
    const char* const pairs[] = {"runtime pair", "fixed pair", "plain runtime", "plain fixed"};
    for (size_t pair = 0; pair < kernels.size() / 2; ++pair)
        std::printf("%-15s %9.1f ms  (cpu %6.0f ms)\n", pairs[pair], totalWall[pair], totalCpu[pair]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--sizes") == 0) return printSizes();
    const bool plain = argc > 1 && std::strcmp(argv[argc - 1], "--plain") == 0;
    if (plain) --argc;
    FrameSettings f;
    f.runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    f.width = argc > 3 ? std::atoi(argv[2]) : 1920;
    f.height = argc > 3 ? std::atoi(argv[3]) : 1080;
    f.space = argc > 6 ? std::atoi(argv[4]) : 3;
    f.time = argc > 6 ? std::atoi(argv[5]) : 1;
    f.dispersion = argc > 6 ? std::atoi(argv[6]) : 50;
    if (f.width < 2 || f.height < 1 || f.space < 0 || f.space > 16 || f.time < 0 || f.time > 7 || f.dispersion < 0 ||
        f.dispersion > 100) {
        std::fprintf(stderr, "usage: quenda_kernel_bench [runs [width height [space time dispersion]]] [--plain] | --sizes\n");
        return 2;
    }
    KernelHarness harness;
    if (!harness.ok()) {
        std::fprintf(stderr, "no device: %s\n", harness.error().c_str());
        return 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "--ops") == 0)
        return priceOps(harness, argc > 2 ? std::max(1, std::atoi(argv[2])) : 3);
    std::printf("device: %s\nframe %d x %d, R %d, T %d, dispersion %d; median of %d runs\n",
                adapterName(harness.device()).c_str(), f.width, f.height, f.space, f.time, f.dispersion, f.runs);
    Views lumaViews, chromaViews;
    uploadWindow(harness, f, &lumaViews, &chromaViews);
    const FixedMacros<D3D10_SHADER_MACRO> fixed(f.space, f.time, f.dispersion);
    return timeKernels(harness, f, kernelsToTime(fixed.macros, plain), lumaViews, chromaViews);
}
