// Reading the host's track values into the plug-in's parameters.
#pragma once

#include "host/filter_table.h"

// Copies the six current track values in track order, each held to its
// track's range so that no value from the host can reach past an array or
// buffer sized for those ranges.
void readTrackValues(const FilterTable* filter, DenoiseParams* params);
