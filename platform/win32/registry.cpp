// The registry as a tree of files: a key is a directory under the registry
// root, a value one file in it. Values are replaced by rename, so a reader in
// another process sees either the old or the new value whole.
#include "platform/registry_root.h"
#include "platform/test_hooks.h"
#include "platform/win32/win32_base.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace platform_win32 {
namespace {

constexpr DWORD kKeyQueryValue = 0x0001;
constexpr DWORD kKeySetValue = 0x0002;
constexpr DWORD kAllAccess = 0xF003F;

// Value file: magic, type and data size (little-endian 32-bit words), data.
constexpr char kMagic[4] = {'Q', 'R', 'V', '1'};
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxValueSize = 64u << 20;

struct OpenKey {
    std::string path;  // directory of the key
    DWORD access;
};

struct Handles {
    std::mutex mutex;
    std::unordered_set<OpenKey*> open;
};

Handles& handles() {
    static Handles instance;
    return instance;
}

const char* predefinedName(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    return nullptr;
}

// A name as one file-system component: '/' and '%' are escaped, and names
// that the file system gives a meaning ("", ".", "..") are made plain.
std::string escapeName(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '/') out += "%2F";
        else if (c == '%') out += "%25";
        else out += c;
    }
    if (out.empty() || out == "." || out == "..") out.insert(0, "%");
    return out;
}

std::vector<std::string> splitKeyPath(const char* subKey) {
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = subKey ? subKey : ""; *p; ++p) {
        if (*p != '\\') {
            part += *p;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// The directory and access of a handle; false for an unknown handle.
bool resolve(HKEY key, std::string* path, DWORD* access) {
    if (const char* name = predefinedName(key)) {
        const std::string root = registryRoot().path;
        if (root.empty()) return false;
        *path = root + "/" + name;
        *access = kAllAccess;
        return true;
    }
    Handles& h = handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto* open = reinterpret_cast<OpenKey*>(key);
    if (!h.open.count(open)) return false;
    *path = open->path;
    *access = open->access;
    return true;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes the folders of `path` below `existing`, which must be a folder
// already; tells whether the last component was made by this call.
bool makeDirectoriesBelow(const std::string& existing, const std::string& path, bool* created) {
    *created = false;
    if (!isDirectory(existing)) return false;
    for (size_t at = existing.size() + 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0755) == 0) {
            *created = at == path.size();
        } else if (errno != EEXIST || !isDirectory(prefix)) {
            return false;
        }
    }
    return true;
}

void putLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t getLe32(const char* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

bool readWhole(const std::string& file, std::string* content) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0) {
            content->append(buffer, static_cast<size_t>(n));
            if (content->size() > kHeaderSize + kMaxValueSize) ok = false;
            if (!ok) break;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

// A value file that is missing, cut short or damaged reads as absent.
bool readValue(const std::string& file, DWORD* type, std::string* data) {
    std::string content;
    if (!readWhole(file, &content) || content.size() < kHeaderSize) return false;
    if (std::memcmp(content.data(), kMagic, 4) != 0) return false;
    const uint32_t size = getLe32(content.data() + 8);
    if (content.size() != kHeaderSize + size) return false;
    *type = getLe32(content.data() + 4);
    data->assign(content, kHeaderSize, std::string::npos);
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

LONG writeValue(const std::string& dir, const std::string& name, DWORD type, const BYTE* data, DWORD size) {
    if (!isDirectory(dir)) return ERROR_FILE_NOT_FOUND;
    std::string content(kMagic, 4);
    putLe32(content, type);
    putLe32(content, size);
    if (size) content.append(reinterpret_cast<const char*>(data), size);

    static std::atomic<unsigned> counter{0};
    const std::string file = dir + "/" + escapeName(name) + ".value";
    const std::string temp = dir + "/." + escapeName(name) + ".tmp." + std::to_string(getpid()) + "." +
                             std::to_string(counter.fetch_add(1));
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    bool ok = writeAll(fd, content) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return ERROR_ACCESS_DENIED;
    }
    // Make the rename itself durable.
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return ERROR_SUCCESS;
}

// Removes a key's directory with its value files. Like Windows, a key that
// still has subkeys is not deleted.
LONG deleteKeyDirectory(const std::string& dir) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        DIR* listing = opendir(dir.c_str());
        if (!listing) return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        std::vector<std::string> files;
        bool hasSubkeys = false;
        while (dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (isDirectory(dir + "/" + name)) hasSubkeys = true;
            else files.push_back(name);
        }
        closedir(listing);
        if (hasSubkeys) return ERROR_ACCESS_DENIED;
        for (const std::string& name : files) unlink((dir + "/" + name).c_str());
        if (rmdir(dir.c_str()) == 0) return ERROR_SUCCESS;
        if (errno == ENOENT) return ERROR_FILE_NOT_FOUND;
        if (errno != ENOTEMPTY && errno != EEXIST) return ERROR_ACCESS_DENIED;
        // A value was written meanwhile: list again.
    }
    return ERROR_ACCESS_DENIED;
}

