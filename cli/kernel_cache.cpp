#include "cli/kernel_cache.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quenda_cli {

namespace {

std::string temporaryFolder;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void removeTemporaryFolder() {
    if (!temporaryFolder.empty()) nftw(temporaryFolder.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// mkdir -p; errno tells why on failure.
bool makeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string prefix = path.substr(0, at);
        struct stat info;
        if (mkdir(prefix.c_str(), 0755) == 0) continue;
        if (errno != EEXIST) return false;
        if (stat(prefix.c_str(), &info) != 0) return false;
        if (!S_ISDIR(info.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
    }
    return true;
}

const char* const advice = "set QUENDA_REGISTRY_ROOT (or XDG_CACHE_HOME) to a folder that can be written to keep them";

}  // namespace

std::string kernelCacheFolder() {
    if (const char* root = std::getenv("QUENDA_REGISTRY_ROOT"); root && *root) return root;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache) return std::string(cache) + "/quenda/registry";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.cache/quenda/registry";
}

std::string ensureWritableKernelCache() {
    const std::string folder = kernelCacheFolder();
    std::string why;
    if (!makeFolders(folder)) {
        why = std::strerror(errno);
    } else {
        std::string probe = folder + "/.quenda-probe-XXXXXX";
        const int fd = mkstemp(probe.data());
        if (fd < 0) {
            why = std::strerror(errno);
        } else {
            close(fd);
            unlink(probe.c_str());
        }
    }
    if (why.empty()) return "";
    const std::string warning = useTemporaryKernelCache("cannot keep compiled kernels in " + folder + " (" + why + ")");
    return warning.empty() ? "" : warning + "; " + advice;
}

std::string useTemporaryKernelCache(const std::string& why) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/quenda-kernels-XXXXXX";
    if (!mkdtemp(folder.data())) return "";
    removeTemporaryFolder();
    if (temporaryFolder.empty()) std::atexit(removeTemporaryFolder);
    temporaryFolder = folder;
    setenv("QUENDA_REGISTRY_ROOT", folder.c_str(), 1);
    return why + "; this run builds them in a temporary folder";
}

}  // namespace quenda_cli
