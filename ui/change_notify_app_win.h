#pragma once
// CChangeNotifyApp: the watcher's hidden modal dialog. It owns the watched
// shell item and its change registration, the event list view, the drop target
// and the dialog's icons; its initialisation starts the watcher and its
// destruction shuts the watcher down. A drop or the item picker changes only
// the watched item, its registration, the title and the list: the watched
// folder of the command line and everything derived from it stay.
// Reference counted; all of it runs on the dialog thread.

#include <windows.h>
#include <shobjidl.h>

#include <atomic>

#include "base/win_handles.h"
#include "ui/anchor_layout.h"
#include "ui/drag_drop_helper_win.h"
#include "ui/event_list_log_win.h"
#include "watch/shell_item_change_watcher_win.h"

// How the dialog starts the watcher (creating the watched item) and stops it;
// the entry point gives the watcher's own (InitializeWatcher, StopWatcher,
// EndWatcherSession). Tests run the dialog without the watcher behind it. A
// null member does nothing (initialize: fails).
struct WatcherLifecycle {
    HRESULT (*initialize)(REFIID riid, void** item) = nullptr;
    void (*stop)() = nullptr;
    void (*endSession)() = nullptr;
};

class CChangeNotifyApp final : public CDragDropHelper, public CShellItemChangeWatcher {
public:
    explicit CChangeNotifyApp(WatcherLifecycle lifecycle);
    CChangeNotifyApp(const CChangeNotifyApp&) = delete;
    CChangeNotifyApp& operator=(const CChangeNotifyApp&) = delete;

    // IUnknown (through the IDropTarget base).
    IFACEMETHODIMP QueryInterface(REFIID riid, void** object) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;

    // Watches the first dropped item.
    HRESULT HandleDroppedItems(IShellItemArray* items, DWORD keyState) override;

    void OnShellChange(long event, IShellItem2* first, IShellItem2* second) override;

    static INT_PTR CALLBACK DialogProcedure(HWND dialog, UINT message, WPARAM wParam,
                                            LPARAM lParam) noexcept;
    INT_PTR HandleDialogMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Registers watchedItem for change notifications and shows it in the title
    // and as the list's one "Watching" row.
    void WatchCurrentItem();
    // "Pick...": the shell's folder picker, owned by the dialog; a confirmed
    // item is watched, a cancelled pick changes nothing.
    void PickItem();

    HWND Window() const { return dialog; }
    EventListLog& EventList() { return eventList; }

private:
    ~CChangeNotifyApp();

    void HandleInitDialog();
    void HandleDestroy();
    void QueueEventListFlush();
    void SetDialogIcons(HWND window);
    void CaptureAnchors();
    void ApplyAnchors();

    std::atomic<LONG> refCount{1};
    HWND dialog = nullptr;
    ComPtr<IShellItem2> watchedItem;
    EventListLog eventList;
    AnchorRect anchorStore[4];
    WatcherLifecycle lifecycle;
};
