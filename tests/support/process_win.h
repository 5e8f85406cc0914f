// Starts real programs under Wine with a chosen environment, waits for them, finds their windows
// and drives message boxes ("#32770") of any process as a user would.
#pragma once

#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/win_handles.h"

// The folder of the running test executable (where every built program lies).
inline std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH * 4] = {};
    const std::wstring full(path, GetModuleFileNameW(nullptr, path, MAX_PATH * 4));
    return full.substr(0, full.find_last_of(L"\\/"));
}

// The built double <file> of tests/doubles/<name> (<build>/bin/doubles/<name>).
inline std::filesystem::path DoublePath(const std::string& name, const std::string& file) {
    return std::filesystem::path(ProgramFolder()) / "doubles" / name / file;
}

struct ChildProcess {
    UniqueHandle process;
    DWORD id = 0;
    DWORD error = 0;  // GetLastError of a CreateProcessW that failed
    explicit operator bool() const { return static_cast<bool>(process); }
};

using EnvironmentOverrides = std::vector<std::pair<std::wstring, std::wstring>>;

// Starts `commandLine` with this process's environment plus `overrides` (an empty value removes
// the variable).
inline ChildProcess StartProcess(const std::wstring& commandLine,
                                 const EnvironmentOverrides& overrides = {},
                                 const std::wstring& currentFolder = L"") {
    // The environment block with the overrides, sorted as Windows expects.
    auto less = [](const std::wstring& a, const std::wstring& b) {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    };
    std::map<std::wstring, std::wstring, decltype(less)> vars(less);
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* at = block; *at; at += wcslen(at) + 1) {
        // "=C:=C:\x" entries start with "=".
        if (const wchar_t* eq = wcschr(at + 1, L'=')) vars[std::wstring(at, eq)] = eq + 1;
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : overrides) vars[name] = value;
    std::wstring environment;
    for (const auto& [name, value] : vars) {
        if (!value.empty()) environment += name + L"=" + value + L'\0';
    }
    environment += L'\0';
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ChildProcess child;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                       environment.data(), currentFolder.empty() ? nullptr : currentFolder.c_str(),
                       &startup, &info)) {
        CloseHandle(info.hThread);
        child.process.Reset(info.hProcess);
        child.id = info.dwProcessId;
    } else {
        child.error = GetLastError();
    }
    return child;
}

// Waits for the process to end; true with its exit code when it did in time.
inline bool WaitForExit(const ChildProcess& child, DWORD timeoutMs, DWORD* exitCode) {
    DWORD ignored = 0;
    return child && WaitForSingleObject(child.process.Get(), timeoutMs) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(child.process.Get(), exitCode ? exitCode : &ignored);
}

// Ends the process if it still runs (clean-up after a failed test).
inline void KillIfRunning(const ChildProcess& child) {
    if (child && WaitForSingleObject(child.process.Get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(child.process.Get(), 99);
        WaitForSingleObject(child.process.Get(), 5000);
    }
}

// Polls every 20 ms until `ready` is true or the time is up; with `pump`, running the calling
// thread's message loop meanwhile.
inline bool WaitUntil(const std::function<bool()>& ready, DWORD timeoutMs, bool pump = false) {
    for (const ULONGLONG end = GetTickCount64() + timeoutMs;;) {
        for (MSG msg; pump && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (ready()) return true;
        if (GetTickCount64() >= end) return false;
        if (pump) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        } else {
            Sleep(20);
        }
    }
}

inline std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

inline std::wstring WindowClass(HWND window) {
    wchar_t name[256] = {};
    return std::wstring(name, static_cast<std::size_t>(GetClassNameW(window, name, 256)));
}

// A top-level window of the process (of any, for 0) that `match` accepts (any, without it); null
// when none came.
inline HWND WaitForWindow(DWORD processId, DWORD timeoutMs,
                          const std::function<bool(HWND)>& match = {}) {
    struct Search {
        DWORD id;
        const std::function<bool(HWND)>& match;
        HWND found;
    } search{processId, match, nullptr};
    const auto each = [](HWND window, LPARAM param) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if ((s.id == 0 || owner == s.id) && (!s.match || s.match(window))) s.found = window;
        return s.found == nullptr;
    };
    WaitUntil(
        [&] {
            EnumWindows(each, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

// The first visible box titled exactly `caption`, waiting up to timeoutMs; null when none came.
// Hidden dialogs of the same title (which FindWindowW would return) are skipped.
inline HWND FindBox(const std::wstring& caption, DWORD timeoutMs) {
    return WaitForWindow(0, timeoutMs, [&](HWND window) {
        return WindowClass(window) == L"#32770" && IsWindowVisible(window) &&
               WindowText(window) == caption;
    });
}

// Presses the button with this id (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7) as a click would; false
// when the box has no such button. Posted, so a busy box or another process never blocks us.
inline bool PressButton(HWND box, int buttonId) {
    HWND button = GetDlgItem(box, buttonId);
    return button && PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                                  reinterpret_cast<LPARAM>(button));
}
