#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <filesystem>
#include <vector>

namespace fuzz_support {
namespace {

std::string makeDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quenda-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    FUZZ_CHECK(mkdtemp(name.data()) != nullptr, "cannot make a temporary directory under %s", pattern.c_str());
    return name.data();
}

// Removes the directory at exit, but only in the process that made it: a
// forked child that exits must not pull it from under its parent.
struct Owner {
    std::string path = makeDirectory();
    pid_t maker = getpid();
    ~Owner() {
        if (getpid() != maker) return;
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::string& processTempDirectory() {
    static Owner owner;
    return owner.path;
}

}  // namespace fuzz_support
