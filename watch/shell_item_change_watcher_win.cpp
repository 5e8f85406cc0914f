#include "watch/shell_item_change_watcher_win.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <utility>

#include "base/platform_win.h"
#include "base/win_handles.h"
#include "watch/change_feed_win.h"

namespace {

constexpr int kNotifySources = SHCNRF_InterruptLevel | SHCNRF_ShellLevel | SHCNRF_NewDelivery;

// A one-level ID list holding a copy of `id` (a terminator follows it).
UniqueResource<IdListTraits> CloneFirstId(PCUIDLIST_RELATIVE id) {
    const USHORT size = id->mkid.cb;
    auto* copy = static_cast<BYTE*>(CoTaskMemAlloc(size + sizeof(USHORT)));
    if (!copy) return UniqueResource<IdListTraits>();
    std::memcpy(copy, id, size);
    std::memset(copy + size, 0, sizeof(USHORT));
    return UniqueResource<IdListTraits>(reinterpret_cast<PIDLIST_ABSOLUTE>(copy));
}

PCUIDLIST_RELATIVE NextId(PCUIDLIST_RELATIVE id) {
    return reinterpret_cast<PCUIDLIST_RELATIVE>(reinterpret_cast<const BYTE*>(id) + id->mkid.cb);
}

using CreateItemWithParentFn = HRESULT(WINAPI*)(PCIDLIST_ABSOLUTE, IShellFolder*, PCUITEMID_CHILD,
                                                REFIID, void**);

// SHCreateItemWithParent is resolved at run time: Wine exports it as a stub
// whose call aborts the process, so there (or where it is missing) the child
// item is made with SHCreateShellItem, which works at every level.
HRESULT CreateChildItem(IShellFolder* parent, PCUITEMID_CHILD child, IShellItem2** out) {
    *out = nullptr;
    static const CreateItemWithParentFn createWithParent = []() -> CreateItemWithParentFn {
        if (IsRunningUnderWine()) return nullptr;
        HMODULE shell = GetModuleHandleW(L"shell32.dll");
        return shell ? reinterpret_cast<CreateItemWithParentFn>(
                           reinterpret_cast<void*>(GetProcAddress(shell, "SHCreateItemWithParent")))
                     : nullptr;
    }();
    if (createWithParent) {
        return createWithParent(nullptr, parent, child, IID_PPV_ARGS(out));
    }
    ComPtr<IShellItem> item;
    HRESULT hr = SHCreateShellItem(nullptr, parent, child, item.Put());
    if (FAILED(hr)) return hr;
    return item->QueryInterface(IID_PPV_ARGS(out));
}

std::wstring FileSystemPath(IShellItem* item) {
    UniqueTaskString path;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, path.Put())) || !path) return {};
    return path.Get();
}

}  // namespace

CShellItemChangeWatcher::CShellItemChangeWatcher() = default;

CShellItemChangeWatcher::~CShellItemChangeWatcher() { EndWatch(); }

HRESULT CShellItemChangeWatcher::BeginWatch(IShellItem* item, HWND window) {
    EndWatch();
    UniqueIdList idList;
    HRESULT hr = SHGetIDListFromObject(item, idList.Put());
    if (FAILED(hr)) return hr;

    SHChangeNotifyEntry entry{};
    entry.pidl = idList.Get();
    entry.fRecursive = TRUE;
    registrationId = SHChangeNotifyRegister(window, kNotifySources, SHCNE_ALLEVENTS,
                                            kChangeNotifyMessage, 1, &entry);
    if (registrationId == 0) return E_FAIL;

    if (ChangeFeed::IsNeeded()) {
        const std::wstring folder = FileSystemPath(item);
        if (!folder.empty()) {
            feed = std::make_unique<ChangeFeed>();
            if (!feed->Start(folder, window)) feed.reset();
        }
    }
    return S_OK;
}

void CShellItemChangeWatcher::EndWatch() {
    // The feed ends first, its last announcements let through and passed on:
    // a change made just before the end is handled, not dropped. Only then is
    // the registration ended.
    feed.reset();
    const ULONG ending = std::exchange(registrationId, 0);
    if (ending != 0) SHChangeNotifyDeregister(ending);
}

void CShellItemChangeWatcher::HandleChangeMessage(WPARAM wParam, LPARAM lParam) {
    PIDLIST_ABSOLUTE* idLists = nullptr;
    LONG event = 0;
    HANDLE lock = SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wParam),
                                            static_cast<DWORD>(lParam), &idLists, &event);
    if (!lock) return;
    // Nothing is passed on once the watch has ended.
    if (registrationId != 0 && (event & kDroppedEventMask) == 0) {
        ComPtr<IShellItem2> items[2];
        for (int i = 0; i < 2; ++i) {
            if (idLists && idLists[i]) {
                SHCreateItemFromIDList(idLists[i], IID_PPV_ARGS(items[i].Put()));
            }
        }
        OnShellChange(event, items[0].Get(), items[1].Get());
    }
    SHChangeNotification_Unlock(lock);
}

HRESULT GetItemPathName(IShellItem* item, wchar_t** name) {
    *name = nullptr;
    UniqueIdList idList;
    ComPtr<IShellFolder> folder;
    if (!item || FAILED(SHGetIDListFromObject(item, idList.Put())) ||
        FAILED(SHGetDesktopFolder(folder.Put()))) {
        return E_FAIL;
    }

    std::wstring lastName;
    PCUIDLIST_RELATIVE current = idList.Get();
    if (current->mkid.cb == 0) return E_FAIL;  // the desktop itself has no level to name
    for (;;) {
        UniqueIdList child = CloneFirstId(current);
        if (!child) return E_OUTOFMEMORY;
        ComPtr<IShellItem2> level;
        HRESULT hr = CreateChildItem(folder.Get(), reinterpret_cast<PCUITEMID_CHILD>(child.Get()),
                                     level.Put());
        if (FAILED(hr)) return hr;
        UniqueTaskString levelName;
        hr = level->GetDisplayName(SIGDN_DESKTOPABSOLUTEPARSING, levelName.Put());
        if (FAILED(hr)) return hr;
        lastName = levelName.Get() ? levelName.Get() : L"";

        PCUIDLIST_RELATIVE next = NextId(current);
        if (next->mkid.cb == 0) break;
        ComPtr<IShellFolder> deeper;
        if (FAILED(folder->BindToObject(reinterpret_cast<PCUIDLIST_RELATIVE>(child.Get()), nullptr,
                                        IID_PPV_ARGS(deeper.Put())))) {
            break;  // a folder on the way is gone: name the deepest level reached
        }
        folder = std::move(deeper);
        current = next;
    }

    const std::wstring result = lastName.empty() ? std::wstring() : lastName + L"\\";
    return SHStrDupW(result.c_str(), name);
}
