// The registry's lock: a named mutex per registry file in the user's session.
#include <windows.h>

#include <cwchar>
#include <string>

#include "base/text_conversion.h"
#include "base/win_handles.h"
#include "config/folder_registry.h"

namespace {

// One lock name per registry file: a hash of its path in lower case, in the
// session's namespace (all watchers of a user run in the user's session).
std::wstring LockName(const char* path) {
    std::wstring wide = ToWideString(path ? path : "");
    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    uint64_t hash = 1469598103934665603ull;
    for (wchar_t ch : wide) {
        hash ^= static_cast<uint16_t>(ch);
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\PellaroCNW.registry.%016llx",
             static_cast<unsigned long long>(hash));
    return name;
}

}  // namespace

// A named mutex: re-entrant on its owning thread, and given to the next waiter
// (as abandoned) when its holder is terminated, as a watcher ending itself is.
RegistryLock::RegistryLock(const char* path, uint32_t waitMs) {
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, LockName(path).c_str()));
    if (!mutex) return;
    const DWORD waited = WaitForSingleObject(mutex.Get(), waitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return;
    held = true;
    native = reinterpret_cast<std::intptr_t>(mutex.Release());
}

RegistryLock::~RegistryLock() {
    if (!held) return;
    const HANDLE mutex = reinterpret_cast<HANDLE>(native);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
