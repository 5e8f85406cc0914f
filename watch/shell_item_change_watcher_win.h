#pragma once
// CShellItemChangeWatcher connects a shell item to the shell's change
// notifications: it registers a window for every change under the item
// (recursive, all events, delivered as message 1224) and turns each delivered
// notification into one OnShellChange call with the event and up to two items.
// Everything runs on the thread of the registered window.
//
// Where the shell lacks interrupt-level delivery (Wine), BeginWatch also starts
// the change feed, which announces file system changes in-process so that the
// registration receives them as the shell would post them.

#include <windows.h>
#include <shobjidl.h>

#include <memory>

class ChangeFeed;

constexpr UINT kChangeNotifyMessage = WM_USER + 200;  // 1224
// Posted by the change feed when changes were lost (its buffer overflowed).
constexpr UINT kLostChangesMessage = WM_APP + 200;
// Posted by the dialog to itself after adding: it arrives once every
// notification queued before it has been handled, and writes the event list.
constexpr UINT kEventListFlushMessage = WM_APP + 201;
// Posted to the dialog when an idle download is over: the changes held while
// it wrote into the folder are handled.
constexpr UINT kHeldChangesMessage = WM_APP + 202;
// Events never passed on: media and drive changes, server disconnects, image
// updates, free space, extended events and association changes.
constexpr LONG kDroppedEventMask = 0x0C04C1C0;

class CShellItemChangeWatcher {
public:
    CShellItemChangeWatcher();
    ~CShellItemChangeWatcher();
    CShellItemChangeWatcher(const CShellItemChangeWatcher&) = delete;
    CShellItemChangeWatcher& operator=(const CShellItemChangeWatcher&) = delete;

    // The items are owned by the caller and released right after the call.
    virtual void OnShellChange(long event, IShellItem2* first, IShellItem2* second) = 0;

    // Registers `window` for all changes under `item`; a previous registration
    // of this watcher ends first. S_OK when registered.
    HRESULT BeginWatch(IShellItem* item, HWND window);
    void EndWatch();
    // For message 1224: wParam is the notification handle, lParam the process id.
    void HandleChangeMessage(WPARAM wParam, LPARAM lParam);

    ULONG RegistrationId() const { return registrationId; }

private:
    ULONG registrationId = 0;
    std::unique_ptr<ChangeFeed> feed;
};

// The item's path as the deepest level of its ID list names it, followed by one
// backslash (C:\Data\a.txt\ for a file). On success *name is a task-allocated
// string (CoTaskMemFree); on failure it is null.
HRESULT GetItemPathName(IShellItem* item, wchar_t** name);
