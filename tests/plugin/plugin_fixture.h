// Common ground of the plug-in's tests: a private registry root, clean test
// hooks, quiet message boxes, a check that nothing is left alive, and the
// plug-in's shared object for the tests that drive the whole plug-in.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/hosting/plugin_host.h"
#include "platform/test_hooks.h"

// The plug-in's shared object built with the tests, loaded on first use as
// the editor loads the DLL (by the command-line host's loader) and kept for
// the life of the test process.
quenda_cli::PluginModule& sharedPluginModule();

// A fresh temporary directory used as the registry root while it lives.
class TemporaryRegistry {
public:
    TemporaryRegistry();
    ~TemporaryRegistry();
    const std::string& root() const { return root_; }
    // Directory of the shader-cache key on disk.
    std::string cacheKeyDirectory() const;

private:
    std::string root_;
};

// One recorded box as "caption|text", for readable comparisons.
std::vector<std::string> boxLines();
// The lines of the stand-ins' call log that begin with prefix, in order.
std::vector<std::string> loggedCalls(const std::string& prefix);

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TemporaryRegistry registry;
    long liveAtStart = 0;
};
