#pragma once
// CChangeNotifyApp: the watcher's hidden modal dialog. It owns the watched
// shell item and its change registration, the drop target and the dialog's
// icons; its initialisation starts the watcher and its destruction shuts the
// watcher down. Reference counted; all of it runs on the dialog thread.

#include <windows.h>
#include <shobjidl.h>

#include <atomic>

#include "app/win_handles.h"
#include "ui/anchor_layout.h"
#include "ui/drag_drop_helper_win.h"
#include "watch/shell_item_change_watcher_win.h"

class CChangeNotifyApp final : public CDragDropHelper, public CShellItemChangeWatcher {
public:
    CChangeNotifyApp();
    CChangeNotifyApp(const CChangeNotifyApp&) = delete;
    CChangeNotifyApp& operator=(const CChangeNotifyApp&) = delete;

    // IUnknown (through the IDropTarget base).
    IFACEMETHODIMP QueryInterface(REFIID riid, void** object) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;

    HRESULT HandleDroppedItems(IShellItemArray* items) override;

    void OnShellChange(long event, IShellItem2* first, IShellItem2* second) override;

    static INT_PTR CALLBACK DialogProcedure(HWND dialog, UINT message, WPARAM wParam,
                                            LPARAM lParam) noexcept;
    INT_PTR HandleDialogMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Registers watchedItem for change notifications and names it in the title.
    void WatchCurrentItem();

    HWND Window() const { return dialog; }

private:
    ~CChangeNotifyApp();

    void HandleInitDialog();
    void HandleDestroy();
    void SetDialogIcons(HWND window);
    void CaptureAnchors();
    void ApplyAnchors();

    std::atomic<LONG> refCount{1};
    HWND dialog = nullptr;
    ComPtr<IShellItem2> watchedItem;
    AnchorRect anchorStore[4];
};
