#include "watch/change_event_handler_win.h"

#include "base/win_handles.h"
#include "watch/change_event_handler.h"
#include "watch/shell_item_change_watcher_win.h"

void HandleShellChange(long event, IShellItem2* first, IShellItem2* second) {
    UniqueTaskString firstPath;
    UniqueTaskString secondPath;
    if (!first || FAILED(GetItemPathName(first, firstPath.Put())) || !firstPath) return;
    if (second && (FAILED(GetItemPathName(second, secondPath.Put())) || !secondPath)) return;
    HandleChangeEvent(static_cast<int32_t>(event), firstPath.Get(), secondPath.Get());
}
