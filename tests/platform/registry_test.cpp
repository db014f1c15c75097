// The registry in files: Win32 results for absent, large and damaged values,
// key lifetime, handles, and whole-value replacement under concurrent reads.
#include "platform/test_hooks.h"
#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform_hooks::FailPoint;

const char* const kKeyPath = "SOFTWARE\\Aviutl\\Plugins\\quenda for DX11";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform_hooks::resetHooks();
        char pattern[] = "/tmp/quenda-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        saveEnv("QUENDA_REGISTRY_ROOT");
        saveEnv("XDG_CACHE_HOME");
        setenv("QUENDA_REGISTRY_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : savedEnv_) {
            if (value.first) setenv(name.c_str(), value.second.c_str(), 1);
            else unsetenv(name.c_str());
        }
        fs::remove_all(root_);
        platform_hooks::resetHooks();
    }
    void saveEnv(const char* name) {
        const char* value = std::getenv(name);
        savedEnv_.push_back({name, {value != nullptr, value ? value : ""}});
    }

    fs::path keyDir() const { return fs::path(root_) / "HKEY_LOCAL_MACHINE/SOFTWARE/Aviutl/Plugins/quenda for DX11"; }

    HKEY open(REGSAM access, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, access, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }

    void set(const char* name, DWORD type, const std::vector<BYTE>& bytes) {
        HKEY key = open(KEY_WRITE);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::string root_;
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> savedEnv_;
};

