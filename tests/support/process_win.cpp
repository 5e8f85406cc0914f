// Starts real programs under Wine with a chosen environment, waits for them, finds their windows.
#include "support/process_win.h"

#include <map>

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH * 4] = {};
    const std::wstring full(path, GetModuleFileNameW(nullptr, path, MAX_PATH * 4));
    return full.substr(0, full.find_last_of(L"\\/"));
}

ChildProcess StartProcess(const std::wstring& commandLine, const EnvironmentOverrides& overrides,
                          const std::wstring& currentFolder) {
    // The environment block with the overrides, sorted as Windows expects.
    std::map<std::wstring, std::wstring, bool (*)(const std::wstring&, const std::wstring&)> vars(
        [](const std::wstring& a, const std::wstring& b) {
            return _wcsicmp(a.c_str(), b.c_str()) < 0;
        });
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* at = block; *at; at += wcslen(at) + 1) {
        const std::wstring entry(at);
        const std::size_t eq = entry.find(L'=', 1);  // "=C:=C:\x" entries start with "="
        if (eq != std::wstring::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : overrides) {
        if (value.empty()) {
            vars.erase(name);
        } else {
            vars[name] = value;
        }
    }
    std::wstring environment;
    for (const auto& [name, value] : vars) environment += name + L"=" + value + L'\0';
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
    }
    return child;
}

bool WaitForExit(const ChildProcess& child, DWORD timeoutMs, DWORD* exitCode) {
    if (!child || WaitForSingleObject(child.process.Get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(child.process.Get(), &code);
    if (exitCode) *exitCode = code;
    return true;
}

void KillIfRunning(const ChildProcess& child) {
    if (child && WaitForSingleObject(child.process.Get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(child.process.Get(), 99);
        WaitForSingleObject(child.process.Get(), 5000);
    }
}

namespace {

bool Poll(const std::function<bool()>& ready, DWORD timeoutMs, bool pump) {
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

}  // namespace

bool WaitUntil(const std::function<bool()>& ready, DWORD timeoutMs) {
    return Poll(ready, timeoutMs, false);
}

bool PumpUntil(const std::function<bool()>& ready, DWORD timeoutMs) {
    return Poll(ready, timeoutMs, true);
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring WindowClass(HWND window) {
    wchar_t name[256] = {};
    return std::wstring(name, static_cast<std::size_t>(GetClassNameW(window, name, 256)));
}

HWND WaitForWindow(DWORD processId, DWORD timeoutMs, const std::function<bool(HWND)>& match) {
    struct Search {
        DWORD id;
        const std::function<bool(HWND)>& match;
        HWND found;
    } search{processId, match, nullptr};
    WaitUntil(
        [&] {
            EnumWindows(
                [](HWND window, LPARAM param) -> BOOL {
                    auto& s = *reinterpret_cast<Search*>(param);
                    DWORD owner = 0;
                    GetWindowThreadProcessId(window, &owner);
                    if (owner == s.id && (!s.match || s.match(window))) s.found = window;
                    return s.found == nullptr;
                },
                reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}
