// The command line: `quenda denoise`, `quenda join`, `quenda demo`,
// `quenda devices`, `--help` and `--version`.
#pragma once

namespace quenda_cli {

// Parses and runs one command; returns the process's exit status.
int runCommandLine(int argc, char** argv);

}  // namespace quenda_cli
