// Test double of the transfer tool. Every run appends a record to
// "plftp-log.txt" beside the executable:
//   run <number>
//   show <wShowWindow of its start-up information>
//   cmdline <length>\n<the exact command line>\n
//   filelist <length>\n<the exact bytes of the -filelist file>\n   (length -1: none)
// then does what "plftp-control.txt" beside the executable asks, one key a line:
//   exit <s1> <s2> ...     exit status of run 1, 2, ... (the last repeats; 0 without)
//   sleep <ms1> <ms2> ...  time taken by run 1, 2, ... (the last repeats)
//   write <path>|<text>    write <text> and a line feed to <path> on every run
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path ProgramFolder() {
    wchar_t path[4096] = {};
    GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return fs::path(path).parent_path();
}

// The value for run `number` (1-based) from a list; the last value repeats.
long ForRun(const std::vector<long>& values, int number, long fallback) {
    if (values.empty()) return fallback;
    const std::size_t i = static_cast<std::size_t>(number - 1);
    return values[i < values.size() ? i : values.size() - 1];
}

std::vector<long> Numbers(const std::string& text) {
    std::istringstream in(text);
    std::vector<long> values;
    for (long v; in >> v;) values.push_back(v);
    return values;
}

}  // namespace

int wmain() {
    const fs::path folder = ProgramFolder();
    const fs::path logPath = folder / "plftp-log.txt";

    int number = 1;
    {
        std::ifstream log(logPath, std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(log)),
                              std::istreambuf_iterator<char>());
        for (std::size_t pos = 0; (pos = all.find("run ", pos)) != std::string::npos; ++pos) {
            if (pos == 0 || all[pos - 1] == '\n') ++number;
        }
    }

    std::vector<long> statuses;
    std::vector<long> sleeps;
    std::vector<std::string> writes;
    std::ifstream control(folder / "plftp-control.txt", std::ios::binary);
    for (std::string line; std::getline(control, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        const std::string key = line.substr(0, blank);
        const std::string value = line.substr(blank + 1);
        if (key == "exit") statuses = Numbers(value);
        if (key == "sleep") sleeps = Numbers(value);
        if (key == "write") writes.push_back(value);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);

    const std::string commandLine = GetCommandLineA();
    std::string fileList;
    bool haveFileList = false;
    int argc = 0;
    if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        for (int i = 1; i + 1 < argc; ++i) {
            if (std::wstring(argv[i]) != L"-filelist") continue;
            std::ifstream list(fs::path(argv[i + 1]), std::ios::binary);
            if (list) {
                fileList.assign(std::istreambuf_iterator<char>(list),
                                std::istreambuf_iterator<char>());
                haveFileList = true;
            }
        }
        LocalFree(argv);
    }

    {
        std::ofstream log(logPath, std::ios::binary | std::ios::app);
        log << "run " << number << "\n";
        log << "show " << (startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : -1)
            << "\n";
        log << "cmdline " << commandLine.size() << "\n" << commandLine << "\n";
        if (haveFileList) {
            log << "filelist " << fileList.size() << "\n" << fileList << "\n";
        } else {
            log << "filelist -1\n\n";
        }
    }

    for (const std::string& write : writes) {
        const std::size_t bar = write.find('|');
        if (bar == std::string::npos) continue;
        std::ofstream(fs::path(write.substr(0, bar)), std::ios::binary)
            << write.substr(bar + 1) << "\n";
    }
    Sleep(static_cast<DWORD>(ForRun(sleeps, number, 0)));
    return static_cast<int>(ForRun(statuses, number, 0));
}
