#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "app/seams.h"
#include "app/text_conversion.h"
#include "app/win_handles.h"
#include "config/folder_registry.h"

namespace {

// How long a watcher waits for another one to finish its registry change. A
// holder shows at most one message box (5 seconds) while it holds the lock.
constexpr DWORD kLockWaitMs = 30000;
// Rename attempts over a target that another program holds open for a moment.
constexpr int kReplaceAttempts = 50;
constexpr uint32_t kReplaceRetryMs = 10;

// The files are text files of the C runtime's text mode: "\r\n" on disk,
// "\n" in memory.
std::string FromTextMode(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += bytes[i];
    }
    return text;
}

std::string ToTextMode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char ch : text) {
        if (ch == '\n') bytes += '\r';
        bytes += ch;
    }
    return bytes;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

bool IsTransientShareError(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

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

RegistryRead ReadRegistryFile(const char* path, std::string& content) {
    content.clear();
    // Shared for delete too, so that a rewrite can rename over the file while
    // this reads it.
    const UniqueFileHandle file(CreateFileW(ToWideString(path ? path : "").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                   ? RegistryRead::Missing
                   : RegistryRead::Failed;
    }
    std::string bytes;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr))
            return RegistryRead::Failed;
        if (got == 0) break;
        bytes.append(buffer, got);
    }
    content = FromTextMode(bytes);
    return RegistryRead::Ok;
}

bool ReplaceRegistryFile(const char* path, std::string_view content) {
    const std::wstring target = ToWideString(path ? path : "");
    // Per process, so that even a writer that gave up waiting for the lock
    // never shares a temporary file.
    const std::wstring temporary = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    bool written = false;
    {
        const UniqueFileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        written = WriteAll(file.Get(), ToTextMode(content)) && FlushFileBuffers(file.Get());
    }
    if (!written) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
        if (MoveFileExW(temporary.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        if (!IsTransientShareError(GetLastError())) break;
        CurrentSeams().sleepMs(kReplaceRetryMs);
    }
    DeleteFileW(temporary.c_str());
    return false;
}

// A named mutex: re-entrant on its owning thread, and given to the next waiter
// (as abandoned) when its holder is terminated, as a watcher ending itself is.
RegistryLock::RegistryLock(const char* path) {
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, LockName(path).c_str()));
    if (!mutex) return;
    const DWORD waited = WaitForSingleObject(mutex.Get(), kLockWaitMs);
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
