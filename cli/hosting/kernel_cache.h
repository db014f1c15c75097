// Where the plug-in's compiled kernels are kept between runs: the registry
// stand-in's root (platform/registry_root.h chooses it). The cache
// only saves time: a folder that cannot be written (a read-only or missing
// home, a file in its place) or a damaged entry must never stop a run, and
// kernels from a folder that another user controls must never be loaded;
// in each case the run keeps its kernels in a private temporary folder,
// removed at exit and when the run is stopped by a signal.
#pragma once

#include <string>

namespace quenda_cli {

// The folder the registry stand-in uses now.
std::string kernelCacheFolder();

// Makes the folder where it is missing, and checks that it is the user's own
// (it and every folder above it owned by the user or root, none writable by
// others) and can be written; if not, moves this run to a temporary folder
// and returns the warning to give; empty otherwise.
std::string ensureWritableKernelCache();

// Moves this run to a fresh temporary folder (after the plug-in could not
// use what the cache held); returns the warning to give, empty when no
// temporary folder can be made.
std::string useTemporaryKernelCache(const std::string& why);

}  // namespace quenda_cli