TEST_F(RegistryTest, CreateMakesTheKeyDirectoryOnceThenOpensIt) {
    DWORD disposition = 0;
    HKEY key = open(KEY_READ, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_TRUE(fs::is_directory(keyDir()));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = open(KEY_WRITE, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, RootFallsBackToTheUserCache) {
    unsetenv("QUENDA_REGISTRY_ROOT");
    setenv("XDG_CACHE_HOME", root_.c_str(), 1);
    HKEY key = open(KEY_READ);
    RegCloseKey(key);
    EXPECT_TRUE(fs::is_directory(fs::path(root_) / "quenda/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Aviutl"));
}

TEST_F(RegistryTest, AbsentValueIsNotFound) {
    HKEY key = open(KEY_READ);
    BYTE buffer[8];
    DWORD size = sizeof(buffer);
    EXPECT_EQ(RegQueryValueExA(key, "ComputeShadeLight", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "ComputeShadeLight", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ValuesRoundTripExactly) {
    std::vector<BYTE> large(70000);
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<BYTE>(i * 7);
    const struct {
        const char* name;
        DWORD type;
        std::vector<BYTE> bytes;
    } cases[] = {
        {"ComputeShadeLight", REG_BINARY, {0x03, 0x02, 0x23, 0x07, 0x00, 0x00, 0xFF}},
        {"Version", REG_QWORD, {0x00, 0xB0, 0x12, 0x01, 0x78, 0x56, 0x34, 0x12}},
        {"Empty", REG_BINARY, {}},
        {"Large", REG_BINARY, large},
        {"", REG_SZ, {'d', 'e', 'f', 0}},
        {"odd/name%2F..", REG_DWORD, {1, 2, 3, 4}},
    };
    for (const auto& c : cases) set(c.name, c.type, c.bytes);
    HKEY key = open(KEY_READ);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("value '") + c.name + "'");
        std::vector<BYTE> buffer(c.bytes.size() + 16, 0xAA);
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD type = 0;
        ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        ASSERT_EQ(size, c.bytes.size());
        EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + size), c.bytes);

        // Without a buffer the query gives the size.
        DWORD needed = 0;
        EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr, nullptr, &needed), ERROR_SUCCESS);
        EXPECT_EQ(needed, c.bytes.size());
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, TooSmallBufferGivesMoreDataAndTheNeededSize) {
    set("ComputeShadeLight", REG_BINARY, std::vector<BYTE>(100, 0x5A));
    HKEY key = open(KEY_READ);
    std::vector<BYTE> buffer(100);
    const struct {
        DWORD offered;
        LONG expected;
    } cases[] = {{0, ERROR_MORE_DATA}, {99, ERROR_MORE_DATA}, {100, ERROR_SUCCESS}, {101, ERROR_SUCCESS}};
    for (const auto& c : cases) {
        SCOPED_TRACE("buffer of " + std::to_string(c.offered));
        std::vector<BYTE> data(c.offered + 1);
        DWORD size = c.offered;
        DWORD type = 0;
        EXPECT_EQ(RegQueryValueExA(key, "ComputeShadeLight", nullptr, &type, data.data(), &size), c.expected);
        EXPECT_EQ(size, 100u);
        EXPECT_EQ(type, REG_BINARY);
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, DamagedValueFileReadsAsAbsent) {
    const std::vector<BYTE> bytes(64, 0x11);
    const fs::path file = keyDir() / "ComputeShadeLight.value";
    const struct {
        const char* name;
        uintmax_t keep;  // bytes of the file left; with garbage, the file is replaced
        bool garbage;
    } cases[] = {{"cut in the data", 40, false}, {"cut in the header", 5, false}, {"empty", 0, false},
                 {"not a value file", 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set("ComputeShadeLight", REG_BINARY, bytes);
        if (c.garbage) std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(76, 'x');
        else fs::resize_file(file, c.keep);
        HKEY key = open(KEY_READ);
        BYTE buffer[128];
        DWORD size = sizeof(buffer);
        EXPECT_EQ(RegQueryValueExA(key, "ComputeShadeLight", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
        RegCloseKey(key);
    }
}

TEST_F(RegistryTest, DeleteKeyRemovesItsValuesButNotAKeyWithSubkeys) {
    set("ComputeShadeLight", REG_BINARY, {1, 2, 3});
    HKEY parent = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Aviutl\\Plugins", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &parent, nullptr),
              ERROR_SUCCESS);
    EXPECT_NE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Aviutl\\Plugins"), ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_directory(keyDir()));

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    EXPECT_FALSE(fs::exists(keyDir()));
    EXPECT_TRUE(fs::is_directory(keyDir().parent_path()));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_FILE_NOT_FOUND);
    // A key is also reachable below an open handle.
    set("Version", REG_QWORD, std::vector<BYTE>(8, 0));
    EXPECT_EQ(RegDeleteKeyA(parent, "quenda for DX11"), ERROR_SUCCESS);
    RegCloseKey(parent);

    DWORD disposition = 0;
    HKEY key = open(KEY_READ, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Version", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, HandlesAreCheckedAndAccessIsEnforced) {
    HKEY readKey = open(KEY_READ);
    HKEY writeKey = open(KEY_WRITE);
    const BYTE byte = 1;
    DWORD size = 0;
    EXPECT_EQ(RegSetValueExA(readKey, "Version", 0, REG_BINARY, &byte, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(writeKey, "Version", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(readKey), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(writeKey), ERROR_SUCCESS);

    EXPECT_EQ(RegCloseKey(readKey), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(readKey, "Version", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(writeKey, "Version", 0, REG_BINARY, &byte, 1), ERROR_INVALID_HANDLE);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(readKey, "sub", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
              ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, ForcedOpenFailureCreatesNothing) {
    platform_hooks::failNth(FailPoint::RegistryOpen, 1);
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_NE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(fs::exists(keyDir()));
    RegCloseKey(open(KEY_READ));
    EXPECT_EQ(platform_hooks::callCount(FailPoint::RegistryOpen), 2);
}

TEST_F(RegistryTest, ReaderSeesWholeValuesWhileAWriterReplacesThem) {
    const std::vector<BYTE> small(1000, 'a'), big(1 << 20, 'b');
    set("ComputeShadeLight", REG_BINARY, small);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        HKEY key = open(KEY_WRITE);
        for (int i = 0; !stop; ++i) {
            const auto& v = i % 2 ? small : big;
            RegSetValueExA(key, "ComputeShadeLight", 0, REG_BINARY, v.data(), static_cast<DWORD>(v.size()));
        }
        RegCloseKey(key);
    });
    HKEY key = open(KEY_READ);
    std::vector<BYTE> buffer(big.size());
    int bad = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
        DWORD size = static_cast<DWORD>(buffer.size());
        const LONG r = RegQueryValueExA(key, "ComputeShadeLight", nullptr, nullptr, buffer.data(), &size);
        const bool whole = r == ERROR_SUCCESS &&
                           ((size == small.size() && std::equal(small.begin(), small.end(), buffer.begin())) ||
                            (size == big.size() && std::equal(big.begin(), big.end(), buffer.begin())));
        if (!whole) ++bad;
    }
    stop = true;
    writer.join();
    RegCloseKey(key);
    EXPECT_EQ(bad, 0);
    // No temporary files are left behind.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(keyDir())) files += entry.is_regular_file();
    EXPECT_EQ(files, 1);
}

}  // namespace
