// Process coordination against real processes: copies of the fake watcher
// double stand for a running watcher (PellaroCNW.exe), another program and the
// tray application.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/seams.h"
#include "app/watcher_state.h"
#include "notify/process_coordination.h"
#include "notify/process_coordination_win.h"
#include "support/box_recorder.h"
#include "support/double_process_win.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kStartMs = 20000;
constexpr wchar_t kLifetime[] = L"60";  // seconds before a forgotten double ends itself

std::vector<uint32_t> ended;
void RecordEnd(uint32_t code) { ended.push_back(code); }

class ProcessCoordinationTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        ended.clear();
        CurrentSeams().endProcess = RecordEnd;
        State().watchedPath.Assign("C:\\watched");
        ASSERT_TRUE(fs::exists(FakeWatcher())) << "build the fake_watcher double first";
    }
    static fs::path FakeWatcher() { return DoublePath("fake_watcher", "PellaroCNW.exe"); }
    // The fake watcher started as `relative` below the temporary folder.
    std::unique_ptr<DoubleProcess> StartCopy(const std::string& relative) const {
        const fs::path copy = scratch / relative;
        fs::create_directories(copy.parent_path());
        fs::copy_file(FakeWatcher(), copy, fs::copy_options::overwrite_existing);
        auto started = std::make_unique<DoubleProcess>(copy, kLifetime);
        EXPECT_TRUE(started->WaitForWindow(kStartMs)) << relative;
        return started;
    }
    BoxRecorder boxes;
    TempDir scratch;
};

TEST_F(ProcessCoordinationTest, ARunningWatcherIdIsToldApartFromOtherIds) {
    DoubleProcess watcher(FakeWatcher(), kLifetime);
    ASSERT_TRUE(watcher.WaitForWindow(kStartMs));
    const auto editor = StartCopy("editor/Editor.exe");

    // The silent test, then the one that tells the user.
    EXPECT_TRUE(IsWatcherProcess((std::to_string(watcher.Id()) + "\n").c_str()));
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_TRUE(IsRunningWatcher((std::to_string(watcher.Id()) + "\n").c_str()));
    ASSERT_EQ(boxes.Codes(), std::vector<int32_t>{-2001});
    EXPECT_EQ(boxes.Boxes()[0].caption, L"C:\\watched");

    boxes.Clear();
    for (const std::string& text : {std::to_string(editor->Id()), std::string("0"),
                                    std::string("abc"), std::string(), std::string("4294967295")})
        EXPECT_FALSE(IsRunningWatcher(text.c_str())) << text;
    EXPECT_FALSE(IsRunningWatcher(nullptr));
    EXPECT_TRUE(boxes.Boxes().empty());

    const std::string gone = std::to_string(watcher.Id());
    watcher.Kill();
    EXPECT_FALSE(IsRunningWatcher(gone.c_str()));
}

TEST_F(ProcessCoordinationTest, TheTrayAppIsFoundFromAnyFolderByItsExactName) {
    ASSERT_FALSE(IsTrayAppRunning()) << "a tray application is already running";
    {
        const auto otherCase = StartCopy("lower/plksystrayapp.exe");
        EXPECT_FALSE(IsTrayAppRunning());
    }
    const auto tray = StartCopy("any/deep/folder/plkSysTrayApp.exe");
    EXPECT_TRUE(IsTrayAppRunning());
    tray->Kill();
    EXPECT_FALSE(IsTrayAppRunning());
}

TEST_F(ProcessCoordinationTest, CloseAndTerminateEndsARunningProcessWithCode0) {
    DoubleProcess target(FakeWatcher(), kLifetime);
    ASSERT_TRUE(target.WaitForWindow(kStartMs));
    EXPECT_EQ(CloseAndTerminate(target.Id()), kCloseTerminated);
    EXPECT_EQ(target.WaitExit(10000), std::optional<DWORD>(0));
    // Ended, but its process object still held open here: already ended.
    EXPECT_EQ(CloseAndTerminate(target.Id()), kCloseAlreadyEnded);

    // An id that no longer names a process once the last handle has gone
    // (Wine lets go of the process a moment later).
    const DWORD gone = target.Id();
    target.Forget();
    int32_t result = kCloseAlreadyEnded;
    WaitUntil([&] { return (result = CloseAndTerminate(gone)) == kCloseFailed; }, 5000);
    EXPECT_EQ(result, kCloseFailed);
    EXPECT_TRUE(ended.empty());
}

TEST_F(ProcessCoordinationTest, TheWindowCallbackPostsCloseToTheProcessWindowsOnly) {
    DoubleProcess target(FakeWatcher(), kLifetime), bystander(FakeWatcher(), kLifetime);
    ASSERT_TRUE(target.WaitForWindow(kStartMs) && bystander.WaitForWindow(kStartMs));
    EnumWindows(PostCloseToProcessWindows, static_cast<LPARAM>(target.Id()));
    EXPECT_EQ(target.WaitExit(10000), std::optional<DWORD>(3));  // 3: closed by WM_CLOSE
    EXPECT_EQ(bystander.WaitExit(500), std::nullopt);
}

TEST_F(ProcessCoordinationTest, EndingItselfPostsCloseToItsOwnWindowsFirst) {
    const HWND own = CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(CloseAndTerminate(GetCurrentProcessId()), kCloseTerminated);
    EXPECT_EQ(ended, std::vector<uint32_t>{0});
    MSG message;
    EXPECT_TRUE(PeekMessageW(&message, own, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    DestroyWindow(own);
}

TEST_F(ProcessCoordinationTest, ALocalFolderIsNotOnARemoteDrive) {
    State().watchedPath.Assign(scratch.Ansi());
    EXPECT_FALSE(IsRemoteDrive());
}

}  // namespace
