// `quenda demo`: makes the example clip, denoises it and shows the gain.
#pragma once

#include "cli/plugin_host.h"

#include <string>

namespace quenda_cli {

// Writes clean.mkv, noisy.mkv, denoised.mkv and compare.png into `directory`.
void runDemo(const std::string& directory, PluginModule& plugin, bool quiet);

}  // namespace quenda_cli