std::string joinKeyPath(std::string base, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) base += "/" + escapeName(part);
    return base;
}

}  // namespace
}  // namespace platform_win32

using namespace platform_win32;

extern "C" LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD /*reserved*/, LPSTR /*keyClass*/,
                                       DWORD /*options*/, REGSAM access, LPSECURITY_ATTRIBUTES /*security*/,
                                       PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (platform_hooks::shouldFail(platform_hooks::FailPoint::RegistryOpen)) return ERROR_ACCESS_DENIED;
    std::string base;
    DWORD parentAccess = 0;
    if (!resolve(key, &base, &parentAccess)) return ERROR_INVALID_HANDLE;
    const std::string path = joinKeyPath(base, splitKeyPath(subKey));
    // Under a predefined key the root's own folders are made first, never
    // the home or other folders above it.
    std::string existing = base;
    if (predefinedName(key)) {
        const RegistryRoot root = registryRoot();
        if (!makeRegistryRoot(root)) return ERROR_ACCESS_DENIED;
        existing = root.path;
    }
    bool created = false;
    if (!makeDirectoriesBelow(existing, path, &created)) return ERROR_ACCESS_DENIED;
    try {
        auto* open = new OpenKey{path, access};
        Handles& h = handles();
        std::lock_guard<std::mutex> lock(h.mutex);
        h.open.insert(open);
        *result = reinterpret_cast<HKEY>(open);
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD dataSize) {
    if (platform_hooks::callLogOn())
        platform_hooks::logCall(std::string("RegQueryValueExA ") + (valueName ? valueName : ""));
    std::string dir;
    DWORD access = 0;
    if (!resolve(key, &dir, &access)) return ERROR_INVALID_HANDLE;
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    if (!(access & kKeyQueryValue)) return ERROR_ACCESS_DENIED;
    DWORD storedType = 0;
    std::string stored;
    try {
        if (!readValue(dir + "/" + escapeName(valueName ? valueName : "") + ".value", &storedType, &stored))
            return ERROR_FILE_NOT_FOUND;
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
    if (type) *type = storedType;
    const DWORD size = static_cast<DWORD>(stored.size());
    if (data && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data && size) std::memcpy(data, stored.data(), size);
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data,
                                      DWORD dataSize) {
    if (platform_hooks::callLogOn())
        platform_hooks::logCall(std::string("RegSetValueExA ") + (valueName ? valueName : "") + " type " +
                                std::to_string(type));
    std::string dir;
    DWORD access = 0;
    if (!resolve(key, &dir, &access)) return ERROR_INVALID_HANDLE;
    if (!data && dataSize) return ERROR_INVALID_PARAMETER;
    if (dataSize > kMaxValueSize) return ERROR_INVALID_PARAMETER;
    if (!(access & kKeySetValue)) return ERROR_ACCESS_DENIED;
    try {
        return writeValue(dir, valueName ? valueName : "", type, data, dataSize);
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
}

extern "C" LONG WINAPI RegCloseKey(HKEY key) {
    if (predefinedName(key)) return ERROR_SUCCESS;
    auto* open = reinterpret_cast<OpenKey*>(key);
    {
        Handles& h = handles();
        std::lock_guard<std::mutex> lock(h.mutex);
        if (!h.open.erase(open)) return ERROR_INVALID_HANDLE;
    }
    delete open;
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    std::string base;
    DWORD access = 0;
    if (!resolve(key, &base, &access)) return ERROR_INVALID_HANDLE;
    const std::vector<std::string> parts = splitKeyPath(subKey);
    if (parts.empty() && predefinedName(key)) return ERROR_ACCESS_DENIED;
    try {
        return deleteKeyDirectory(joinKeyPath(base, parts));
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
}
