// The real PellaroCNW.exe under Wine: its hidden dialog, its title, and an
// orderly end through WM_CLOSE from another process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/process_win.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kEndTimeoutMs = 30000;

class WatcherLifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        appData = home / "AppData";
        fs::create_directories(appData);
    }
    void TearDown() override { KillIfRunning(watcher); }

    ChildProcess Start(const std::wstring& arguments) {
        const std::wstring exe = ProgramFolder() + L"\\PellaroCNW.exe";
        return StartProcess(L"\"" + exe + L"\" " + arguments,
                            {{L"APPDATA", appData.wstring()}, {L"PLDIR", L""}, {L"gVerbose", L""}});
    }

    // The one dialog of the watcher, found by its class once it exists.
    HWND DialogOf(const ChildProcess& child) {
        HWND found = nullptr;
        WaitUntil(
            [&] {
                for (HWND w : TopLevelWindowsOf(child.id)) {
                    if (WindowClass(w) == kDialogClass) found = w;
                }
                return found != nullptr;
            },
            kStartTimeoutMs);
        return found;
    }

    // Samples the window for a while: it must never be visible.
    void ExpectNeverVisible(HWND dialog, DWORD forMs) {
        const ULONGLONG end = GetTickCount64() + forMs;
        while (GetTickCount64() < end) {
            ASSERT_FALSE(IsWindowVisible(dialog)) << "the watcher's dialog became visible";
            Sleep(10);
        }
    }

    void CloseAndExpectCleanEnd(HWND dialog) {
        ASSERT_TRUE(PostMessageW(dialog, WM_CLOSE, 0, 0));
        DWORD code = 12345;
        ASSERT_TRUE(WaitForExit(watcher, kEndTimeoutMs, &code)) << "the watcher did not end";
        EXPECT_EQ(code, 0u);
    }

    TempDir home;
    fs::path appData;
    ChildProcess watcher;
};

TEST_F(WatcherLifecycleTest, WatchesItsFolderHiddenAndEndsOnClose) {
    const fs::path folder = home / "My Watched";
    fs::create_directories(folder);
    watcher = Start(L"\"" + folder.wstring() + L"\"");
    ASSERT_TRUE(watcher);

    HWND dialog = WaitForWindow(watcher.id, kDialogClass, L"Watching - My Watched", kStartTimeoutMs);
    ASSERT_NE(dialog, nullptr) << "no dialog titled \"Watching - My Watched\"";
    // The data folder exists once the watcher runs.
    EXPECT_TRUE(fs::is_directory(appData / "xq" / "pellaro"));

    // The controls of dialog resource 100.
    const struct {
        int id;
        const wchar_t* windowClass;
        const wchar_t* text;
    } controls[] = {{101, L"SysListView32", L""}, {102, L"Button", L"Pick..."},
                    {103, L"Button", L"Recursive"}, {150, L"ScrollBar", L""}};
    for (const auto& c : controls) {
        HWND control = GetDlgItem(dialog, c.id);
        ASSERT_NE(control, nullptr) << "control " << c.id;
        EXPECT_EQ(WindowClass(control), c.windowClass);
        EXPECT_EQ(WindowText(control), c.text);
    }
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(dialog, 102), GWL_STYLE) & BS_DEFPUSHBUTTON);
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(dialog, 150), GWL_STYLE) & SBS_SIZEGRIP);

    ExpectNeverVisible(dialog, 1500);
    // Shown or restored from outside, it hides again at once.
    ShowWindow(dialog, SW_SHOWNORMAL);
    SendMessageW(dialog, WM_NULL, 0, 0);
    ExpectNeverVisible(dialog, 500);

    CloseAndExpectCleanEnd(dialog);
}

TEST_F(WatcherLifecycleTest, WithoutAFolderItWatchesNothingAndStillEndsOnClose) {
    for (const std::wstring& arguments : {std::wstring(L""), std::wstring(L"-nowatch -restart")}) {
        SCOPED_TRACE(testing::Message() << "arguments: \"" << std::string(arguments.begin(), arguments.end()) << "\"");
        watcher = Start(arguments);
        ASSERT_TRUE(watcher);
        HWND dialog = DialogOf(watcher);
        ASSERT_NE(dialog, nullptr);
        // Give the initialisation time to finish: the title must stay the resource's.
        Sleep(500);
        EXPECT_EQ(WindowText(dialog), L"Shell Change Notify Watcher");
        ExpectNeverVisible(dialog, 300);
        CloseAndExpectCleanEnd(dialog);
    }
}

}  // namespace
