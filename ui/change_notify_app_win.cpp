#include "ui/change_notify_app_win.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <atomic>
#include <iterator>

#include "base/bounded_text.h"
#include "sync/command_buffer.h"
#include "sync/transfer_runs.h"
#include "ui/res/resource.h"
#include "watch/change_event_handler.h"
#include "watch/change_event_handler_win.h"

namespace {

constexpr AnchorEntry kAnchors[] = {
    {IDC_PICK, 9},
    {IDC_EVENT_LIST, 15},
    {IDC_RECURSIVE, 10},
    {IDC_SIZE_GRIP, 10},
};
static_assert(std::size(kAnchors) == 4);

constexpr std::size_t kTitleChars = 128;
constexpr wchar_t kDropMessage[] = L"Listen for Changes on %1";
constexpr wchar_t kPickerTitle[] = L"Item Picker";

// The dialog the end of an idle download is posted to (timer thread).
std::atomic<HWND> heldChangesWindow{nullptr};

void PostDownloadEnded() {
    if (const HWND window = heldChangesWindow.load()) {
        PostMessageW(window, kHeldChangesMessage, 0, 0);
    }
}

AnchorRect ToAnchor(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

// The control's rectangle in the dialog's client coordinates.
RECT ControlRect(HWND dialog, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

}  // namespace

CChangeNotifyApp::CChangeNotifyApp(WatcherLifecycle lifecycle) : lifecycle(lifecycle) {}

CChangeNotifyApp::~CChangeNotifyApp() {
    watchedItem.Reset();
    EndWatch();
}

IFACEMETHODIMP CChangeNotifyApp::QueryInterface(REFIID riid, void** object) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
    static const QITAB table[] = {
        QITABENT(CChangeNotifyApp, IDropTarget),
        {nullptr, 0},
    };
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return QISearch(this, table, riid, object);
}

IFACEMETHODIMP_(ULONG) CChangeNotifyApp::AddRef() { return static_cast<ULONG>(++refCount); }

IFACEMETHODIMP_(ULONG) CChangeNotifyApp::Release() {
    const LONG count = --refCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CChangeNotifyApp::HandleDroppedItems(IShellItemArray* items, DWORD) {
    // An item without IShellItem2 leaves nothing watched; the old registration
    // stays in force until the next one.
    watchedItem.Reset();
    ComPtr<IShellItem> first;
    if (items && SUCCEEDED(items->GetItemAt(0, first.Put())) &&
        SUCCEEDED(first->QueryInterface(IID_PPV_ARGS(watchedItem.Put())))) {
        WatchCurrentItem();
    }
    return S_OK;
}

void CChangeNotifyApp::PickItem() {
    ComPtr<IFileDialog> picker;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(picker.Put())))) {
        return;
    }
    FILEOPENDIALOGOPTIONS options = 0;
    if (SUCCEEDED(picker->GetOptions(&options)) &&
        FAILED(picker->SetOptions(options | FOS_PICKFOLDERS | FOS_ALLNONSTORAGEITEMS))) {
        return;
    }
    if (FAILED(picker->SetTitle(kPickerTitle))) return;
    ComPtr<IShellItem> result;
    // Show fails when the user cancels: then nothing changes.
    if (FAILED(picker->Show(dialog)) || FAILED(picker->GetResult(result.Put())) || !result) return;
    watchedItem.Reset();
    if (SUCCEEDED(result->QueryInterface(IID_PPV_ARGS(watchedItem.Put())))) WatchCurrentItem();
}

void CChangeNotifyApp::OnShellChange(long event, IShellItem2* first, IShellItem2* second) {
    HandleShellChange(event, first, second);
    QueueEventListFlush();
    eventList.SizeColumns();
}

// A burst of notifications is written to the event list file once, when the
// queue behind it has drained.
void CChangeNotifyApp::QueueEventListFlush() {
    if (RequestEventListFlush() && !PostMessageW(dialog, kEventListFlushMessage, 0, 0)) {
        EventListFlushArrived();
    }
}

INT_PTR CALLBACK CChangeNotifyApp::DialogProcedure(HWND window, UINT message, WPARAM wParam,
                                                   LPARAM lParam) noexcept {
    auto* app = reinterpret_cast<CChangeNotifyApp*>(GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
        app = reinterpret_cast<CChangeNotifyApp*>(lParam);
        app->dialog = window;
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(app));
    }
    // The dialog manager shows a modal dialog once at its first idle, whatever
    // the dialog procedure does; dropping SWP_SHOWWINDOW here keeps it hidden for good.
    if (message == WM_WINDOWPOSCHANGING) {
        reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
    }
    ShowWindow(window, SW_HIDE);
    if (!app) return FALSE;
    return app->HandleDialogMessage(message, wParam, lParam);
}

