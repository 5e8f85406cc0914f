// Test double of the tray application's pipe server.
//
//   plkSysTrayApp.exe <script file> <log file> [lifetime seconds]
//
// It creates the one instance of "\\.\pipe\pellarolinkPipe" and then runs the
// script, one step per line:
//   hold            connect to its own pipe, so that clients find it busy
//   release         drop that connection again (the pipe is free from then on)
//   ready [name]    create "<script file>.ready<name>" (the test waits for it)
//   sleep <ms>      pause
//   accept          wait for a client and read its request; the request's
//                   exact bytes are appended to the log as "<length>\n<bytes>"
//   reply <text>    write <text> (no terminator) as one message
//   disconnect      flush and drop the client; the pipe takes the next one from then on
// It ends with exit code 0 after the last step, 2 when a step fails, and 4 when
// its lifetime (30 seconds unless given) runs out, so no test leaves it behind.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pellarolinkPipe";
constexpr int kStepFailed = 2;
constexpr int kLifetimeOver = 4;

DWORD WINAPI Watchdog(void* seconds) {
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(seconds)) * 1000u);
    ExitProcess(kLifetimeOver);
}

bool AppendRequest(const std::wstring& logPath, const std::string& bytes) {
    std::ofstream log(std::filesystem::path(logPath), std::ios::binary | std::ios::app);
    log << bytes.size() << '\n';
    log.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(log);
}

// The one instance of the pipe. A new instance takes connections from the
// moment it exists, so a "ready" step after it is true at once; an instance
// that was disconnected would refuse them until the next accept.
HANDLE NewInstance() {
    return CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                            nullptr);
}

HANDLE Renew(HANDLE pipe) {
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return NewInstance();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return kStepFailed;
    const std::wstring scriptPath = argv[1];
    const std::wstring logPath = argv[2];
    const long lifetime = argc > 3 ? std::wcstol(argv[3], nullptr, 10) : 30;
    CreateThread(nullptr, 0, Watchdog,
                 reinterpret_cast<void*>(static_cast<uintptr_t>(lifetime > 0 ? lifetime : 30)), 0,
                 nullptr);

    std::ifstream script(std::filesystem::path(scriptPath), std::ios::binary);
    std::vector<std::string> steps;
    for (std::string line; std::getline(script, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) steps.push_back(line);
    }

    HANDLE pipe = NewInstance();
    if (pipe == INVALID_HANDLE_VALUE) return kStepFailed;
    HANDLE selfClient = INVALID_HANDLE_VALUE;

    for (const std::string& step : steps) {
        const std::size_t blank = step.find(' ');
        const std::string verb = step.substr(0, blank);
        const std::string argument = blank == std::string::npos ? "" : step.substr(blank + 1);
        if (verb == "hold") {
            selfClient = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
            if (selfClient == INVALID_HANDLE_VALUE) return kStepFailed;
        } else if (verb == "release") {
            CloseHandle(selfClient);
            selfClient = INVALID_HANDLE_VALUE;
            pipe = Renew(pipe);
            if (pipe == INVALID_HANDLE_VALUE) return kStepFailed;
        } else if (verb == "ready") {
            std::ofstream(std::filesystem::path(scriptPath + L".ready" +
                                                std::filesystem::path(argument).wstring()))
                << "ready\n";
        } else if (verb == "sleep") {
            Sleep(static_cast<DWORD>(std::strtoul(argument.c_str(), nullptr, 10)));
        } else if (verb == "accept") {
            if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
                return kStepFailed;
            }
            std::string request;
            char buffer[4096];
            for (;;) {
                DWORD read = 0;
                const BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &read, nullptr);
                request.append(buffer, read);
                if (ok) break;
                if (GetLastError() != ERROR_MORE_DATA) return kStepFailed;
            }
            if (!AppendRequest(logPath, request)) return kStepFailed;
        } else if (verb == "reply") {
            DWORD written = 0;
            if (!WriteFile(pipe, argument.data(), static_cast<DWORD>(argument.size()), &written,
                           nullptr)) {
                return kStepFailed;
            }
        } else if (verb == "disconnect") {
            FlushFileBuffers(pipe);
            pipe = Renew(pipe);
            if (pipe == INVALID_HANDLE_VALUE) return kStepFailed;
        } else {
            std::fprintf(stderr, "unknown step: %s\n", step.c_str());
            return kStepFailed;
        }
    }
    CloseHandle(pipe);
    return 0;
}
