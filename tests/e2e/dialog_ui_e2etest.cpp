// Catches: a list, copy menu, drop or picker that shows, copies or watches the wrong thing.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/process_win.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "ui/change_notify_app_win.h"
#include "ui/res/resource.h"

namespace {

namespace fs = std::filesystem;
constexpr DWORD kTimeoutMs = 30000;

// The shell's data object of sibling folders (their parent's GetUIObjectOf).
ComPtr<IDataObject> ShellDataObjectOf(const std::vector<fs::path>& folders) {
    std::vector<UniqueIdList> lists(folders.size());
    std::vector<PCUITEMID_CHILD> children(folders.size());
    ComPtr<IShellFolder> parent;
    ComPtr<IDataObject> data;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (FAILED(SHParseDisplayName(folders[i].c_str(), nullptr, lists[i].Put(), 0, nullptr)) ||
            FAILED(SHBindToParent(lists[i].Get(), IID_PPV_ARGS(parent.Put()), &children[i]))) {
            return data;
        }
    }
    parent->GetUIObjectOf(nullptr, static_cast<UINT>(children.size()), children.data(),
                          IID_IDataObject, nullptr, data.PutVoid());
    return data;
}

// The real CChangeNotifyApp on the built PellaroCNW.exe's dialog 100, without the watcher behind
// it.
class DialogTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        for (const char* name : {"Watched", "Alpha", "Beta"}) fs::create_directory(home / name);
        startFolder = (home / "Watched").wstring();
        resources = LoadLibraryExW((ProgramFolder() + L"\\PellaroCNW.exe").c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        app = new CChangeNotifyApp({StartOn, [] {}});
        dialog =
            CreateDialogParamW(resources, MAKEINTRESOURCEW(IDD_WATCHER), nullptr,
                               CChangeNotifyApp::DialogProcedure, reinterpret_cast<LPARAM>(app));
        ASSERT_NE(dialog, nullptr);
        list = GetDlgItem(dialog, IDC_EVENT_LIST);
        registration = app->RegistrationId();
        ASSERT_NE(registration, 0u);
        ASSERT_TRUE(SUCCEEDED(app->QueryInterface(IID_PPV_ARGS(target.Put()))));
    }
    void TearDown() override {
        target.Reset();
        DestroyWindow(dialog);
        app->Release();
        FreeLibrary(resources);
        CoUninitialize();
        StateTest::TearDown();
    }

    static HRESULT StartOn(REFIID riid, void** item) {
        State().watchedPathW.Assign(startFolder);
        return SHCreateItemFromParsingName(startFolder.c_str(), nullptr, riid, item);
    }

    // Right-click, menu item `position` (1 "Copy", 2 "Copy All"): the clipboard's text.
    std::wstring CopyThroughMenu(int position) {
        std::thread user([position] {
            HWND menu = nullptr;
            WaitUntil(
                [&] { return (menu = FindWindowW(L"#32768", nullptr)) && IsWindowVisible(menu); },
                kTimeoutMs);
            for (int i = 0; i < position; ++i) PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
            PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
        });
        EXPECT_TRUE(OpenClipboard(nullptr) && EmptyClipboard() && CloseClipboard());
        NMITEMACTIVATE click{};
        click.hdr = {list, IDC_EVENT_LIST, static_cast<UINT>(NM_RCLICK)};
        SendMessageW(dialog, WM_NOTIFY, IDC_EVENT_LIST, reinterpret_cast<LPARAM>(&click));
        user.join();
        HANDLE data = OpenClipboard(nullptr) ? GetClipboardData(CF_UNICODETEXT) : nullptr;
        std::wstring text = data ? static_cast<const wchar_t*>(GlobalLock(data)) : L"<nothing>";
        if (data) GlobalUnlock(data);
        CloseClipboard();
        return text;
    }

    // Only the watched item changes: the folder of the command line stays.
    void ExpectWatching(const std::wstring& name, bool registeredAgain) {
        EXPECT_EQ(WindowText(dialog), L"Watching - " + name);
        EXPECT_EQ(CopyThroughMenu(2), L"Watching\t" + name + L" (Recursive)\r\n");
        EXPECT_EQ(app->RegistrationId() != registration, registeredAgain);
        EXPECT_EQ(std::wstring(State().watchedPathW.Str()), startFolder);
    }

    TempDir home;
    static inline std::wstring startFolder;
    HMODULE resources = nullptr;
    CChangeNotifyApp* app = nullptr;
    HWND dialog = nullptr;
    HWND list = nullptr;
    ULONG registration = 0;
    ComPtr<IDropTarget> target;
};

