#include "cli/commands/output_files.h"

#include "cli/commands/errors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace quenda_cli {

namespace {

constexpr int temporarySlots = 8;
char temporaryPaths[temporarySlots][PATH_MAX];
volatile sig_atomic_t temporaryUsed[temporarySlots];

char temporaryFolderPath[PATH_MAX];
volatile sig_atomic_t temporaryFolderUsed;

// The record that getdents64 fills.
struct FolderEntry {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Removes the entry `name` of the folder `parent`, a folder with what it
// holds, with calls that are safe in a signal handler (opendir allocates).
// Folders deeper than `depth` are left.
void removeTreeAt(int parent, const char* name, int depth) {
    if (unlinkat(parent, name, 0) == 0 || errno != EISDIR || depth == 0) return;
    const int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return;
    alignas(8) char entries[4096];
    // A listing may skip names while they are removed: a few passes.
    for (int pass = 0; pass < 4; ++pass) {
        bool any = false;
        lseek(folder, 0, SEEK_SET);
        long got;
        while ((got = syscall(SYS_getdents64, folder, entries, sizeof entries)) > 0) {
            for (long at = 0; at < got;) {
                const FolderEntry* entry = reinterpret_cast<const FolderEntry*>(entries + at);
                at += entry->length;
                const char* child = entry->name;
                if (child[0] == '.' && (child[1] == 0 || (child[1] == '.' && child[2] == 0))) continue;
                removeTreeAt(folder, child, depth - 1);
                any = true;
            }
        }
        if (!any || got < 0) break;
    }
    close(folder);
    unlinkat(parent, name, AT_REMOVEDIR);
}

extern "C" void removeTemporariesAndStop(int signalNumber) {
    for (int i = 0; i < temporarySlots; ++i)
        if (temporaryUsed[i]) unlink(temporaryPaths[i]);
    if (temporaryFolderUsed) removeTreeAt(AT_FDCWD, temporaryFolderPath, 16);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// The signals that end a process by default, other than those that report a
// fault of its own (SIGSEGV, ...). A signal that the parent set to be ignored
// (nohup) stays ignored.
void installSignalHandlers() {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGXCPU}) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removeTemporariesAndStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signalNumber, &action, nullptr);
    }
}

std::string errnoText() { return std::strerror(errno); }

// Follows symbolic links, dangling ones too, to the name a write would create.
std::string followLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length <= 0) return path;
        std::string next(target, static_cast<size_t>(length));
        const size_t slash = path.find_last_of('/');
        if (next[0] != '/' && slash != std::string::npos) next = path.substr(0, slash + 1) + next;
        path = next;
    }
    return path;
}

struct FileKey {
    bool exists = false;
    bool characterDevice = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;  // the absolute name, for a file that does not exist yet

    bool operator==(const FileKey& other) const {
        return exists == other.exists && (exists ? device == other.device && inode == other.inode : name == other.name);
    }
};

FileKey keyOf(const RunFile& file) {
    FileKey key;
    struct stat info;
    const bool found = file.path == "-" ? fstat(file.writes ? STDOUT_FILENO : STDIN_FILENO, &info) == 0
                                        : stat(followLinks(file.path).c_str(), &info) == 0 ||
                                              stat(file.path.c_str(), &info) == 0;
    if (found) {
        key.exists = true;
        key.characterDevice = S_ISCHR(info.st_mode);
        key.device = info.st_dev;
        key.inode = info.st_ino;
        return key;
    }
    const std::string target = followLinks(file.path);
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    char real[PATH_MAX];
    key.name = (realpath(folder.c_str(), real) ? std::string(real) : folder) + "/" + target.substr(slash + 1);
    return key;
}

std::string describe(const RunFile& file) {
    if (file.path == "-") return std::string(file.role) + (file.writes ? " (standard output)" : " (standard input)");
    return std::string(file.role) + " (" + file.path + ")";
}

