// Kernel texts with the plain search, for timing against the shipped ones,
// and the micro kernels of bench/ops.hlsl that price single operations.
#pragma once

extern const char plainLumaRuntimeSource[];
extern const char plainChromaRuntimeSource[];
extern const char plainLumaFixedSource[];
extern const char plainChromaFixedSource[];
extern const char opPriceSource[];
