// Process coordination against real processes: copies of the fake watcher
// double stand for a running watcher (PellaroCNW.exe), another program and the
// tray application.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/seams.h"
#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "notify/message_catalogue.h"
#include "notify/process_coordination.h"
#include "notify/process_coordination_win.h"
#include "support/double_process_win.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kStartMs = 20000;
constexpr DWORD kClosedByMessage = 3;  // the double's exit code after WM_CLOSE

struct Box {
    std::wstring caption;
    std::wstring text;
};
std::vector<Box> boxes;
std::vector<uint32_t> ended;

int RecordBox(const std::wstring& caption, const std::wstring& text, uint32_t) {
    boxes.push_back({caption, text});
    return -1;
}
void RecordEnd(uint32_t code) { ended.push_back(code); }

class ProcessCoordinationTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        boxes.clear();
        ended.clear();
        CurrentSeams().showTimedBox = RecordBox;
        CurrentSeams().endProcess = RecordEnd;
        State().watchedPath.Assign("C:\\watched");
        ASSERT_TRUE(fs::exists(FakeWatcher())) << "build the fake_watcher double first";
    }

    static fs::path FakeWatcher() {
        return TestBinaryDir() / "doubles" / "fake_watcher" / "PellaroCNW.exe";
    }
    // The fake watcher copied to `relative` below the temporary folder, so that
    // it runs under another name or from another folder.
    fs::path CopyOfFakeWatcher(const std::string& relative) {
        const fs::path copy = scratch / relative;
        fs::create_directories(copy.parent_path());
        fs::copy_file(FakeWatcher(), copy, fs::copy_options::overwrite_existing);
        return copy;
    }
    static DoubleProcess StartWithWindow(const fs::path& program) {
        DoubleProcess child(program, L"60");
        EXPECT_TRUE(child.Started()) << program.string();
        EXPECT_TRUE(WaitForTopLevelWindow(child.Id(), kStartMs)) << program.string();
        return child;
    }
    static std::wstring MessageText(int32_t code) {
        const std::vector<Box> seen = boxes;
        boxes.clear();
        ShowMessage(code, "C:\\watched");
        const std::wstring text = boxes.empty() ? L"" : boxes.back().text;
        boxes = seen;
        return text;
    }

    TempDir scratch;
};

TEST_F(ProcessCoordinationTest, ARunningWatcherIdIsToldApartFromOtherIds) {
    DoubleProcess watcher = StartWithWindow(FakeWatcher());
    DoubleProcess editor = StartWithWindow(CopyOfFakeWatcher("editor/Editor.exe"));

    EXPECT_TRUE(IsRunningWatcher((std::to_string(watcher.Id()) + "\n").c_str()));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"C:\\watched");
    EXPECT_EQ(boxes[0].text, MessageText(-2001));

    boxes.clear();
    EXPECT_FALSE(IsRunningWatcher(std::to_string(editor.Id()).c_str()));
    for (const char* text : {"0", "abc", "", "4294967295"})
        EXPECT_FALSE(IsRunningWatcher(text)) << text;
    EXPECT_FALSE(IsRunningWatcher(nullptr));
    EXPECT_TRUE(boxes.empty());

    const std::string gone = std::to_string(watcher.Id());
    watcher.Kill();
    EXPECT_FALSE(IsRunningWatcher(gone.c_str()));
}

TEST_F(ProcessCoordinationTest, TheTrayAppIsFoundFromAnyFolderByItsExactName) {
    ASSERT_FALSE(IsTrayAppRunning()) << "a tray application is already running";
    {
        DoubleProcess otherCase = StartWithWindow(CopyOfFakeWatcher("lower/plksystrayapp.exe"));
        EXPECT_FALSE(IsTrayAppRunning());
    }
    {
        DoubleProcess tray =
            StartWithWindow(CopyOfFakeWatcher("any/deep/folder/plkSysTrayApp.exe"));
        EXPECT_TRUE(IsTrayAppRunning());
        tray.Kill();
        EXPECT_FALSE(IsTrayAppRunning());
    }
}

TEST_F(ProcessCoordinationTest, CloseAndTerminateEndsARunningProcessWithCode0) {
    DoubleProcess target = StartWithWindow(FakeWatcher());
    EXPECT_EQ(CloseAndTerminate(target.Id()), kCloseTerminated);
    EXPECT_EQ(target.WaitExit(10000), std::optional<DWORD>(0));

    // Ended, but its process object still held open here: already ended.
    EXPECT_EQ(CloseAndTerminate(target.Id()), kCloseAlreadyEnded);

    // An id that no longer names a process, once the last handle has gone.
    const DWORD gone = target.Id();
    target = DoubleProcess();
    int32_t result = CloseAndTerminate(gone);
    for (int i = 0; i < 100 && result != kCloseFailed; ++i) {
        Sleep(50);
        result = CloseAndTerminate(gone);
    }
    EXPECT_EQ(result, kCloseFailed);
    EXPECT_TRUE(ended.empty());
}

TEST_F(ProcessCoordinationTest, TheWindowCallbackPostsCloseToTheProcessWindowsOnly) {
    DoubleProcess target = StartWithWindow(FakeWatcher());
    DoubleProcess bystander = StartWithWindow(FakeWatcher());
    EnumWindows(PostCloseToProcessWindows, static_cast<LPARAM>(target.Id()));
    EXPECT_EQ(target.WaitExit(10000), std::optional<DWORD>(kClosedByMessage));
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
