// The name of the adapter behind a Direct3D 11 device, for the benchmarks'
// headers.
#pragma once

#include <string>

#include "platform/win32_api.h"

// Description of the device's adapter in ASCII ('?' for other characters), or
// "unknown adapter".
std::string adapterName(ID3D11Device* device);
