// Catches: a list, copy menu, layout, drop or picker that shows, copies or watches the wrong thing.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/text_conversion.h"
#include "support/box_driver.h"
#include "support/process_win.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "ui/change_notify_app_win.h"
#include "ui/res/resource.h"

namespace {

namespace fs = std::filesystem;
using Description = std::tuple<int, std::wstring, std::wstring>;
constexpr DWORD kTimeoutMs = 30000;

// Keeps what SetData gives it, as the shell's data objects do on Windows, and asks the shell's own
// object for the rest: Wine's refuse SetData, and Wine makes no other kind.
class StoringDataObject final : public IDataObject {
public:
    explicit StoringDataObject(IDataObject* shell) : shell(ComPtr<IDataObject>::Copy(shell)) {}
    IFACEMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = riid == IID_IUnknown || riid == IID_IDataObject ? this : nullptr;
        return *object ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    IFACEMETHODIMP_(ULONG) Release() override { return --refs; }  // lives on the stack
    IFACEMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        const auto found = stored.find(format->cfFormat);
        if (found == stored.end()) return shell ? shell->GetData(format, medium) : DV_E_FORMATETC;
        *medium = STGMEDIUM{TYMED_HGLOBAL, {}, nullptr};
        medium->hGlobal = GlobalAlloc(GPTR, found->second.size());
        std::memcpy(medium->hGlobal, found->second.data(), found->second.size());
        return S_OK;
    }
    IFACEMETHODIMP SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override {
        const char* bytes = static_cast<const char*>(GlobalLock(medium->hGlobal));
        stored[format->cfFormat].assign(bytes, bytes + GlobalSize(medium->hGlobal));
        GlobalUnlock(medium->hGlobal);
        if (release) ReleaseStgMedium(medium);
        return S_OK;
    }
    IFACEMETHODIMP QueryGetData(FORMATETC* f) override {
        return shell ? shell->QueryGetData(f) : S_FALSE;
    }
    IFACEMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    IFACEMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    IFACEMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    IFACEMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

    std::atomic<ULONG> refs{0};
    ComPtr<IDataObject> shell;
    std::map<CLIPFORMAT, std::string> stored;
};

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

Description DescriptionOf(IDataObject* data) {
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"DropDescription")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (FAILED(data->GetData(&format, &medium))) return {0, L"<none>", L""};
    const DROPDESCRIPTION d = *static_cast<const DROPDESCRIPTION*>(GlobalLock(medium.hGlobal));
    ReleaseStgMedium(&medium);
    return {d.type, d.szMessage, d.szInsert};
}

// Types the folder into the picker of `processId` and confirms it, or cancels when it is empty.
void AnswerPicker(DWORD processId, const std::wstring& folder) {
    HWND picker = WaitForWindow(processId, kTimeoutMs, [](HWND w) {
        return WindowClass(w) == L"#32770" && WindowText(w) == L"Item Picker";
    });
    ASSERT_NE(picker, nullptr) << "no \"Item Picker\"";
    // The edit box "File name:" (edt1) of the shell's file dialog.
    SendMessageW(GetDlgItem(picker, 0x480), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(folder.c_str()));
    ASSERT_TRUE(PressButton(picker, folder.empty() ? IDCANCEL : IDOK));
    EXPECT_TRUE(WaitClosed(picker, kTimeoutMs));
}

