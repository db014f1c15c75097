#include "bench/bench_support.h"

#include <algorithm>
#include <random>

#include <time.h>

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string adapterName(ID3D11Device* device) {
    static const IID iidDxgiDevice1 = {0x77db970f, 0x6276, 0x48ba, {0xba, 0x28, 0x07, 0x01, 0x43, 0xb4, 0x39, 0x2c}};
    std::string name = "unknown adapter";
    IDXGIDevice1* dxgi = nullptr;
    if (FAILED(device->QueryInterface(iidDxgiDevice1, reinterpret_cast<void**>(&dxgi)))) return name;
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

std::vector<PixelYC> syntheticFrame(int width, int height, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 150.0f);
    std::vector<PixelYC> pixels(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[static_cast<size_t>(y) * width + x] =
                PixelYC{static_cast<int16_t>(std::clamp(1500.0f + x % 700 + noise(rng), 0.0f, 4096.0f)),
                        static_cast<int16_t>(std::clamp(noise(rng) - y % 300, -2048.0f, 2047.0f)),
                        static_cast<int16_t>(std::clamp(noise(rng) + y % 200, -2048.0f, 2047.0f))};
    return pixels;
}
