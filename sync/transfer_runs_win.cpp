#include <windows.h>

#include <cstring>

#include "base/text_conversion.h"
#include "base/win_handles.h"
#include "sync/transfer_runs.h"

namespace {

constexpr int32_t kNotStarted = 99;
constexpr DWORD kShownProgramWaitMs = 1000;

// Programs a user looks at (an editor, a compare tool) are shown and not
// waited for beyond a second; the transfer tool runs hidden to its end.
bool IsShownProgram(const char* commandLine) {
    return std::strstr(commandLine, "NOTEPAD.EXE") || std::strstr(commandLine, "BCompare.exe");
}

}  // namespace

int32_t RunProcess(const char* commandLine, uint32_t& childProcessId, uint32_t& errorCode) {
    childProcessId = 0;
    if (!commandLine) commandLine = "";
    const bool shown = IsShownProgram(commandLine);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = static_cast<WORD>(shown ? SW_SHOW : SW_HIDE);

    SetLastError(0);
    // CreateProcessW may write into the command line: it gets a copy of its own.
    std::wstring wide = ToWideString(commandLine);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        errorCode = GetLastError();
        return kNotStarted;
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    childProcessId = info.dwProcessId;

    WaitForSingleObject(process.Get(), shown ? kShownProgramWaitMs : INFINITE);
    DWORD exitCode = kNotStarted;
    GetExitCodeProcess(process.Get(), &exitCode);
    return static_cast<int32_t>(exitCode);
}
