// Small helpers shared by the fuzz targets: a failed expectation aborts, so
// that libFuzzer and the corpus replay both report it, and a private
// temporary directory that lives as long as the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, ...)                                                  \
    do {                                                                            \
        if (!(condition)) {                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, \
                         #condition);                                               \
            std::fprintf(stderr, __VA_ARGS__);                                      \
            std::fprintf(stderr, "\n");                                             \
            std::abort();                                                           \
        }                                                                           \
    } while (0)

namespace fuzz_support {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents at exit.
const std::string& processTempDirectory();

}  // namespace fuzz_support
