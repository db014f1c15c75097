#include "tests/plugin/plugin_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

TemporaryRegistry::TemporaryRegistry() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quenda-registry-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    setenv("QUENDA_REGISTRY_ROOT", root_.c_str(), 1);
}

TemporaryRegistry::~TemporaryRegistry() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TemporaryRegistry::cacheKeyDirectory() const {
    return root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Aviutl/Plugins/quenda for DX11";
}

std::vector<std::string> boxLines() {
    std::vector<std::string> lines;
    for (const platform_hooks::RecordedBox& box : platform_hooks::recordedBoxes())
        lines.push_back(box.caption + "|" + box.text);
    return lines;
}

std::vector<std::string> loggedCalls(const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : platform_hooks::loggedCalls())
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

void PluginTest::SetUp() {
    platform_hooks::resetHooks();
    platform_hooks::setBoxEcho(false);
    liveAtStart = platform_hooks::liveObjects();
}

void PluginTest::TearDown() {
    platform_hooks::resetHooks();
}
