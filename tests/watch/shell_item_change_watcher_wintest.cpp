// The watcher class on a real folder: real file operations (from this process
// and from another) must reach OnShellChange through the real registration,
// with the shell's event codes and the items' path names.
#include "watch/shell_item_change_watcher_win.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/win_handles.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

namespace {

struct Seen {
    long event;
    std::wstring first;   // GetItemPathName of the first item, or "<null>"
    std::wstring second;  // likewise for the second item
};

std::wstring PathOf(IShellItem2* item) {
    if (!item) return L"<null>";
    wchar_t* name = nullptr;
    if (FAILED(GetItemPathName(item, &name)) || !name) return L"<failed>";
    std::wstring result(name);
    CoTaskMemFree(name);
    return result;
}

class RecordingWatcher : public CShellItemChangeWatcher {
public:
    void OnShellChange(long event, IShellItem2* first, IShellItem2* second) override {
        seen.push_back({event, PathOf(first), PathOf(second)});
    }
    std::vector<Seen> seen;
};

LRESULT CALLBACK WatchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kChangeNotifyMessage) {
        auto* watcher = reinterpret_cast<RecordingWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (watcher) watcher->HandleChangeMessage(wParam, lParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class ShellWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        WNDCLASSW wc{};
        wc.lpfnWndProc = WatchWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"PellaroWatchTestWindow";
        RegisterClassW(&wc);
        window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                 wc.hInstance, nullptr);
        ASSERT_NE(window, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&watcher));
        root = dir.Path().wstring();
        ASSERT_TRUE(SUCCEEDED(SHCreateItemFromParsingName(root.c_str(), nullptr,
                                                          IID_PPV_ARGS(item.Put()))));
        ASSERT_EQ(watcher.BeginWatch(item.Get(), window), S_OK);
        ASSERT_NE(watcher.RegistrationId(), 0u);
    }
    void TearDown() override {
        watcher.EndWatch();
        item.Reset();
        if (window) DestroyWindow(window);
        CoUninitialize();
    }

    // Pumps messages until an event with this code and these paths was seen.
    testing::AssertionResult Expect(long event, const std::wstring& first,
                                    const std::wstring& second = L"<null>") {
        const bool found = PumpUntil(
            [&] {
                for (const Seen& s : watcher.seen) {
                    if (s.event == event && s.first == first && s.second == second) return true;
                }
                return false;
            },
            10000);
        if (found) return testing::AssertionSuccess();
        auto failure = testing::AssertionFailure();
        failure << "event 0x" << std::hex << event << " not seen; seen:";
        for (const Seen& s : watcher.seen) {
            failure << "\n  0x" << std::hex << s.event << " " << Narrow(s.first) << " "
                    << Narrow(s.second);
        }
        return failure;
    }
    static std::string Narrow(const std::wstring& text) {
        std::string out;
        for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
        return out;
    }
    int Count(long event) const {
        int n = 0;
        for (const Seen& s : watcher.seen) n += s.event == event;
        return n;
    }
    std::wstring In(const std::wstring& name) const { return root + L"\\" + name; }
    std::wstring Item(const std::wstring& name) const { return In(name) + L"\\"; }

    TempDir dir;
    std::wstring root;
    HWND window = nullptr;
    ComPtr<IShellItem2> item;
    RecordingWatcher watcher;
};