// The real CChangeNotifyApp on dialog 100 loaded from the built PellaroCNW.exe, without the watcher
// behind it, with the shell's data objects, the real popup menu and the real clipboard.
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

    // The dialog's start: the command-line folder becomes the watched item.
    static HRESULT StartOn(REFIID riid, void** item) {
        State().watchedPathW.Assign(startFolder);
        return SHCreateItemFromParsingName(startFolder.c_str(), nullptr, riid, item);
    }

    // Right-clicks the list and chooses the menu's item at `position` (1 "Copy", 2 "Copy All");
    // the clipboard's text afterwards.
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

    void ExpectWatching(const std::wstring& name, bool registeredAgain) {
        EXPECT_EQ(WindowText(dialog), L"Watching - " + name);
        wchar_t cells[2][512] = {};
        for (int column = 0; column < 2; ++column) {
            ListView_GetItemText(list, 0, column, cells[column], 512);
        }
        EXPECT_EQ(ListView_GetItemCount(list), 1);
        EXPECT_EQ(std::wstring(cells[0]) + L"|" + cells[1], L"Watching|" + name + L" (Recursive)");
        EXPECT_EQ(app->RegistrationId() != registration, registeredAgain);
        // Only the watched item changes: the folder of the command line stays.
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

TEST_F(DialogTest, StartShowsOneWatchingRowThatTheMenuCopies) {
    ExpectWatching(L"Watched", false);
    const std::wstring row = L"Watching\tWatched (Recursive)\r\n";
    EXPECT_EQ(CopyThroughMenu(2), row);
    EXPECT_EQ(CopyThroughMenu(1), L"") << "Copy with no row selected";
    // An empty value copies as the name alone; a value over 511 characters adds no row.
    EXPECT_TRUE(app->EventList().AddRow(1, L"Empty", L""));
    EXPECT_FALSE(app->EventList().AddRow(1, L"Long", L"%ls", std::wstring(512, L'x').c_str()));
    ListView_SetItemState(list, 1, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(CopyThroughMenu(1), L"Empty\r\n");
    EXPECT_EQ(CopyThroughMenu(2), row + L"Empty\r\n");
}

// As the dialog grows, each control keeps its anchored edges where they were against the dialog's:
// the list grows both ways, Pick stays at the bottom left, the check box and the grip bottom right.
TEST_F(DialogTest, ControlsFollowTheirEdgesWhenTheDialogGrows) {
    const struct {
        int id;
        LONG left, top, right, bottom;  // how far each edge moves
    } rows[] = {{IDC_EVENT_LIST, 0, 0, 100, 50},
                {IDC_PICK, 0, 50, 0, 50},
                {IDC_RECURSIVE, 100, 50, 100, 50},
                {IDC_SIZE_GRIP, 100, 50, 100, 50}};
    const auto rectOf = [&](int id) {
        RECT rect{};
        GetWindowRect(GetDlgItem(dialog, id), &rect);
        return rect;
    };
    RECT before[std::size(rows)], window{};
    for (std::size_t i = 0; i < std::size(rows); ++i) before[i] = rectOf(rows[i].id);
    GetWindowRect(dialog, &window);
    SetWindowPos(dialog, nullptr, 0, 0, window.right - window.left + 100,
                 window.bottom - window.top + 50, SWP_NOMOVE | SWP_NOZORDER);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const RECT after = rectOf(rows[i].id);
        EXPECT_EQ(after.left - before[i].left, rows[i].left) << rows[i].id;
        EXPECT_EQ(after.top - before[i].top, rows[i].top) << rows[i].id;
        EXPECT_EQ(after.right - before[i].right, rows[i].right) << rows[i].id;
        EXPECT_EQ(after.bottom - before[i].bottom, rows[i].bottom) << rows[i].id;
    }
}

// Dragged folders are named by the first, never moved, and the first dropped is watched; an
// internet shortcut is named from its text but gives nothing to drop (Wine parses no URL scheme
// into a shell item, so its text is a plain path here).
TEST_F(DialogTest, DropsNameAndWatchTheFirstFolder) {
    StoringDataObject url(nullptr);
    url.stored[static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"UniformResourceLocator"))] =
        ToAnsiString((home.Path() / "Beta").wstring());
    DWORD effect = DROPEFFECT_LINK;
    ASSERT_EQ(target->DragEnter(&url, MK_LBUTTON, {10, 10}, &effect), S_OK);
    EXPECT_EQ(std::get<2>(DescriptionOf(&url)), L"Beta");
    ASSERT_EQ(target->Drop(&url, MK_LBUTTON, {10, 10}, &effect), S_OK);
    ExpectWatching(L"Watched", false);

    StoringDataObject data(ShellDataObjectOf({home / "Alpha", home / "Beta"}).Get());
    ASSERT_TRUE(data.shell);
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    ASSERT_EQ(target->DragEnter(&data, MK_LBUTTON, {10, 10}, &effect), S_OK);
    EXPECT_EQ(DescriptionOf(&data),
              Description(DROPIMAGE_LABEL, L"Listen for Changes on %1", L"Alpha"));
    EXPECT_EQ(data.refs, 1u) << "the drag's data object is held";
    const std::pair<DWORD, DWORD> effects[] = {
        {DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK, DROPEFFECT_LINK},
        {DROPEFFECT_COPY | DROPEFFECT_MOVE, DROPEFFECT_COPY},
        {DROPEFFECT_MOVE, DROPEFFECT_NONE}};
    for (const auto& [offered, reported] : effects) {
        effect = offered;
        EXPECT_EQ(target->DragOver(MK_LBUTTON, {12, 12}, &effect), S_OK);
        EXPECT_EQ(effect, reported) << "offered " << offered;
    }
    ASSERT_EQ(target->DragLeave(), S_OK);
    EXPECT_EQ(DescriptionOf(&data), Description(-1, L"", L""));
    EXPECT_EQ(data.refs, 0u) << "released on leaving";
    ExpectWatching(L"Watched", false);

    ASSERT_EQ(target->DragEnter(&data, MK_LBUTTON, {10, 10}, &effect), S_OK);
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    ASSERT_EQ(target->Drop(&data, MK_LBUTTON, {10, 10}, &effect), S_OK);
    EXPECT_EQ(effect, DWORD{DROPEFFECT_COPY});
    EXPECT_EQ(data.refs, 0u) << "released after the drop";
    ExpectWatching(L"Alpha", true);
}

// "Pick..." on the running watcher: a folder entered in the picker is watched, a cancelled pick
// keeps it, and the watcher still ends with 0.
TEST(DialogEndToEndTest, PickerOfTheRunningWatcher) {
    TempDir home;
    for (const char* name : {"AppData", "Watched", "Other"}) fs::create_directory(home / name);
    ChildProcess watcher = StartProcess(
        L"\"" + ProgramFolder() + L"\\PellaroCNW.exe\" \"" + (home / "Watched").wstring() + L"\"",
        {{L"APPDATA", (home / "AppData").wstring()}, {L"PLDIR", L""}, {L"gVerbose", L""}});
    HWND dialog = WaitForWindow(watcher.id, kTimeoutMs,
                                [](HWND w) { return WindowText(w) == L"Watching - Watched"; });
    ASSERT_NE(dialog, nullptr);
    for (const std::wstring& entered : {(home / "Other").wstring(), std::wstring()}) {
        ASSERT_TRUE(PressButton(dialog, IDC_PICK));
        AnswerPicker(watcher.id, entered);
        EXPECT_TRUE(
            WaitUntil([&] { return WindowText(dialog) == L"Watching - Other"; }, kTimeoutMs));
        EXPECT_EQ(ListView_GetItemCount(GetDlgItem(dialog, IDC_EVENT_LIST)), 1);
    }
    ASSERT_TRUE(PostMessageW(dialog, WM_CLOSE, 0, 0));
    DWORD code = 12345;
    EXPECT_TRUE(WaitForExit(watcher, kTimeoutMs, &code));
    EXPECT_EQ(code, 0u);
    KillIfRunning(watcher);
}

}  // namespace
