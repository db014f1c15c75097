// Message boxes, code page 932 and threads of the Win32 stand-ins.
#include "platform/codepage.h"
#include "platform/test_hooks.h"
#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>

namespace {

using platform_hooks::FailPoint;
using platform_win32::cp932ToUtf8;

// "シェーダーの作成に失敗しました" and "エラー" in code page 932.
const char* const kShaderFailedCp932 =
    "\x83\x56\x83\x46\x81\x5b\x83\x5f\x81\x5b\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd";
const char* const kErrorCp932 = "\x83\x47\x83\x89\x81\x5b";

TEST(Cp932Test, ConvertsCp932ToUtf8) {
    const struct {
        const char* name;
        std::string cp932;
        std::string utf8;
    } cases[] = {
        {"ASCII", "PS error 1.12", "PS error 1.12"},
        {"Japanese", kShaderFailedCp932, u8"シェーダーの作成に失敗しました"},
        {"trail byte 0x5C is not a backslash", "\x95\x5c\x83\x5c", u8"表ソ"},
        {"half-width katakana", "\xb6\xc5", u8"ｶﾅ"},
        {"invalid byte replaced", "a\xff" "b", u8"a\uFFFDb"},
        {"lead byte cut off at the end", "ab\x83", u8"ab\uFFFD"},
        {"stops at NUL", std::string("ab\0cd", 5), "ab"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(cp932ToUtf8(c.cp932), c.utf8) << c.name;
}

class MessageBoxStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform_hooks::resetHooks();
        platform_hooks::setBoxEcho(false);
    }
    void TearDown() override {
        platform_hooks::setBoxEcho(true);
        platform_hooks::resetHooks();
    }
};

TEST_F(MessageBoxStandInTest, RecordsTheBoxInUtf8AndReturnsOk) {
    HWND owner = reinterpret_cast<HWND>(0x1234);
    EXPECT_EQ(MessageBoxA(owner, kShaderFailedCp932, kErrorCp932, MB_ICONQUESTION), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "second", nullptr, MB_OK), IDOK);
    const auto boxes = platform_hooks::recordedBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].text, u8"シェーダーの作成に失敗しました");
    EXPECT_EQ(boxes[0].caption, u8"エラー");
    EXPECT_EQ(boxes[0].style, 0x20u);
    EXPECT_EQ(boxes[1].owner, nullptr);
    EXPECT_EQ(boxes[1].text, "second");
    EXPECT_EQ(boxes[1].caption, "Error");
}

TEST_F(MessageBoxStandInTest, EchoPrintsCaptionAndTextOnStderr) {
    platform_hooks::setBoxEcho(true);
    testing::internal::CaptureStderr();
    MessageBoxA(nullptr, kShaderFailedCp932, kErrorCp932, MB_ICONQUESTION);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), u8"[エラー] シェーダーの作成に失敗しました\n");
}

// A thread that runs until released and then ends with a given code.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    unsigned code = 0;
    std::atomic<bool> ran{false};
};

unsigned __stdcall gatedMain(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    gate->opened.wait();
    gate->ran = true;
    return gate->code;
}

class Win32ThreadTest : public ::testing::Test {
protected:
    void SetUp() override { platform_hooks::resetHooks(); }
    void TearDown() override { platform_hooks::resetHooks(); }
};

TEST_F(Win32ThreadTest, ExitCodeIsTheStartRoutinesResult) {
    std::set<unsigned> ids;
    for (unsigned code : {0u, 0xFFFFFFFFu, 42u}) {
        SCOPED_TRACE("exit code " + std::to_string(code));
        Gate gate;
        gate.code = code;
        unsigned id = 0;
        HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, gatedMain, &gate, 0, &id));
        ASSERT_NE(thread, nullptr);
        EXPECT_TRUE(id != 0 && ids.insert(id).second) << "thread id " << id;
        EXPECT_EQ(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL), TRUE);

        DWORD exitCode = 0;
        EXPECT_EQ(GetExitCodeThread(thread, &exitCode), TRUE);
        EXPECT_EQ(exitCode, STILL_ACTIVE);
        EXPECT_EQ(WaitForSingleObject(thread, 10), WAIT_TIMEOUT);

        gate.open.set_value();
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(gate.ran);
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        EXPECT_EQ(GetExitCodeThread(thread, &exitCode), TRUE);
        EXPECT_EQ(exitCode, code);
        EXPECT_EQ(CloseHandle(thread), TRUE);
    }
}

// A thread whose handle is closed first outlives the test body, so it only
// touches objects of static storage.
std::atomic<bool> orphanRelease{false};
std::atomic<bool> orphanRan{false};

unsigned __stdcall orphanMain(void*) {
    while (!orphanRelease) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    orphanRan = true;
    return 5;
}

TEST_F(Win32ThreadTest, ClosingBeforeTheThreadEndsLetsItFinish) {
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, orphanMain, nullptr, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(CloseHandle(thread), TRUE);
    orphanRelease = true;
    for (int i = 0; i < 2000 && !orphanRan; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(orphanRan);
}

TEST_F(Win32ThreadTest, ClosedOrUnknownHandlesAreRefused) {
    Gate gate;
    gate.open.set_value();
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, gatedMain, &gate, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    EXPECT_EQ(CloseHandle(thread), TRUE);
    DWORD exitCode = 0;
    EXPECT_EQ(CloseHandle(thread), FALSE);
    EXPECT_EQ(GetExitCodeThread(thread, &exitCode), FALSE);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_FAILED);
}

TEST_F(Win32ThreadTest, ForcedStartFailureRunsNothing) {
    Gate gate;
    gate.open.set_value();
    platform_hooks::failNth(FailPoint::ThreadStart, 1);
    unsigned id = 777;
    EXPECT_EQ(_beginthreadex(nullptr, 0, gatedMain, &gate, 0, &id), 0u);
    EXPECT_EQ(id, 777u);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(gate.ran);
    EXPECT_EQ(platform_hooks::callCount(FailPoint::ThreadStart), 1);
}

}  // namespace
