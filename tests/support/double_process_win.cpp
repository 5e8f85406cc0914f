#include "support/double_process_win.h"

#include <iterator>
#include <utility>

DoubleProcess::DoubleProcess(const std::filesystem::path& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &info))
        return;
    CloseHandle(info.hThread);
    process = info.hProcess;
    id = info.dwProcessId;
}

DoubleProcess::DoubleProcess(DoubleProcess&& other) noexcept
    : process(std::exchange(other.process, nullptr)), id(std::exchange(other.id, 0)) {}

DoubleProcess& DoubleProcess::operator=(DoubleProcess&& other) noexcept {
    if (this != &other) {
        Kill();
        if (process) CloseHandle(process);
        process = std::exchange(other.process, nullptr);
        id = std::exchange(other.id, 0);
    }
    return *this;
}

DoubleProcess::~DoubleProcess() {
    Kill();
    if (process) CloseHandle(process);
}

std::optional<DWORD> DoubleProcess::WaitExit(uint32_t timeoutMs) const {
    if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) return std::nullopt;
    return code;
}

void DoubleProcess::Kill() {
    if (!process || WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return;
    TerminateProcess(process, 99);
    WaitForSingleObject(process, 10000);
}

std::filesystem::path TestBinaryDir() {
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return std::filesystem::path(path).parent_path();
}

namespace {

struct WindowSearch {
    DWORD processId;
    bool found;
};

BOOL CALLBACK FindOwnedWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId) return TRUE;
    search->found = true;
    return FALSE;
}

}  // namespace

bool WaitForTopLevelWindow(DWORD processId, uint32_t timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        WindowSearch search{processId, false};
        EnumWindows(FindOwnedWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
}
