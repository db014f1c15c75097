// What the benchmarks share: timing, the adapter's name and synthetic frames.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/filter_table.h"
#include "platform/win32_api.h"

double msSince(std::chrono::steady_clock::time_point start);
// Processor time of every thread of the process, in milliseconds: on a CPU
// device that includes the device's work.
double processCpuMs();
// The median; 0 for no values.
double median(std::vector<double> values);

// Description of the device's adapter in ASCII ('?' for other characters), or
// "unknown adapter".
std::string adapterName(ID3D11Device* device);

// Noise over gradients, inside the host's exact ranges.
std::vector<PixelYC> syntheticFrame(int width, int height, unsigned seed);
