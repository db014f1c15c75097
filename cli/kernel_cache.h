// Where the plug-in's compiled kernels are kept between runs. The registry
// stand-in keeps them as files under QUENDA_REGISTRY_ROOT, else
// $XDG_CACHE_HOME/quenda/registry, else ~/.cache/quenda/registry. The cache
// only saves time: a folder that cannot be written (a read-only or missing
// home, a file in its place) or a damaged entry must never stop a run, so
// the run then keeps its kernels in a temporary folder, removed at exit.
#pragma once

#include <string>

namespace quenda_cli {

// The folder the registry stand-in uses now.
std::string kernelCacheFolder();

// Checks that the folder can be written; if not, moves this run to a
// temporary folder and returns the warning to give; empty otherwise.
std::string ensureWritableKernelCache();

// Moves this run to a fresh temporary folder (after the plug-in could not
// use what the cache held); returns the warning to give, empty when no
// temporary folder can be made.
std::string useTemporaryKernelCache(const std::string& why);

}  // namespace quenda_cli
