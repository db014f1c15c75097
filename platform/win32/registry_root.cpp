#include "platform/registry_root.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform_win32 {

namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return withoutTrailingSlashes(home);
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        *found->pw_dir)
        return withoutTrailingSlashes(found->pw_dir);
    return "";
}

bool isFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

RegistryRoot registryRoot() {
    if (const char* root = std::getenv("QUENDA_REGISTRY_ROOT"); root && *root) {
        const std::string path = withoutTrailingSlashes(root);
        return {path, parentOf(path)};
    }
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/') {
        const std::string folder = withoutTrailingSlashes(cache);
        return {(folder == "/" ? "" : folder) + "/quenda/registry", parentOf(folder)};
    }
    const std::string home = homeFolder();
    if (home.empty()) return {};
    return {(home == "/" ? "" : home) + "/.cache/quenda/registry", home};
}

bool makeRegistryRoot(const RegistryRoot& root) {
    if (root.path.empty()) {
        errno = ENOENT;
        return false;
    }
    struct stat info;
    if (stat(root.base.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    const bool below = root.base == "/" || root.path.rfind(root.base + "/", 0) == 0;
    const size_t from = !below ? 0 : root.base == "/" ? 1 : root.base.size() + 1;
    for (size_t at = from; at <= root.path.size(); ++at) {
        if (at != root.path.size() && root.path[at] != '/') continue;
        const std::string prefix = root.path.substr(0, at);
        if (mkdir(prefix.c_str(), 0700) == 0) continue;
        if (errno != EEXIST) return false;
        if (!isFolder(prefix)) {
            errno = ENOTDIR;
            return false;
        }
    }
    return true;
}

}  // namespace platform_win32