// Moves `from` to `to` unless `to` exists, atomically where the file system allows.
bool renameWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
    // No hard links here either (FAT, some network shares): check, then move.
    struct stat info;
    if (lstat(to.c_str(), &info) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void writeFully(int fd, const std::string& content, const std::string& path) {
    for (size_t done = 0; done < content.size();) {
        const ssize_t put = write(fd, content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) throw CliError(ExitCode::output, "cannot write " + path + ": " + errnoText());
        done += static_cast<size_t>(put);
    }
}

}  // namespace

void reportWriteFailuresAsErrors() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

int rememberTemporary(const std::string& path) {
    static const bool installed = (installSignalHandlers(), true);
    (void)installed;
    if (path.size() >= sizeof temporaryPaths[0]) return -1;
    for (int i = 0; i < temporarySlots; ++i) {
        if (temporaryUsed[i]) continue;
        std::memcpy(temporaryPaths[i], path.c_str(), path.size() + 1);
        temporaryUsed[i] = 1;
        return i;
    }
    return -1;
}

void forgetTemporary(int slot) {
    if (slot >= 0) temporaryUsed[slot] = 0;
}

void rememberTemporaryFolder(const std::string& path) {
    static const bool installed = (installSignalHandlers(), true);
    (void)installed;
    removeTemporaryFolder();
    if (path.size() >= sizeof temporaryFolderPath) return;
    std::memcpy(temporaryFolderPath, path.c_str(), path.size() + 1);
    temporaryFolderUsed = 1;
}

void removeTemporaryFolder() {
    if (!temporaryFolderUsed) return;
    temporaryFolderUsed = 0;
    removeTreeAt(AT_FDCWD, temporaryFolderPath, 16);
}

void refuseSameFile(const std::vector<RunFile>& files) {
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].path.empty()) continue;
        const FileKey a = keyOf(files[i]);
        for (size_t j = i + 1; j < files.size(); ++j) {
            if (files[j].path.empty()) continue;
            if (files[i].path == "-" && files[j].path == "-" && !files[i].writes && !files[j].writes)
                throw CliError(ExitCode::usage, std::string(files[j].role) + " and " + files[i].role +
                                                    " cannot both be read from standard input");
            if (!files[i].writes && !files[j].writes) continue;
            const bool bothStandardOutput = files[i].path == "-" && files[j].path == "-" && files[i].writes && files[j].writes;
            const FileKey b = keyOf(files[j]);
            // Writing twice to /dev/null or a terminal harms nothing.
            if (bothStandardOutput)
                throw CliError(ExitCode::usage, std::string(files[j].role) + " and " + files[i].role +
                                                    " cannot both be written to standard output");
            if (a == b && !a.characterDevice)
                throw CliError(ExitCode::usage, describe(files[j]) + " is the same file as " + describe(files[i]));
        }
    }
}

namespace {

std::vector<std::pair<FileKey, std::string>> guarded;  // with their descriptions
std::string refusedRead;                                // why a read was refused, for the commits

}  // namespace

OutputGuard::~OutputGuard() {
    guarded.clear();
    refusedRead.clear();
}

OutputGuard::OutputGuard(const std::vector<RunFile>& files) {
    guarded.clear();
    for (const RunFile& file : files)
        if (file.writes && !file.path.empty() && file.path != "-") {
            const FileKey key = keyOf(file);
            if (!key.characterDevice) guarded.emplace_back(key, describe(file));
        }
}

std::string readRefusal(const std::string& path) {
    if (guarded.empty() || path.empty()) return "";
    const FileKey key = keyOf(RunFile{"", path, false});
    for (const auto& [output, name] : guarded)
        if (key == output) {
            refusedRead = "reads " + path + ", which is " + name + " of this run";
            return refusedRead;
        }
    return "";
}

namespace {

// A pipe, terminal or device reached through links that readlink cannot
// follow to a name (/dev/stdout on a pipe leads to "pipe:[...]").
bool streamInPlace(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode));
}

}  // namespace

