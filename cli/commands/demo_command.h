// `quenda demo`: makes the example clip, denoises it and shows the gain.
#pragma once

#include "cli/commands/output_files.h"
#include "cli/hosting/plugin_host.h"

#include <string>

namespace quenda_cli {

// Writes clean.mkv, noisy.mkv, denoised.mkv and compare.png into `directory`,
// by the rules of `denoise`: files there are replaced only with
// Overwrite::allow, each is written under a temporary name and renamed into
// place (replacing a symbolic link, not writing through it), and a failed
// demo leaves none of them, nor the directory where it made it.
void runDemo(const std::string& directory, PluginModule& plugin, bool quiet, Overwrite overwrite);

}  // namespace quenda_cli