INT_PTR CChangeNotifyApp::HandleDialogMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            HandleInitDialog();
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:
                case IDCANCEL:
                    return EndDialog(dialog, LOWORD(wParam));
                case IDC_PICK:
                    PickItem();
                    return TRUE;
                case IDC_RECURSIVE:
                    if (watchedItem) WatchCurrentItem();
                    return TRUE;
                default:
                    return TRUE;
            }
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header && header->idFrom == IDC_EVENT_LIST) eventList.HandleNotify(header);
            return TRUE;
        }
        case kChangeNotifyMessage:
            HandleChangeMessage(wParam, lParam);
            return TRUE;
        case kLostChangesMessage:
            HandleLostChanges();
            QueueEventListFlush();
            return TRUE;
        case kHeldChangesMessage:
            ReplayHeldChanges();
            QueueEventListFlush();
            return TRUE;
        case kEventListFlushMessage:
            EventListFlushArrived();
            return TRUE;
        case WM_ENDSESSION:
            // The session ends: the entry and the pending commands are kept
            // in order, but no tool is started while it goes.
            if (wParam && lifecycle.endSession) lifecycle.endSession();
            return TRUE;
        case WM_DESTROY:
            HandleDestroy();
            return TRUE;
        case WM_SIZE:
            ApplyAnchors();
            return TRUE;
        default:
            return FALSE;
    }
}

void CChangeNotifyApp::HandleInitDialog() {
    CaptureAnchors();
    SetDialogIcons(dialog);
    SetDropMessage(kDropMessage);
    SetDropImageType(DROPIMAGE_LABEL);
    RegisterDropTarget(dialog);
    eventList.InitListView(GetDlgItem(dialog, IDC_EVENT_LIST));
    heldChangesWindow.store(dialog);
    CurrentTransferRunners().downloadEnded = PostDownloadEnded;
    if (lifecycle.initialize && SUCCEEDED(lifecycle.initialize(IID_PPV_ARGS(watchedItem.Put()))))
        WatchCurrentItem();
}

void CChangeNotifyApp::WatchCurrentItem() {
    eventList.DeleteAllRows();
    BeginWatch(watchedItem.Get(), dialog);
    UniqueTaskString name;
    if (FAILED(watchedItem->GetDisplayName(SIGDN_NORMALDISPLAY, name.Put())) || !name) return;
    // A name too long for the title is cut.
    BoundedWText<kTitleChars> title(L"Watching - ");
    title.Append(name.Get());
    // The registration is recursive whatever the "Recursive" box says.
    eventList.AddRow(EventListLog::kEventGroup, L"Watching", L"%ls %ls", name.Get(),
                     L"(Recursive)");
    eventList.SizeColumns();
    SetWindowTextW(dialog, title.CStr());
}

void CChangeNotifyApp::HandleDestroy() {
    // The watch ends first: the changes it still delivers are buffered, and
    // the shutdown below saves and sends them.
    EndWatch();
    // A loss the feed reported as it ended waits in the queue, which is not
    // read again: the whole folder goes with the final send.
    MSG lost;
    bool lostAtTheEnd = false;
    while (PeekMessageW(&lost, dialog, kLostChangesMessage, kLostChangesMessage, PM_REMOVE)) {
        lostAtTheEnd = true;
    }
    if (lostAtTheEnd) HandleLostChanges();
    // Changes held while a download wrote into the folder go with the final send.
    heldChangesWindow.store(nullptr);
    ReplayHeldChanges(true);
    if (lifecycle.stop) lifecycle.stop();
    UniqueIcon small(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0)));
    UniqueIcon big(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0)));
    RevokeDropTarget();
}

void CChangeNotifyApp::SetDialogIcons(HWND window) {
    SHSTOCKICONINFO info{};
    info.cbSize = sizeof info;
    // Wine answers S_OK with a null icon: the handle is what counts.
    if (SUCCEEDED(SHGetStockIconInfo(SIID_APPLICATION, SHGSI_ICON | SHGSI_SMALLICON, &info)) &&
        info.hIcon) {
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(info.hIcon));
    }
    info = SHSTOCKICONINFO{};
    info.cbSize = sizeof info;
    if (SUCCEEDED(SHGetStockIconInfo(SIID_APPLICATION, SHGSI_ICON, &info)) && info.hIcon) {
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(info.hIcon));
    }
}

void CChangeNotifyApp::CaptureAnchors() {
    RECT client{};
    GetClientRect(dialog, &client);
    for (std::size_t i = 0; i < std::size(kAnchors); ++i) {
        HWND control = GetDlgItem(dialog, kAnchors[i].controlId);
        const RECT r = ControlRect(dialog, control);
        anchorStore[i] = CaptureAnchor(kAnchors[i].flags, ToAnchor(client), ToAnchor(r));
    }
}

void CChangeNotifyApp::ApplyAnchors() {
    RECT client{};
    GetClientRect(dialog, &client);
    for (std::size_t i = 0; i < std::size(kAnchors); ++i) {
        HWND control = GetDlgItem(dialog, kAnchors[i].controlId);
        if (!control) continue;
        const AnchorRect r = ApplyAnchor(kAnchors[i].flags, ToAnchor(client),
                                         ToAnchor(ControlRect(dialog, control)), anchorStore[i]);
        MoveWindow(control, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    }
}