void OutputFile::check(const std::string& path, Overwrite overwrite, Links links) {
    if (path == "-") return;
    if (links == Links::follow && streamInPlace(path)) return;
    struct stat info;
    if (links == Links::replace ? lstat(path.c_str(), &info) != 0 : stat(followLinks(path).c_str(), &info) != 0) {
        // Missing is what an output usually is; a loop of links or a file
        // where a folder should be is refused before any work.
        if (errno == ENOENT) return;
        throw CliError(ExitCode::output, "cannot write " + path + ": " + errnoText());
    }
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) {
        if (overwrite == Overwrite::allow) return;
        throw CliError(ExitCode::usage, path + " already exists; add -y to replace it");
    }
    if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) return;
    throw CliError(ExitCode::usage, path + (S_ISDIR(info.st_mode) ? " is a folder" : " is not a file that can be written"));
}

OutputFile::OutputFile(const std::string& path, Overwrite overwrite, Links links) : path_(path), overwrite_(overwrite) {
    check(path, overwrite, links);
    if (path == "-") {
        writePath_ = "pipe:1";
        return;
    }
    if (links == Links::follow && streamInPlace(path)) {
        writePath_ = path;
        return;
    }
    target_ = links == Links::replace ? path : followLinks(path);
    struct stat existing;
    bool exists = stat(target_.c_str(), &existing) == 0;
    // A link to be replaced is a name to rename onto, whatever it leads to.
    if (links == Links::replace && lstat(target_.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) exists = false;
    if (exists && !S_ISREG(existing.st_mode)) {
        writePath_ = target_;
        return;
    }
    // A unique name, made exclusively: runs on the same output never share it.
    // A name too long for the suffix is shortened for the temporary file.
    const size_t slash = target_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    const size_t suffixLength = 12;
    std::string stem = target_;
    const size_t nameLength = target_.size() - (slash == std::string::npos ? 0 : slash + 1);
    if (longest > static_cast<long>(suffixLength) && nameLength + suffixLength > static_cast<size_t>(longest))
        stem.resize(target_.size() - (nameLength + suffixLength - static_cast<size_t>(longest)));
    std::random_device random;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%06x.part", random() & 0xFFFFFF);
        temporary_ = stem + suffix;
        fd = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const std::string why = errnoText();
        temporary_.clear();
        throw CliError(ExitCode::output, "cannot write " + path + ": " + why);
    }
    slot_ = rememberTemporary(temporary_);
    if (exists) fchmod(fd, existing.st_mode & 07777);  // a replaced file keeps its permissions
    close(fd);
    writePath_ = temporary_;
}

OutputFile::~OutputFile() {
    if (!temporary_.empty()) unlink(temporary_.c_str());
    forgetTemporary(slot_);
}

void OutputFile::commit() {
    if (temporary_.empty()) return;
    if (!refusedRead.empty())
        throw CliError(ExitCode::usage, "an input " + refusedRead + "; nothing is written to " + path_);
    const bool moved = overwrite_ == Overwrite::allow ? std::rename(temporary_.c_str(), target_.c_str()) == 0
                                                      : renameWithoutReplacing(temporary_, target_);
    if (!moved) {
        const std::string why = errno == EEXIST ? "another program made it while this run worked; it is kept and "
                                                  "this run's result dropped (add -y to replace it)"
                                                : errnoText();
        throw CliError(ExitCode::output, "cannot write " + path_ + ": " + why);
    }
    temporary_.clear();
    forgetTemporary(slot_);
    slot_ = -1;
}

void OutputFile::write(const std::string& content) {
    if (path_ == "-") {
        writeFully(STDOUT_FILENO, content, "standard output");
        return;
    }
    const int fd = open(writePath_.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw CliError(ExitCode::output, "cannot write " + path_ + ": " + errnoText());
    try {
        writeFully(fd, content, path_);
    } catch (...) {
        close(fd);
        throw;
    }
    if (close(fd) != 0) throw CliError(ExitCode::output, "cannot write " + path_ + ": " + errnoText());
}

}  // namespace quenda_cli
