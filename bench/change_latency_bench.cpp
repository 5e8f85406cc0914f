// Measures the road of one change: the time from a file saved in a watched
// folder to the start of the transfer tool, with the real PellaroCNW.exe in
// count mode with a threshold of 1 and the transfer tool double (the time the
// double's log records the run counts as its start). The file is written by
// this process, another process than the watcher's, 20 times; after each run
// the bench waits until the watcher is quiet again, then for a random part of
// a second, so that the saves fall at every point of the timer's one-second
// cycle rather than at one phase of it. Prints every latency and,
// last, a summary:
//   latency over 20 saves: median <ms> ms, worst <ms> ms
// Needs PellaroCNW.exe beside it and the double in doubles\transfer_tool.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/bounded_text.h"
#include "app/folder_key.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSaves = 20;
constexpr auto kQuiet = std::chrono::milliseconds(1500);
constexpr auto kRunTimeout = std::chrono::seconds(10);

fs::path ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the double has logged so far.
std::size_t Runs(const fs::path& log) {
    const std::string text = ReadAll(log);
    std::size_t runs = 0;
    for (std::size_t at = 0; (at = text.find("cmdline ", at)) != std::string::npos; ++at) ++runs;
    return runs;
}

void Save(const fs::path& file) { std::ofstream(file, std::ios::binary) << "saved\r\n"; }

}  // namespace

int main() {
    wchar_t tempPath[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tempPath);
    const fs::path root =
        fs::path(tempPath) / ("pellaro-latency-" + std::to_string(GetCurrentProcessId()));
    const fs::path folder = root / "W";
    const fs::path tool = root / "pl" / "bin";
    const fs::path appData = root / "AppData";
    fs::create_directories(folder);
    fs::create_directories(tool);
    fs::create_directories(appData / "xq" / "pellaro");
    fs::copy_file(ProgramFolder() / "doubles" / "transfer_tool" / "plftp.exe", tool / "plftp.exe");
    BoundedText<512> key;
    DeriveFolderKey(folder.wstring().c_str(), key);
    std::ofstream(appData / "xq" / "pellaro" / (std::string(key.Str()) + "_put.config"))
        << "sync_threshold=1\ndir=/bench\n";

    SetEnvironmentVariableW(L"APPDATA", appData.wstring().c_str());
    SetEnvironmentVariableW(L"PLDIR", (root / "pl").wstring().append(L"\\").c_str());
    std::wstring commandLine = L"\"" + (ProgramFolder() / "PellaroCNW.exe").wstring() + L"\" \"" +
                               folder.wstring() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "could not start the watcher (%lu)\n", GetLastError());
        return 1;
    }
    HWND dialog = nullptr;
    for (int i = 0; i < 3000 && !dialog; ++i) {
        dialog = FindWindowW(L"#32770", L"Watching - W");
        if (!dialog) Sleep(10);
    }
    if (!dialog) {
        std::fprintf(stderr, "the watcher's dialog did not appear\n");
        TerminateProcess(process.hProcess, 1);
        return 1;
    }

    const fs::path log = tool / "plftp-log.txt";
    std::vector<double> latencies;
    std::mt19937 random(2024);
    for (int i = 0; i < kSaves; ++i) {
        Sleep(random() % 1000);
        const std::size_t before = Runs(log);
        Save(folder / ("saved" + std::to_string(i) + ".txt"));
        const auto saved = Clock::now();
        while (Runs(log) == before && Clock::now() - saved < kRunTimeout) Sleep(2);
        const auto started = Clock::now();
        if (Runs(log) == before) {
            std::fprintf(stderr, "save %d: the tool did not run\n", i + 1);
            break;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(started - saved).count());
        std::printf("save %2d: %6.0f ms\n", i + 1, latencies.back());
        // A save can bring a second notification (the write after the
        // creation); let it settle before the next save.
        for (std::size_t runs = Runs(log);;) {
            Sleep(static_cast<DWORD>(kQuiet.count()));
            const std::size_t now = Runs(log);
            if (now == runs) break;
            runs = now;
        }
    }

    PostMessageW(dialog, WM_CLOSE, 0, 0);
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::error_code ec;
    fs::remove_all(root, ec);

    if (latencies.size() != kSaves) return 1;
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    const double median = (sorted[kSaves / 2 - 1] + sorted[kSaves / 2]) / 2;
    std::printf("latency over %d saves: median %.0f ms, worst %.0f ms\n", kSaves, median,
                sorted.back());
    return 0;
}
