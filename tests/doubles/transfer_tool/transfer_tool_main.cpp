// Stands in for plftp where a test needs what the watcher asked of the tool, or a status it chose.
// Each run appends to plftp-log.txt beside it: "run <n>\nshow <wShowWindow, -1: none>\ncmdline
// <length>\n<command line>\nfilelist <length, -1: none>\n<the -filelist file's bytes>\n". Then it
// does what plftp-control.txt beside it says, one key a line: "exit <s1> <s2> ..." and "sleep <ms1>
// ..." for runs 1, 2, ... (the last repeats; none: 0).
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long ForRun(const std::string& values, int number) {
    std::istringstream in(values);
    long value = 0;
    for (long next; number-- > 0 && in >> next;) value = next;
    return value;
}

}  // namespace

int wmain() {
    wchar_t self[4096] = {};
    GetModuleFileNameW(nullptr, self, 4096);
    const fs::path folder = fs::path(self).parent_path();
    const std::string log = ReadAll(folder / "plftp-log.txt");
    int number = 1;
    for (std::size_t at = 0; (at = log.find("run ", at)) != std::string::npos; ++at) {
        number += at == 0 || log[at - 1] == '\n';
    }
    std::string exits, sleeps;
    std::istringstream control(ReadAll(folder / "plftp-control.txt"));
    for (std::string line; std::getline(control, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("exit ", 0) == 0) exits = line.substr(5);
        if (line.rfind("sleep ", 0) == 0) sleeps = line.substr(6);
    }
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    std::string fileList = "-1\n";
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::wstring(argv[i]) != L"-filelist" || !fs::exists(argv[i + 1])) continue;
        const std::string bytes = ReadAll(argv[i + 1]);
        fileList = std::to_string(bytes.size()) + "\n" + bytes;
    }
    const std::string commandLine = GetCommandLineA();
    std::ofstream(folder / "plftp-log.txt", std::ios::binary | std::ios::app)
        << "run " << number << "\nshow "
        << (startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : -1) << "\ncmdline "
        << commandLine.size() << "\n"
        << commandLine << "\nfilelist " << fileList << "\n";
    Sleep(static_cast<DWORD>(ForRun(sleeps, number)));
    return static_cast<int>(ForRun(exits, number));
}
