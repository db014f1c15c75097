// Common ground of the plug-in's tests: a private registry root, clean test
// hooks, quiet message boxes and a check that nothing is left alive.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/test_hooks.h"

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
