// The shader cache on disk shared by real processes: initialisations racing
// on one registry root, and processes killed while they write the cache. A
// later initialisation must never trip over what they leave: it either hits,
// or compiles afresh and succeeds.
//
// The child processes are this test binary run again on the same test, with
// QUENDA_CACHE_CHILD naming the job and QUENDA_CACHE_ROOT the shared registry
// root; the fixture runs the job and exits before the test body.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gpu/device.h"
#include "gpu/shader_build.h"
#include "host/callbacks.h"
#include "platform/win32_api.h"
#include "state/denoise_state.h"
#include "tests/plugin/plugin_fixture.h"

extern char** environ;

namespace {

using platform_hooks::FailPoint;

// --- child side --------------------------------------------------------------

std::string boxesText() {
    std::string text;
    for (const std::string& line : boxLines()) text += " [" + line + "]";
    return text;
}

// One initialisation and teardown with the given device id (0: the adapter's own).
bool initialiseOnce(uint32_t deviceId) {
    if (deviceId) platform_hooks::forceDeviceId(deviceId);
    const int32_t result = onInit(GetFilterTable());
    releaseAll();
    if (result != 1) std::fprintf(stderr, "child %d: onInit failed:%s\n", getpid(), boxesText().c_str());
    return result == 1;
}

std::vector<uint32_t> deviceIds(const char* list) {
    std::vector<uint32_t> ids;
    std::istringstream in(list ? list : "");
    for (std::string item; std::getline(in, item, ',');) ids.push_back(std::stoul(item, nullptr, 0));
    if (ids.empty()) ids.push_back(0);
    return ids;
}

// "init": one initialisation. "churn": initialisations with the device ids
// taken in turn, so that each one misses and writes the cache, until killed
// (or for at most 30 s).
int runChild(const std::string& job) {
    platform_hooks::resetHooks();
    platform_hooks::setBoxEcho(false);
    const std::vector<uint32_t> ids = deviceIds(std::getenv("QUENDA_CACHE_IDS"));
    if (job == "init") return initialiseOnce(ids[0]) ? 0 : 1;
    if (job == "churn") {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (size_t i = 0; std::chrono::steady_clock::now() < end; ++i)
            if (!initialiseOnce(ids[i % ids.size()])) return 1;
        return 0;
    }
    std::fprintf(stderr, "unknown child job %s\n", job.c_str());
    return 2;
}

// --- parent side -------------------------------------------------------------

// Child processes of one test; any still running at the end are killed.
class Children {
public:
    ~Children() {
        for (pid_t pid : running_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts this binary on the current test with the job and device ids.
    pid_t start(const std::string& job, const std::string& ids, const std::string& registryRoot) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "QUENDA_CACHE_", 13) != 0) env.push_back(*e);
        env.push_back("QUENDA_CACHE_CHILD=" + job);
        env.push_back("QUENDA_CACHE_IDS=" + ids);
        env.push_back("QUENDA_CACHE_ROOT=" + registryRoot);
        // Everything exec needs is made before fork: the parent has threads.
        std::vector<char*> envp, argv;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string self = "/proc/self/exe", filterArg = filter;
        argv = {self.data(), filterArg.data(), nullptr};
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = fork();
        if (pid == 0) {
            if (devNull >= 0) dup2(devNull, STDOUT_FILENO);  // gtest's banner; errors stay on stderr
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (devNull >= 0) close(devNull);
        if (pid > 0) running_.push_back(pid);
        return pid;
    }

    // Waits for the child; its raw wait status.
    int wait(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        for (auto it = running_.begin(); it != running_.end(); ++it)
            if (*it == pid) {
                running_.erase(it);
                break;
            }
        return status;
    }

private:
    std::vector<pid_t> running_;
};

std::string describeStatus(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// Watches the cache key's directory for the registry's writes: a temporary
// file made, and a value renamed into place.
class KeyWatch {
public:
    explicit KeyWatch(const std::string& directory) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) inotify_add_watch(fd_, directory.c_str(), IN_CREATE | IN_MOVED_TO);
    }
    ~KeyWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Drops the events that have happened so far.
    void drain() {
        alignas(inotify_event) char buffer[4096];
        while (read(fd_, buffer, sizeof buffer) > 0) {
        }
    }