void AppendText(const std::wstring& path, const char* text) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(static_cast<bool>(file));
    SetFilePointer(file.Get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file.Get(), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

TEST_F(ShellWatcherTest, FileOperationsArriveWithTheirEventsAndPaths) {
    AppendText(In(L"a.txt"), "one");
    EXPECT_TRUE(Expect(SHCNE_CREATE, Item(L"a.txt")));
    AppendText(In(L"a.txt"), "two");
    EXPECT_TRUE(Expect(SHCNE_UPDATEITEM, Item(L"a.txt")));
    ASSERT_TRUE(MoveFileW(In(L"a.txt").c_str(), In(L"b.txt").c_str()));
    EXPECT_TRUE(Expect(SHCNE_RENAMEITEM, Item(L"a.txt"), Item(L"b.txt")));
    ASSERT_TRUE(DeleteFileW(In(L"b.txt").c_str()));
    EXPECT_TRUE(Expect(SHCNE_DELETE, Item(L"b.txt")));
}

TEST_F(ShellWatcherTest, FolderOperationsArriveAsFolderEvents) {
    ASSERT_TRUE(CreateDirectoryW(In(L"sub").c_str(), nullptr));
    EXPECT_TRUE(Expect(SHCNE_MKDIR, Item(L"sub")));
    ASSERT_TRUE(CreateDirectoryW(In(L"sub\\deep").c_str(), nullptr));
    EXPECT_TRUE(Expect(SHCNE_MKDIR, Item(L"sub\\deep")));
    ASSERT_TRUE(RemoveDirectoryW(In(L"sub\\deep").c_str()));
    EXPECT_TRUE(Expect(SHCNE_RMDIR, Item(L"sub\\deep")));
    ASSERT_TRUE(MoveFileW(In(L"sub").c_str(), In(L"renamed").c_str()));
    EXPECT_TRUE(Expect(SHCNE_RENAMEFOLDER, Item(L"sub"), Item(L"renamed")));
    // The feed learnt the new name: removing it is a folder removal.
    ASSERT_TRUE(RemoveDirectoryW(In(L"renamed").c_str()));
    EXPECT_TRUE(Expect(SHCNE_RMDIR, Item(L"renamed")));
}

TEST_F(ShellWatcherTest, ChangesMadeByAnotherProcessArrive) {
    ChildProcess child = StartProcess(L"cmd.exe /c echo x> other.txt && mkdir otherdir", {}, root);
    ASSERT_TRUE(child);
    DWORD code = 1;
    ASSERT_TRUE(WaitForExit(child, 30000, &code));
    EXPECT_TRUE(Expect(SHCNE_CREATE, Item(L"other.txt")));
    EXPECT_TRUE(Expect(SHCNE_MKDIR, Item(L"otherdir")));
}

TEST_F(ShellWatcherTest, DroppedEventsMakeNoCall) {
    for (long dropped : {SHCNE_FREESPACE, SHCNE_MEDIAREMOVED, SHCNE_DRIVEADD, SHCNE_ASSOCCHANGED,
                         SHCNE_UPDATEIMAGE, SHCNE_SERVERDISCONNECT}) {
        SHChangeNotify(dropped, SHCNF_PATHW, root.c_str(), nullptr);
    }
    // An event that passes, announced last, shows that the earlier ones were delivered
    // and dropped rather than still on their way.
    SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW, root.c_str(), nullptr);
    ASSERT_TRUE(Expect(SHCNE_UPDATEDIR, root + L"\\"));
    for (const Seen& s : watcher.seen) {
        EXPECT_EQ(s.event & kDroppedEventMask, 0) << "event " << s.event;
    }
}

TEST_F(ShellWatcherTest, BeginWatchTwiceLeavesOneRegistration) {
    const ULONG first = watcher.RegistrationId();
    ASSERT_EQ(watcher.BeginWatch(item.Get(), window), S_OK);
    EXPECT_NE(watcher.RegistrationId(), 0u);
    EXPECT_NE(watcher.RegistrationId(), first);
    SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW, root.c_str(), nullptr);
    ASSERT_TRUE(Expect(SHCNE_UPDATEDIR, root + L"\\"));
    PumpUntil([] { return false; }, 300);  // a second registration would deliver again
    EXPECT_EQ(Count(SHCNE_UPDATEDIR), 1);
    watcher.EndWatch();
    EXPECT_EQ(watcher.RegistrationId(), 0u);
    watcher.EndWatch();  // harmless when not registered
}

TEST_F(ShellWatcherTest, ItemPathNamesEndWithOneBackslash) {
    EXPECT_EQ(PathOf(item.Get()), root + L"\\");
    AppendText(In(L"report.txt"), "r");
    ComPtr<IShellItem2> file;
    ASSERT_TRUE(SUCCEEDED(SHCreateItemFromParsingName(In(L"report.txt").c_str(), nullptr,
                                                      IID_PPV_ARGS(file.Put()))));
    EXPECT_EQ(PathOf(file.Get()), In(L"report.txt") + L"\\");
    wchar_t* name = reinterpret_cast<wchar_t*>(1);
    EXPECT_FALSE(SUCCEEDED(GetItemPathName(nullptr, &name)));
    EXPECT_EQ(name, nullptr);
}

}  // namespace
