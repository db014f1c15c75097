// Kernel texts with the plain search, for timing against the shipped ones.
#pragma once

extern const char plainLumaRuntimeSource[];
extern const char plainChromaRuntimeSource[];
extern const char plainLumaFixedSource[];
extern const char plainChromaFixedSource[];
