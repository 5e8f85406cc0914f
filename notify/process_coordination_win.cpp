#include <windows.h>
#include <psapi.h>

#include <string>
#include <vector>

#include "base/seams.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "base/win_handles.h"
#include "notify/process_coordination.h"
#include "notify/process_coordination_win.h"

namespace {

constexpr DWORD kReadModuleNames = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr DWORD kEndProcess = SYNCHRONIZE | PROCESS_TERMINATE;                   // 0x100001
constexpr DWORD kModulePathChars = 2048;

UniqueHandle OpenProcessFor(DWORD access, DWORD processId) {
    return UniqueHandle(OpenProcess(access, FALSE, processId));
}

// Every process id of the machine; the array grows until it holds them all, so
// a busy machine with more than 1024 processes is searched whole.
std::vector<DWORD> ListProcessIds() {
    std::vector<DWORD> ids(1024);
    for (;;) {
        DWORD bytes = 0;
        const DWORD capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!EnumProcesses(ids.data(), capacity, &bytes)) return {};
        if (bytes < capacity || ids.size() >= 65536) {
            ids.resize(bytes / sizeof(DWORD));
            return ids;
        }
        ids.resize(ids.size() * 2);
    }
}

}  // namespace

BOOL CALLBACK PostCloseToProcessWindows(HWND window, LPARAM processId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(processId)) PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

int32_t CloseAndTerminate(uint32_t processId) {
    if (processId == GetCurrentProcessId()) {
        // The own windows get their WM_CLOSE, but this process ends before it
        // could handle one: no close handling runs.
        EnumWindows(PostCloseToProcessWindows, static_cast<LPARAM>(processId));
        CurrentSeams().endProcess(0);
        return kCloseTerminated;
    }
    const UniqueHandle process = OpenProcessFor(kEndProcess, processId);
    if (!process) return kCloseFailed;
    EnumWindows(PostCloseToProcessWindows, static_cast<LPARAM>(processId));
    // No wait for the windows: the target is normally still running and is
    // terminated at once.
    if (WaitForSingleObjectEx(process.Get(), 0, FALSE) == WAIT_OBJECT_0) return kCloseAlreadyEnded;
    return TerminateProcess(process.Get(), 0) ? kCloseTerminated : kCloseFailed;
}

bool IsTrayAppRunning() {
    for (DWORD id : ListProcessIds()) {
        const UniqueHandle process = OpenProcessFor(kReadModuleNames, id);
        if (!process) continue;
        HMODULE first = nullptr;
        DWORD needed = 0;
        if (!EnumProcessModules(process.Get(), &first, sizeof first, &needed) || !first) continue;
        std::wstring path(kModulePathChars, L'\0');
        const DWORD length =
            GetModuleFileNameExW(process.Get(), first, path.data(), kModulePathChars);
        path.resize(length);
        if (IsTrayAppImagePath(path)) return true;
    }
    return false;
}

bool IsWatcherProcess(const char* processIdText) {
    const uint32_t processId = ParseProcessId(processIdText ? processIdText : "");
    if (processId == 0) return false;
    std::wstring path(kModulePathChars, L'\0');
    {
        const UniqueHandle process = OpenProcessFor(kReadModuleNames, processId);
        if (!process) return false;
        const DWORD length =
            GetModuleFileNameExW(process.Get(), nullptr, path.data(), kModulePathChars);
        if (length == 0) return false;
        path.resize(length);
    }
    return IsWatcherImagePath(path);
}

bool IsRemoteDrive() {
    const std::wstring path = ToWideString(State().watchedPath.Str());
    const std::wstring root = VolumeRootOf(path);
    return GetDriveTypeW(root.empty() ? path.c_str() : root.c_str()) == DRIVE_REMOTE;
}
