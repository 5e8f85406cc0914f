// Starts real programs under Wine with a chosen environment, waits for them, finds their windows.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/win_handles.h"

// The folder of the running test executable (where every built program lies).
std::wstring ProgramFolder();

struct ChildProcess {
    UniqueHandle process;
    DWORD id = 0;
    explicit operator bool() const { return static_cast<bool>(process); }
};

using EnvironmentOverrides = std::vector<std::pair<std::wstring, std::wstring>>;

// Starts `commandLine` with this process's environment plus `overrides` (an empty value removes
// the variable).
ChildProcess StartProcess(const std::wstring& commandLine,
                          const EnvironmentOverrides& overrides = {},
                          const std::wstring& currentFolder = L"");
// Waits for the process to end; true with its exit code when it did in time.
bool WaitForExit(const ChildProcess& child, DWORD timeoutMs, DWORD* exitCode);
// Ends the process if it still runs (clean-up after a failed test).
void KillIfRunning(const ChildProcess& child);

// Polls every 20 ms until `ready` is true or the time is up.
bool WaitUntil(const std::function<bool()>& ready, DWORD timeoutMs);
// The same, running the calling thread's message loop meanwhile.
bool PumpUntil(const std::function<bool()>& ready, DWORD timeoutMs);

std::wstring WindowText(HWND window);
std::wstring WindowClass(HWND window);
// A top-level window of the process that `match` accepts (any, without it); null when none came.
HWND WaitForWindow(DWORD processId, DWORD timeoutMs, const std::function<bool(HWND)>& match = {});