    // Waits until `count` more write events have happened; false on time-out.
    bool waitEvents(int count, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (count > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            alignas(inotify_event) char buffer[4096];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n && count > 0;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                --count;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return true;
    }

private:
    int fd_ = -1;
};

// What a killed writer left: the values present, the device id in "Version",
// and which blobs were replaced after "Version" (by a write cut short).
std::string cacheState(const std::string& keyDirectory) {
    namespace fs = std::filesystem;
    std::string state;
    fs::file_time_type versionTime{};
    const fs::path version = fs::path(keyDirectory) / "Version.value";
    std::error_code error;
    if (fs::exists(version, error)) {
        versionTime = fs::last_write_time(version, error);
        HKEY key = nullptr;
        BYTE bytes[8] = {};
        DWORD size = sizeof bytes;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_READ, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            RegQueryValueExA(key, "Version", nullptr, nullptr, bytes, &size);
            RegCloseKey(key);
        }
        char id[32];
        std::snprintf(id, sizeof id, "Version=%02x%02x", bytes[5], bytes[4]);
        state = id;
    } else {
        state = "no Version";
    }
    for (const char* name : {"ComputeShadeLight", "ComputeShadeCollar"}) {
        const fs::path value = fs::path(keyDirectory) / (std::string(name) + ".value");
        if (!fs::exists(value, error)) state += std::string(", no ") + name;
        else if (state.rfind("Version", 0) == 0 && fs::last_write_time(value, error) > versionTime)
            state += std::string(", newer ") + name;
    }
    return state;
}

class CacheProcessTest : public PluginTest {
protected:
    void SetUp() override {
        if (const char* job = std::getenv("QUENDA_CACHE_CHILD")) {
            // The fixture made a registry of its own; the child works on the parent's.
            std::error_code ignored;
            std::filesystem::remove_all(registry.root(), ignored);
            const char* root = std::getenv("QUENDA_CACHE_ROOT");
            if (!root) _exit(2);
            setenv("QUENDA_REGISTRY_ROOT", root, 1);
            const int status = runChild(job);
            std::fflush(stdout);
            _exit(status);
        }
        PluginTest::SetUp();
    }
    void TearDown() override {
        releaseAll();
        PluginTest::TearDown();
    }

    // An initialisation here after the children: it must succeed without a
    // box; true when it hit the cache.
    bool initialiseHere(uint32_t deviceId, const std::string& when) {
        platform_hooks::resetHooks();
        platform_hooks::setBoxEcho(false);
        platform_hooks::forceDeviceId(deviceId);
        const int32_t result = onInit(GetFilterTable());
        EXPECT_EQ(result, 1) << when << ":" << boxesText();
        EXPECT_TRUE(boxLines().empty()) << when << ":" << boxesText();
        const bool hit = platform_hooks::callCount(FailPoint::Compile) == 0;
        releaseAll();
        return hit;
    }

    void clearCache() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath); }

    void makeKey() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    Children children;
};

TEST_F(CacheProcessTest, TwoInitialisationsAtOnce) {
    // Each round starts from an empty key, so both processes miss, compile
    // and write the three values at about the same time. With one device id
    // they write the same key; with two, each writes its own over the other's.
    struct Round {
        const char* first;
        const char* second;
        uint32_t here;  // device id of the initialisation afterwards
        bool mustHit;
    };
    const Round rounds[] = {
        {"0x1111", "0x1111", 0x1111, true},
        {"0x1111", "0x2222", 0x1111, false},
        {"0x2222", "0x1111", 0x2222, false},
    };
    int hits = 0;
    for (const Round& round : rounds) {
        const std::string when = std::string("children ") + round.first + " and " + round.second;
        SCOPED_TRACE(when);
        clearCache();
        const pid_t a = children.start("init", round.first, registry.root());
        const pid_t b = children.start("init", round.second, registry.root());
        ASSERT_GT(a, 0);
        ASSERT_GT(b, 0);
        const int statusA = children.wait(a), statusB = children.wait(b);
        EXPECT_EQ(describeStatus(statusA), "exit 0") << "first child";
        EXPECT_EQ(describeStatus(statusB), "exit 0") << "second child";
        const bool hit = initialiseHere(round.here, when);
        if (round.mustHit) {
            EXPECT_TRUE(hit) << "both wrote this key; it must hit";
        }
        hits += hit;
    }
    RecordProperty("hits", hits);
}

