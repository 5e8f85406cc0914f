#pragma once
// Owners for what the dialog's list view, clipboard and drop target hold
// beside the shared handle owners: global memory blocks, popup menus and an
// open clipboard.

#include <windows.h>

#include "base/unique_resource.h"

struct GlobalMemoryTraits {
    using Raw = HGLOBAL;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr; }
    static void Close(Raw h) noexcept { GlobalFree(h); }
};
struct MenuTraits {
    using Raw = HMENU;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr; }
    static void Close(Raw h) noexcept { DestroyMenu(h); }
};

using UniqueGlobal = UniqueResource<GlobalMemoryTraits>;
using UniqueMenu = UniqueResource<MenuTraits>;

// The clipboard, open for `owner` while the object lives.
class ClipboardScope {
public:
    explicit ClipboardScope(HWND owner) noexcept : open(OpenClipboard(owner) != FALSE) {}
    ~ClipboardScope() {
        if (open) CloseClipboard();
    }
    ClipboardScope(const ClipboardScope&) = delete;
    ClipboardScope& operator=(const ClipboardScope&) = delete;
    explicit operator bool() const noexcept { return open; }

private:
    bool open;
};

// A global memory block locked while the object lives.
template <class T>
class GlobalLockScope {
public:
    explicit GlobalLockScope(HGLOBAL block) noexcept
        : block(block), data(static_cast<T*>(GlobalLock(block))) {}
    ~GlobalLockScope() {
        if (data) GlobalUnlock(block);
    }
    GlobalLockScope(const GlobalLockScope&) = delete;
    GlobalLockScope& operator=(const GlobalLockScope&) = delete;
    T* Get() const noexcept { return data; }

private:
    HGLOBAL block;
    T* data;
};
