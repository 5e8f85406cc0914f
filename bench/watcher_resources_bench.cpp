// What the real watcher costs at rest: the processor time of a watcher in
// count mode over a minute with nothing changing, and its private memory with
// 100,000 commands pending against an idle one (both after one change, so
// that the buffer's lookup tables exist). The 100,000 commands are left in the
// event list file while another program holds it open, so the start-up firing
// cannot take it over and reads it back into the buffer. Prints:
//   idle: <ms> ms of processor time in <s> s = <percent>% of a core
//   memory: idle <KB> KB, 100000 pending <KB> KB = <bytes> bytes per command
//   burst: 20000 new files in <s> s, all on the remote side <s> s later; after
//   the close <n> missing or different
// The burst runs the real plftp.exe to a folder target, count mode 1,000.
// Run under the Wine bench of the build tree (the Windows build with tests).
// Wine reports neither times nor memory of another process: there they are
// read from the Linux /proc of the watcher's process (through drive Z:),
// resident anonymous memory standing for private bytes.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/platform_win.h"
#include "support/file_holder_win.h"
#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

constexpr int kPending = 100000;
constexpr DWORD kIdleMs = 60000;
constexpr int kBurstFiles = 20000;
constexpr int kFilesPerFolder = 2000;

// Z:\proc\<pid> of the Linux process whose command line holds `needle`.
std::string ProcFolder(const std::string& needle) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return {};
    std::string match;
    do {
        const std::string name = found.cFileName;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string folder = "Z:\\proc\\" + name;
        std::string line = ReadFileBytes(folder + "\\cmdline");
        for (char& ch : line) ch = ch == '\0' ? ' ' : ch;
        if (line.find("PellaroCNW.exe") != std::string::npos &&
            line.find(needle) != std::string::npos) {
            match = folder;
        }
    } while (match.empty() && FindNextFileA(search, &found));
    FindClose(search);
    return match;
}

// Processor time in ms; -1 when it cannot be told.
double ProcessorMs(HANDLE process, const std::string& proc) {
    if (!proc.empty()) {
        // Fields 14 and 15 after the name in parentheses: user and system
        // time in clock ticks of 10 ms.
        const std::string stat = ReadFileBytes(proc + "\\stat");
        unsigned long user = 0, system = 0;
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos ||
            std::sscanf(stat.c_str() + close + 1,
                        " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                        &system) != 2) {
            return -1;
        }
        return static_cast<double>(user + system) * 10.0;
    }
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return -1;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 10000.0;
}

double PrivateKb(HANDLE process, const std::string& proc) {
    if (!proc.empty()) {
        const std::string status = ReadFileBytes(proc + "\\status");
        const std::size_t at = status.find("RssAnon:");
        return at == std::string::npos ? -1 : std::atof(status.c_str() + at + 8);
    }
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
        return -1;
    }
    return static_cast<double>(counters.PrivateUsage) / 1024.0;
}

// Where the watcher's figures are read under Wine; empty on Windows.
std::string ProcOf(const WatcherBench& bench) {
    return IsRunningUnderWine() ? ProcFolder(bench.home.Path().filename().string()) : std::string();
}

std::size_t Lines(const std::filesystem::path& file) {
    std::size_t lines = 0;
    for (char ch : ReadFileBytes(file)) lines += ch == '\n';
    return lines;
}

// A watcher of the bench's folder with `pending` commands left over, up and
// after one change; its private memory in KB, or -1.
double MemoryWith(int pending) {
    WatcherBench bench;
    bench.Config("sync_threshold=1000000\n");
    std::string left;
    for (int i = 0; i < pending; ++i) {
        left += "-cmd=put|-dir=/d" + std::to_string(i / 1000) + "/|-ldir=" + bench.folderAnsi +
                "\\d" + std::to_string(i / 1000) + "\\|-filename=file" + std::to_string(i) +
                ".txt|\r\n";
    }
    WriteFileBytes(bench.DataFile(".txt"), left);
    HeldFile holder(bench.DataFile(".txt"), true, 120000);
    ChildProcess watcher = bench.Start();
    if (!holder.Held() || !bench.Dialog(watcher)) return -1;
    holder.Release();
    WriteFileBytes(bench.folder / "one.txt", "x");
    if (!WaitUntil(
            [&] { return Lines(bench.DataFile(".txt")) >= static_cast<std::size_t>(pending) + 1; },
            60000)) {
        std::printf("the change did not arrive\n");
    }
    Sleep(2000);
    const double kb = PrivateKb(watcher.process.Get(), ProcOf(bench));
    bench.Close(watcher);
    return kb;
}

