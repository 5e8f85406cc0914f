// pellaro-status: runs a program and prints its whole exit status.
//   pellaro-status <program> [<arguments>...]
// A Linux shell that starts a Windows program under Wine sees only the low 8
// bits of its exit status (plftp's -1010 reads 14, and 3 and -1021 read the
// same). This prints the 32-bit status as a signed number, alone on its
// standard output; the program's own output goes to standard error.
// Exit status: 0 once the status is printed, 1 when the program could not be
// started, 2 without a program. Ended itself, it ends the program with it.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The command line after this program's own name, exactly as it was given.
const wchar_t* ArgumentsAfterName(const wchar_t* line) {
    if (*line == L'"') {
        for (++line; *line && *line != L'"';) ++line;
        if (*line) ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

}  // namespace

int wmain() {
    std::wstring command = ArgumentsAfterName(GetCommandLineW());
    if (command.empty()) {
        std::fputs("usage: pellaro-status <program> [<arguments>...]\n", stderr);
        return 2;
    }
    // The program is ended when this process ends and its last handle to the
    // job closes, however it ends.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process)) {
        std::fprintf(stderr, "pellaro-status: the program could not be started (error %lu)\n",
                     GetLastError());
        return 1;
    }
    if (job) AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("%ld\n", static_cast<long>(static_cast<int32_t>(code)));
    return 0;
}
