#include "support/process_win.h"

#include <map>

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring full(path, n);
    const std::size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : full.substr(0, slash);
}

namespace {

// The environment block with overrides applied, sorted as Windows expects.
std::wstring BuildEnvironment(const EnvironmentOverrides& overrides) {
    std::map<std::wstring, std::wstring, bool (*)(const std::wstring&, const std::wstring&)> vars(
        [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* at = block; *at; at += wcslen(at) + 1) {
            const std::wstring entry(at);
            const std::size_t eq = entry.find(L'=', 1);  // "=C:=C:\x" entries start with "="
            if (eq == std::wstring::npos) continue;
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : overrides) {
        if (value.empty()) {
            vars.erase(name);
        } else {
            vars[name] = value;
        }
    }
    std::wstring result;
    for (const auto& [name, value] : vars) {
        result += name + L"=" + value;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

}  // namespace

ChildProcess StartProcess(const std::wstring& commandLine, const EnvironmentOverrides& overrides,
                          const std::wstring& currentFolder) {
    std::wstring mutableLine = commandLine;
    std::wstring environment = BuildEnvironment(overrides);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ChildProcess child;
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, environment.data(),
                        currentFolder.empty() ? nullptr : currentFolder.c_str(), &startup, &info)) {
        return child;
    }
    CloseHandle(info.hThread);
    child.process.Reset(info.hProcess);
    child.id = info.dwProcessId;
    return child;
}

bool WaitForExit(const ChildProcess& child, DWORD timeoutMs, DWORD* exitCode) {
    if (!child) return false;
    if (WaitForSingleObject(child.process.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
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

std::vector<HWND> TopLevelWindowsOf(DWORD processId) {
    struct Search {
        DWORD id;
        std::vector<HWND> found;
    } search{processId, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->id) s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, static_cast<int>(std::size(text)));
    return text;
}

std::wstring WindowClass(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, static_cast<int>(std::size(name)));
    return name;
}

bool WaitUntil(const std::function<bool()>& ready, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (ready()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
}

bool PumpUntil(const std::function<bool()>& ready, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (ready()) return true;
        if (GetTickCount64() >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

HWND WaitForWindow(DWORD processId, const std::wstring& windowClass, const std::wstring& title,
                   DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : TopLevelWindowsOf(processId)) {
                if (WindowClass(w) == windowClass && WindowText(w) == title) {
                    found = w;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}