// Files of `folder` that `remote` lacks or holds with other content.
int Differences(const std::filesystem::path& folder, const std::filesystem::path& remote) {
    int differences = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        const auto there = remote / std::filesystem::relative(entry.path(), folder);
        differences += ReadFileBytes(entry.path()) != ReadFileBytes(there);
    }
    return differences;
}

// 20,000 new files as fast as one program can write them; the watcher must
// bring every one to the remote side, through lost-changes sends if its feed
// overflows.
void Burst() {
    WatcherBench bench;
    const std::filesystem::path remote = bench.home / "remote";
    std::filesystem::create_directories(remote);
    std::filesystem::copy_file(std::filesystem::path(ProgramFolder()) / "plftp.exe",
                               bench.toolDir / "bin" / "plftp.exe",
                               std::filesystem::copy_options::overwrite_existing);
    bench.Config("protocol=file\nroot=" + remote.string() +
                 "\ndir=/\nsub=1\nsync_threshold=1000\n");
    ChildProcess watcher = bench.Start();
    if (!bench.Dialog(watcher)) {
        std::printf("burst: the watcher did not start\n");
        return;
    }
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < kBurstFiles; ++i) {
        const auto dir = bench.folder / ("d" + std::to_string(i / kFilesPerFolder));
        if (i % kFilesPerFolder == 0) std::filesystem::create_directories(dir);
        WriteFileBytes(dir / ("f" + std::to_string(i) + ".txt"), std::to_string(i));
    }
    const ULONGLONG written = GetTickCount64();
    // Until the remote side has as many files, ten minutes at most; their
    // content is compared after the watcher's close. Counted five times a
    // second, folder by folder, a complete folder not again: a walk of the
    // whole remote tree every 20 ms took processor time from the watcher and
    // plftp, and so lengthened what it measured.
    std::vector<bool> complete(kBurstFiles / kFilesPerFolder, false);
    const auto allThere = [&] {
        for (std::size_t d = 0; d < complete.size(); ++d) {
            if (complete[d]) continue;
            int files = 0;
            std::error_code error;
            for (const auto& entry :
                 std::filesystem::directory_iterator(remote / ("d" + std::to_string(d)), error)) {
                files += entry.is_regular_file() && entry.path().extension() == ".txt";
            }
            complete[d] = files >= kFilesPerFolder;
            if (!complete[d]) return false;  // the folders fill in order
        }
        return true;
    };
    for (const ULONGLONG end = written + 600000; !allThere() && GetTickCount64() < end;) Sleep(200);
    const ULONGLONG equal = GetTickCount64();
    bench.Close(watcher);
    std::printf(
        "burst: %d new files in %.1f s, all on the remote side %.1f s later; after the close %d "
        "missing or different\n",
        kBurstFiles, static_cast<double>(written - start) / 1000.0,
        static_cast<double>(equal - written) / 1000.0, Differences(bench.folder, remote));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "burst") {
        Burst();
        return 0;
    }
    {
        WatcherBench bench;
        bench.Config("sync_threshold=100\n");
        ChildProcess watcher = bench.Start();
        if (!bench.Dialog(watcher)) {
            std::printf("the watcher did not start\n");
            return 1;
        }
        Sleep(5000);  // start-up done
        const std::string proc = ProcOf(bench);
        const double before = ProcessorMs(watcher.process.Get(), proc);
        const ULONGLONG since = GetTickCount64();
        Sleep(kIdleMs);
        const double used = ProcessorMs(watcher.process.Get(), proc) - before;
        const double seconds = static_cast<double>(GetTickCount64() - since) / 1000.0;
        std::printf("idle: %.0f ms of processor time in %.0f s = %.3f%% of a core\n", used, seconds,
                    used / (seconds * 10.0));
        bench.Close(watcher);
    }
    const double idle = MemoryWith(0);
    const double loaded = MemoryWith(kPending);
    std::printf("memory: idle %.0f KB, %d pending %.0f KB = %.0f bytes per command\n", idle,
                kPending, loaded, (loaded - idle) * 1024.0 / kPending);
    Burst();
    return 0;
}
