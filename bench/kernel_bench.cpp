// Milliseconds per frame of each denoise kernel at the default tracks (R 3,
// T 1, dispersion 50), runtime and fixed forms, on the device that the
// Direct3D 11 stand-in picks (QUENDA_VULKAN_DEVICE chooses another).
//
//   quenda_kernel_bench [runs [width height]]     default: 3 runs, 1920 x 1080
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <ctime>
#include <string>
#include <vector>

#include "gpu/kernels.h"
#include "gpu/strength.h"
#include "pipeline/plane_convert.h"
#include "tests/support/kernel_harness.h"

namespace {

using kernel_harness::ComRef;
using kernel_harness::KernelHarness;
using kernel_harness::Pass;
using nlm_reference::Plane;

constexpr int kSpace = 3;
constexpr int kTime = 1;
constexpr int kDispersion = 50;

const IID kIidDxgiDevice1 = {0x77db970f, 0x6276, 0x48ba, {0xba, 0x28, 0x07, 0x01, 0x43, 0xb4, 0x39, 0x2c}};

std::string adapterName(ID3D11Device* device) {
    std::string name = "unknown adapter";
    IDXGIDevice1* dxgi = nullptr;
    if (FAILED(device->QueryInterface(kIidDxgiDevice1, reinterpret_cast<void**>(&dxgi)))) return name;
    IDXGIAdapter* adapter = nullptr;
    DXGI_ADAPTER_DESC desc{};
    if (SUCCEEDED(dxgi->GetAdapter(&adapter))) {
        if (SUCCEEDED(adapter->GetDesc(&desc))) {
            name.clear();
            for (const WCHAR* c = desc.Description; *c && c < desc.Description + 128; ++c)
                name += *c < 128 ? static_cast<char>(*c) : '?';
        }
        adapter->Release();
    }
    dxgi->Release();
    return name;
}

// A noisy frame packed into its two planes by the plug-in's conversion.
void makePlanes(int width, int height, unsigned seed, Plane* luma, Plane* chroma) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-150, 150);
    std::vector<PixelYC> pixels(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[static_cast<size_t>(y) * width + x] = PixelYC{
                static_cast<int16_t>(1500 + x % 700 + noise(rng)), static_cast<int16_t>(noise(rng) - y % 300),
                static_cast<int16_t>(noise(rng) + y % 200)};
    *luma = Plane{lumaPlaneWidth(width), planeHeight(height), 1, {}};
    *chroma = Plane{chromaPlaneWidth(width), planeHeight(height), 2, {}};
    luma->codes.resize(static_cast<size_t>(luma->width) * luma->height);
    std::vector<ChromaTexel> texels(static_cast<size_t>(chroma->width) * chroma->height);
    packFrameRows(pixels.data(), width, luma->codes.data(), luma->width, texels.data(), chroma->width, width, height);
    packBorderRows(luma->codes.data(), luma->width, texels.data(), chroma->width, width, height);
    chroma->codes.resize(texels.size() * 2);
    std::memcpy(chroma->codes.data(), texels.data(), texels.size() * sizeof(ChromaTexel));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
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
        wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return Timing{median(wall), median(cpu)};
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int width = argc > 3 ? std::atoi(argv[2]) : 1920;
    const int height = argc > 3 ? std::atoi(argv[3]) : 1080;
    if (width < 2 || height < 1) {
        std::fprintf(stderr, "usage: quenda_kernel_bench [runs [width height]]\n");
        return 2;
    }
    KernelHarness harness;
    if (!harness.ok()) {
        std::fprintf(stderr, "no device: %s\n", harness.error().c_str());
        return 1;
    }
    const int alignedWidth = (width + 15) / 16 * 16;
    const int alignedHeight = (height + 15) / 16 * 16;
    std::printf("device: %s\nframe %d x %d, R %d, T %d, dispersion %d; median of %d runs\n",
                adapterName(harness.device()).c_str(), width, height, kSpace, kTime, kDispersion, runs);

    // The window of frame 1 in a clip of three, as the GPU pass binds it.
    std::vector<ComRef<ID3D11ShaderResourceView>> lumaViews, chromaViews;
    for (unsigned f = 0; f < 2 * kTime + 1; ++f) {
        Plane luma, chroma;
        makePlanes(width, height, 1 + f, &luma, &chroma);
        lumaViews.push_back(harness.upload(luma));
        chromaViews.push_back(harness.upload(chroma));
    }
    auto bound = [](const std::vector<ComRef<ID3D11ShaderResourceView>>& window) {
        std::vector<ID3D11ShaderResourceView*> views;
        for (int e = 0; e < 16; ++e) views.push_back(window[e <= 2 * kTime ? e : kTime].get());
        return views;
    };

    char h2Text[64];
    std::snprintf(h2Text, sizeof h2Text, "%f", static_cast<double>(dispersionStrength(kDispersion)));
    const std::string space = std::to_string(kSpace), time = std::to_string(kTime),
                      dispersion = std::to_string(kDispersion);
    const D3D10_SHADER_MACRO macros[] = {{"SPACE_SEARCH_RADIUS", space.c_str()},
                                         {"TIME_SEARCH_RADIUS", time.c_str()},
                                         {"DISPERSION_RADIUS", dispersion.c_str()},
                                         {"H2", h2Text},
                                         {nullptr, nullptr}};
    struct Kernel {
        const char* name;
        const char* source;
        const D3D10_SHADER_MACRO* macros;
        bool luma;
    };
    const Kernel kernels[] = {{"luma runtime", lumaRuntimeSource, nullptr, true},
                              {"chroma runtime", chromaRuntimeSource, nullptr, false},
                              {"luma fixed", lumaFixedSource, macros, true},
                              {"chroma fixed", chromaFixedSource, macros, false}};

    // Buffer creation, copy and readback, to take off the kernels' figures.
    const Timing overhead = timeRuns(harness, {}, alignedWidth, alignedHeight, runs);
    std::printf("%-15s %10.1f ms  (process cpu %.0f ms): buffers and readback, taken off below\n", "no kernel",
                overhead.wallMs, overhead.cpuMs);
    for (const Kernel& k : kernels) {
        std::string log;
        auto start = std::chrono::steady_clock::now();
        ComRef<ID3D11ComputeShader> shader = harness.compile(k.source, k.macros, &log);
        double compileMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!shader) {
            std::fprintf(stderr, "%s: compile failed\n%s", k.name, log.c_str());
            return 1;
        }
        Pass pass{shader.get(), bound(k.luma ? lumaViews : chromaViews),
                  {kSpace, kTime, alignedWidth, dispersionStrength(kDispersion)}};
        timeRuns(harness, {pass}, alignedWidth, alignedHeight, 1);  // first use builds the pipeline
        Timing t = timeRuns(harness, {pass}, alignedWidth, alignedHeight, runs);
        std::printf("%-15s %10.1f ms per frame  (process cpu %.0f ms; compile %.0f ms)\n", k.name,
                    t.wallMs - overhead.wallMs, t.cpuMs - overhead.cpuMs, compileMs);
        std::fflush(stdout);
    }
    return 0;
}