TEST_F(CacheProcessTest, InitialisationWhileAnotherProcessRewritesTheCache) {
    // The child alternates two device ids, so every one of its
    // initialisations misses and rewrites all three values; meanwhile this
    // process initialises with one of them, reading (and on a miss writing)
    // the same key.
    makeKey();
    const pid_t churn = children.start("churn", "0x1111,0x2222", registry.root());
    ASSERT_GT(churn, 0);
    KeyWatch watch(registry.cacheKeyDirectory());
    ASSERT_TRUE(watch.ok());
    ASSERT_TRUE(watch.waitEvents(1, 20000)) << "the child never wrote the cache";
    int hits = 0;
    for (int i = 0; i < 4; ++i) hits += initialiseHere(0x1111, "initialisation " + std::to_string(i));
    kill(churn, SIGKILL);
    const int status = children.wait(churn);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the churning child stopped by itself: " << describeStatus(status);
    initialiseHere(0x1111, "after the child was killed");
    RecordProperty("hits", hits);
}

TEST_F(CacheProcessTest, KilledWhileWritingTheCache) {
    // A write of the cache is six file events: for each of "ComputeShadeLight",
    // "ComputeShadeCollar" and "Version" a temporary file is made, then
    // renamed into place. The child is killed right after the n-th event it
    // causes (within the first write, and within the second over the first,
    // whose device id differs), and at random moments; each time an
    // initialisation here must succeed, and the next child starts on what
    // the previous one and this process left.
    makeKey();
    KeyWatch watch(registry.cacheKeyDirectory());
    ASSERT_TRUE(watch.ok());
    std::mt19937 random(20240607);
    int hits = 0, rounds = 0;
    std::set<std::string> states;
    auto afterKill = [&](pid_t child, const std::string& when) {
        kill(child, SIGKILL);
        const int status = children.wait(child);
        EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) != 0)
            << when << ": the child's own initialisation failed";
        const std::string state = cacheState(registry.cacheKeyDirectory());
        states.insert(state);
        hits += initialiseHere(0x1111, when + ", leaving " + state);
        ++rounds;
    };
    // Events 1, 3: a temporary file begun; 2, 4: "ComputeShadeLight" and
    // "ComputeShadeCollar" replaced under the old "Version"; 6: the first
    // write whole; 8: the second write's "ComputeShadeLight" over it.
    for (int events : {1, 2, 3, 4, 6, 8}) {
        const std::string when = "killed after write event " + std::to_string(events);
        watch.drain();  // what this process's own initialisation wrote
        const pid_t child = children.start("churn", "0x2222,0x1111", registry.root());
        ASSERT_GT(child, 0);
        EXPECT_TRUE(watch.waitEvents(events, 20000)) << when << ": the child stopped writing";
        afterKill(child, when);
    }
    for (int i = 0; i < 3; ++i) {
        const int delayMs = std::uniform_int_distribution<int>(50, 600)(random);
        const std::string when = "killed after " + std::to_string(delayMs) + " ms";
        const pid_t child = children.start("churn", "0x2222,0x1111", registry.root());
        ASSERT_GT(child, 0);
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        afterKill(child, when);
    }
    // Temporary files of killed writers may remain; they are never read.
    int leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(registry.cacheKeyDirectory()))
        leftovers += entry.path().filename().string().rfind(".", 0) == 0;
    std::string seen;
    for (const std::string& state : states) seen += (seen.empty() ? "" : "; ") + state;
    std::printf("%d kills, %d later hits, %d temporary files left; states left: %s\n", rounds, hits, leftovers,
                seen.c_str());
    RecordProperty("hits", hits);
    RecordProperty("statesLeft", seen);
}

}  // namespace
