#include "cli/hosting/kernel_cache.h"

#include "cli/commands/output_files.h"
#include "platform/registry_root.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quenda_cli {

namespace {

const char* const advice = "set QUENDA_REGISTRY_ROOT (or XDG_CACHE_HOME) to a folder of your own that can be written to keep them";

// A group that holds only this user (Debian's user private groups) may write.
bool ownGroup(gid_t group) {
    if (group != getegid()) return false;
    const struct group* entry = getgrgid(group);
    const struct passwd* user = getpwuid(geteuid());
    return entry && user && std::strcmp(entry->gr_name, user->pw_name) == 0 &&
           (!entry->gr_mem || !entry->gr_mem[0] || (std::strcmp(entry->gr_mem[0], user->pw_name) == 0 && !entry->gr_mem[1]));
}

// "/", "/a", "/a/b" for "/a/b"; a relative path's own prefixes alone.
std::vector<std::string> prefixesOf(const std::string& path) {
    std::vector<std::string> prefixes;
    if (!path.empty() && path[0] == '/') prefixes.push_back("/");
    for (size_t at = 1; at <= path.size(); ++at)
        if ((at == path.size() || path[at] == '/') && path[at - 1] != '/') prefixes.push_back(path.substr(0, at));
    return prefixes;
}

// Why kernels in `folder` could be another user's choice, as ssh judges its
// files: the folder must be the user's, every folder above it the user's or
// root's, and none writable by others, save a sticky folder above (/tmp),
// where others cannot move what is not theirs; a symbolic link on the way
// must be the user's or root's. Empty where it is safe.
std::string foreignControl(const std::string& folder) {
    const uid_t user = geteuid();
    auto owner = [&](const std::string& path, const struct stat& info, bool self) -> std::string {
        if (info.st_uid == user || (!self && info.st_uid == 0)) return "";
        return path + " is owned by another user (uid " + std::to_string(info.st_uid) + ")";
    };
    // The links as named, then the folders they lead to.
    for (const std::string& prefix : prefixesOf(folder)) {
        struct stat info;
        if (lstat(prefix.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            if (std::string why = owner(prefix, info, false); !why.empty()) return why;
    }
    char real[PATH_MAX];
    if (!realpath(folder.c_str(), real)) return folder + ": " + std::strerror(errno);
    const std::vector<std::string> chain = prefixesOf(real);
    for (const std::string& prefix : chain) {
        const bool self = prefix == chain.back();
        struct stat info;
        if (stat(prefix.c_str(), &info) != 0) return prefix + ": " + std::strerror(errno);
        if (std::string why = owner(prefix, info, self); !why.empty()) return why;
        const bool sticky = !self && (info.st_mode & S_ISVTX);
        if (!sticky && ((info.st_mode & S_IWOTH) || ((info.st_mode & S_IWGRP) && !ownGroup(info.st_gid))))
            return prefix + " can be written by other users";
    }
    return "";
}

}  // namespace

std::string kernelCacheFolder() {
    const std::string folder = platform_win32::registryRoot().path;
    return folder.empty() ? "the home folder" : folder;
}

std::string ensureWritableKernelCache() {
    const platform_win32::RegistryRoot root = platform_win32::registryRoot();
    std::string why;
    if (root.path.empty()) {
        why = "HOME is not set and the password database names no home";
    } else if (!platform_win32::makeRegistryRoot(root)) {
        why = std::strerror(errno);
    } else if (const std::string foreign = foreignControl(root.path); !foreign.empty()) {
        const std::string warning =
            useTemporaryKernelCache("will not use compiled kernels from " + root.path + ": " + foreign);
        return warning.empty() ? "" : warning + "; " + advice;
    } else {
        std::string probe = root.path + "/.quenda-probe-XXXXXX";
        const int fd = mkstemp(probe.data());
        if (fd < 0) {
            why = std::strerror(errno);
        } else {
            close(fd);
            unlink(probe.c_str());
        }
    }
    if (why.empty()) return "";
    const std::string warning = useTemporaryKernelCache("cannot keep compiled kernels in " + kernelCacheFolder() + " (" + why + ")");
    return warning.empty() ? "" : warning + "; " + advice;
}

std::string useTemporaryKernelCache(const std::string& why) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/quenda-kernels-XXXXXX";
    if (!mkdtemp(folder.data())) return "";
    // Removed at exit as on a signal; a later one replaces this one.
    static const bool registered = std::atexit(removeTemporaryFolder) == 0;
    (void)registered;
    rememberTemporaryFolder(folder);
    setenv("QUENDA_REGISTRY_ROOT", folder.c_str(), 1);
    return why + "; this run builds them in a temporary folder";
}

}  // namespace quenda_cli
