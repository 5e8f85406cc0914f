// Stands in for the tray application's pipe server, so that a test scripts each answer and delay.
// plkSysTrayApp.exe <script> <log>. Steps: ready (makes <script>.ready), sleep <ms>, accept (logs
// the request as "<length>\n<bytes>"), reply <text>, disconnect. Exit 0; 2 a step failed; 4 after
// 30 s, whatever the script says.
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pellarolinkPipe";

// The one instance of the pipe. A new instance takes connections from the moment it exists; one
// that was disconnected would refuse them until the next accept.
HANDLE NewInstance(HANDLE old) {
    DisconnectNamedPipe(old);
    CloseHandle(old);
    return CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                            nullptr);
}

bool Step(const std::string& verb, const std::string& argument, HANDLE& pipe,
          const std::filesystem::path& script, const std::filesystem::path& log) {
    if (verb == "disconnect") {
        FlushFileBuffers(pipe);
        pipe = NewInstance(pipe);
        return pipe != INVALID_HANDLE_VALUE;
    }
    if (verb == "ready")
        return !!(std::ofstream(std::filesystem::path(script) += ".ready") << "\n");
    if (verb == "sleep") return Sleep(std::strtoul(argument.c_str(), nullptr, 10)), true;
    if (verb == "accept") {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            return false;
        std::string request;
        for (char buffer[4096];;) {
            DWORD read = 0;
            const BOOL whole = ReadFile(pipe, buffer, sizeof buffer, &read, nullptr);
            request.append(buffer, read);
            if (whole) break;
            if (GetLastError() != ERROR_MORE_DATA) return false;
        }
        return !!(std::ofstream(log, std::ios::binary | std::ios::app) << request.size() << '\n'
                                                                       << request);
    }
    DWORD written = 0;
    return verb == "reply" &&
           WriteFile(pipe, argument.data(), static_cast<DWORD>(argument.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            Sleep(30000);
            ExitProcess(4);
        },
        nullptr, 0, nullptr);
    HANDLE pipe = NewInstance(INVALID_HANDLE_VALUE);
    std::ifstream script(std::filesystem::path(argv[1]), std::ios::binary);
    for (std::string line; pipe != INVALID_HANDLE_VALUE && std::getline(script, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t blank = line.find(' ');
        const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (!line.empty() && !Step(line.substr(0, blank), argument, pipe, argv[1], argv[2])) {
            return 2;
        }
    }
    return pipe == INVALID_HANDLE_VALUE ? 2 : 0;
}