TEST_F(DialogTest, TheMenuCopiesRowsAndADropWatchesTheFirstFolder) {
    ExpectWatching(L"Watched", false);
    EXPECT_EQ(CopyThroughMenu(1), L"") << "Copy with no row selected";
    // An empty value copies as the name alone; a value over 511 characters adds no row.
    EXPECT_TRUE(app->EventList().AddRow(1, L"Empty", L""));
    EXPECT_FALSE(app->EventList().AddRow(1, L"Long", L"%ls", std::wstring(512, L'x').c_str()));
    ListView_SetItemState(list, 1, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(CopyThroughMenu(1), L"Empty\r\n");
    EXPECT_EQ(CopyThroughMenu(2), L"Watching\tWatched (Recursive)\r\nEmpty\r\n");
    EXPECT_TRUE(ListView_DeleteItem(list, 1));

    // Dragged folders are never moved, the data object is let go, the first folder is watched.
    ComPtr<IDataObject> data = ShellDataObjectOf({home / "Alpha", home / "Beta"});
    ASSERT_TRUE(data);
    const auto refs = [&] { return data->AddRef(), data->Release(); };  // ours included
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    ASSERT_EQ(target->DragEnter(data.Get(), MK_LBUTTON, {10, 10}, &effect), S_OK);
    EXPECT_EQ(refs(), 2u) << "the drag's data object is held";
    // Offered copy, move and link: link; copy and move: copy; move alone: none.
    const std::pair<DWORD, DWORD> effects[] = {{7, DROPEFFECT_LINK}, {3, DROPEFFECT_COPY}, {2, 0}};
    for (const auto& [offered, reported] : effects) {
        effect = offered;
        EXPECT_EQ(target->DragOver(MK_LBUTTON, {12, 12}, &effect), S_OK);
        EXPECT_EQ(effect, reported) << "offered " << offered;
    }
    ASSERT_EQ(target->DragLeave(), S_OK);
    EXPECT_EQ(refs(), 1u) << "released on leaving";
    ExpectWatching(L"Watched", false);

    ASSERT_EQ(target->DragEnter(data.Get(), MK_LBUTTON, {10, 10}, &effect), S_OK);
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    ASSERT_EQ(target->Drop(data.Get(), MK_LBUTTON, {10, 10}, &effect), S_OK);
    EXPECT_EQ(effect, DWORD{DROPEFFECT_COPY});
    EXPECT_EQ(refs(), 1u) << "released after the drop";
    ExpectWatching(L"Alpha", true);
}

// The running watcher, started on a relative folder: a picked folder is watched, a cancel keeps it.
TEST(DialogEndToEndTest, PickerOfTheRunningWatcher) {
    TempDir home;
    for (const char* name : {"AppData", "Watched", "Other"}) fs::create_directory(home / name);
    ChildProcess watcher = StartProcess(
        L"\"" + ProgramFolder() + L"\\PellaroCNW.exe\" Watched",
        {{L"APPDATA", (home / "AppData").wstring()}, {L"PLDIR", L""}}, home.Path().wstring());
    HWND dialog = WaitForWindow(watcher.id, kTimeoutMs,
                                [](HWND w) { return WindowText(w) == L"Watching - Watched"; });
    ASSERT_NE(dialog, nullptr);
    for (const std::wstring& entered : {(home / "Other").wstring(), std::wstring()}) {
        ASSERT_TRUE(PressButton(dialog, IDC_PICK));
        HWND picker = WaitForWindow(watcher.id, kTimeoutMs, [](HWND w) {
            return WindowClass(w) == L"#32770" && WindowText(w) == L"Item Picker";
        });
        ASSERT_NE(picker, nullptr) << "no picker";
        // The edit box "File name:" (edt1) of the shell's file dialog.
        SendMessageW(GetDlgItem(picker, 0x480), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(entered.c_str()));
        ASSERT_TRUE(PressButton(picker, entered.empty() ? IDCANCEL : IDOK));
        EXPECT_TRUE(
            WaitUntil([&] { return WindowText(dialog) == L"Watching - Other"; }, kTimeoutMs));
        EXPECT_EQ(ListView_GetItemCount(GetDlgItem(dialog, IDC_EVENT_LIST)), 1);
    }
    DWORD code = 12345;
    EXPECT_TRUE(PostMessageW(dialog, WM_CLOSE, 0, 0) && WaitForExit(watcher, kTimeoutMs, &code) &&
                code == 0);
    KillIfRunning(watcher);
}

}  // namespace
