// Where the registry stand-in keeps its tree of files. Chosen here alone, so
// that the stand-in and the hosts that check or replace the folder agree:
// QUENDA_REGISTRY_ROOT; else $XDG_CACHE_HOME/quenda/registry, where
// XDG_CACHE_HOME is an absolute path (a relative one is ignored, as the XDG
// rules say); else ~/.cache/quenda/registry, the home taken from HOME or,
// where HOME is unset or empty, from the password database.
#pragma once

#include <string>

#ifndef QUENDA_PLATFORM_API
#define QUENDA_PLATFORM_API __attribute__((visibility("default")))
#endif

namespace platform_win32 {

struct RegistryRoot {
    std::string path;  // the root folder; empty where there is no home to hold it
    // The folder that must exist already (the home, the parent of
    // XDG_CACHE_HOME or of QUENDA_REGISTRY_ROOT): only what lies below it is
    // the registry's own, made on first use.
    std::string base;
};

QUENDA_PLATFORM_API RegistryRoot registryRoot();

// Makes the root's missing folders below its base, private to the user;
// false, with errno set, where the base is missing or a folder cannot be made.
QUENDA_PLATFORM_API bool makeRegistryRoot(const RegistryRoot& root);

}  // namespace platform_win32
