// How long a big copy into a watched folder takes to arrive, against a plain
// copy of the same tree by the same runtime. A tree of 5,000 files (about
// 60 MB, in 248 nested folders, sizes and bytes from a fixed seed) is copied
// with CopyFileW into a scratch folder (the plain copy), then into the folder
// of the real PellaroCNW.exe, which sends through the real plftp.exe to a
// folder target in count mode (1,000). The time runs from the start of the
// copy until every file is on the target side at its size; the bytes are
// compared after the watcher's close. While it waits, the bench records the
// spans in which plftp runs (its swap file exists), and at the end reads
// plftp's log. Prints:
//   plain copy: <n> files, <MB> MB in <s> s
//   mirror: copy into the watched folder <s> s, target equal <s> s after the copy started
//   tool: <n> runs seen, running <s> s of it; after the copy ended <s> s, of it <s> s with no run
//   log: <n> file puts (<n> after the copy ended), <n> folder mkdirs, <n> whole-folder syncs
//   ratio: <x> (target equal / plain copy); after the close <n> missing or different
// Before the watcher, plftp alone sends the plain copy to a folder target (one
// whole-folder run: its own speed, without watching); after it, where
// Debian's lftp is installed, the same tree goes to the real FTP server
// (pyftpdlib) twice, by lftp's `mirror -R` and by one whole-folder run of plftp:
//   plftp alone: folder target <s> s (<n> files/s)
//   ftp: lftp mirror -R <s> s, plftp <s> s, ratio <x>; missing or different: lftp <n>, plftp <n>
// `mirror_bench [files] [watch|ftp|ftps]` takes another number of files; with
// "watch" the watcher keeps the transfer tool double (which sends nothing), so
// the copy's time shows what watching alone costs it; "ftp" runs the FTP part
// only, "ftps" the same over TLS (lftp with ftp:ssl-force and its data
// protected, against plftp's protocol=ftps).
// Run under the Wine bench of the build tree (the Windows build with tests).
#include <windows.h>

#include <atomic>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDefaultFiles = 5000;
constexpr DWORD kGiveUpMs = 600000;

struct TreeFile {
    fs::path relative;
    uint64_t size = 0;
    std::size_t folder = 0;  // in Tree::folders
};

struct Tree {
    std::vector<fs::path> folders;  // parents before children
    std::vector<TreeFile> files;    // in the order of their folders
    uint64_t bytes = 0;
};

// Three levels of 8, 6 and 4 folders; three sizes in four are 1-8 KB, most of
// the rest 8-32 KB, one in thirty-three 32-240 KB: about 12 KB a file.
Tree MakeTree(const fs::path& root, int count) {
    Tree tree;
    std::mt19937 random(20261207);
    for (int a = 0; a < 8; ++a) {
        const fs::path top = "t" + std::to_string(a);
        tree.folders.push_back(top);
        for (int b = 0; b < 6; ++b) {
            tree.folders.push_back(top / ("s" + std::to_string(b)));
            for (int c = 0; c < 4; ++c) {
                tree.folders.push_back(top / ("s" + std::to_string(b)) / ("u" + std::to_string(c)));
            }
        }
    }
    for (const fs::path& folder : tree.folders) fs::create_directories(root / folder);
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        const int kind = static_cast<int>(random() % 100);
        const uint64_t size = kind < 75   ? 1024 + random() % (7 * 1024)
                              : kind < 97 ? 8 * 1024 + random() % (24 * 1024)
                                          : 32 * 1024 + random() % (208 * 1024);
        const fs::path folder = fs::path("t" + std::to_string(i % 8)) /
                                ("s" + std::to_string(i / 8 % 6)) /
                                ("u" + std::to_string(i / 48 % 4));
        bytes.resize(size);
        for (char& ch : bytes) ch = static_cast<char>(random());
        const fs::path relative = folder / ("f" + std::to_string(i) + ".bin");
        WriteFileBytes(root / relative, bytes);
        const auto index = static_cast<std::size_t>(
            std::find(tree.folders.begin(), tree.folders.end(), folder) - tree.folders.begin());
        tree.files.push_back({relative, size, index});
        tree.bytes += size;
    }
    std::stable_sort(tree.files.begin(), tree.files.end(),
                     [](const TreeFile& a, const TreeFile& b) { return a.folder < b.folder; });
    return tree;
}

double Seconds(ULONGLONG from, ULONGLONG to) { return static_cast<double>(to - from) / 1000.0; }

// The tree copied as a copy program does it: folder by folder, each made just
// before its files, the files with CopyFileW; false on a failure.
bool CopyTree(const Tree& tree, const fs::path& from, const fs::path& to) {
    std::size_t next = 0;
    for (std::size_t folder = 0; folder < tree.folders.size(); ++folder) {
        if (!CreateDirectoryW((to / tree.folders[folder]).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
        for (; next < tree.files.size() && tree.files[next].folder == folder; ++next) {
            const TreeFile& file = tree.files[next];
            if (!CopyFileW((from / file.relative).c_str(), (to / file.relative).c_str(), FALSE)) {
                return false;
            }
        }
    }
    return true;
}

bool HasSize(const fs::path& path, uint64_t size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           ((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == size;
}

// What plftp's log (and its rotated part) tells of the files and folders sent.
struct LogCounts {
    int filePuts = 0;
    int putsAfterCopy = 0;
    int mkdirs = 0;
    int folderSyncs = 0;
};

LogCounts CountLog(const WatcherBench& bench, const std::string& copyEnded) {
    LogCounts counts;
    const std::string text =
        ReadFileBytes(bench.DataFile("_plftp.log.1")) + ReadFileBytes(bench.DataFile("_plftp.log"));
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        // "<date> <time>\t<action>\t<local>\t<remote>\t<result>"
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string when = line.substr(0, tab);
        const std::string action = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
        if (action == "put" && line.find(".bin\t") != std::string::npos &&
            line.find("\tok") != std::string::npos) {
            ++counts.filePuts;
            counts.putsAfterCopy += when > copyEnded;
        }
        counts.mkdirs += action == "mkdir";
        counts.folderSyncs += action == "sync put";
    }
    return counts;
}

// The local time as plftp's log writes it.
std::string LogTime() {
    SYSTEMTIME time;
    GetLocalTime(&time);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond);
    return text;
}

// Watches plftp's swap file (it exists while a run is under way) every 5 ms.
class RunSampler {
public:
    explicit RunSampler(fs::path swap) : swap(std::move(swap)), thread([this] { Sample(); }) {}
    ~RunSampler() { Stop(); }
    RunSampler(const RunSampler&) = delete;
    RunSampler& operator=(const RunSampler&) = delete;
    void MarkCopyEnded() { copyEnded = GetTickCount64(); }
    void Stop() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    int runs = 0;
    ULONGLONG runningMs = 0;           // while a run was under way
    ULONGLONG runningAfterCopyMs = 0;  // of it, after the copy ended

private:
    void Sample() {
        bool running = false;
        for (ULONGLONG last = GetTickCount64(); !stop; Sleep(5)) {
            const ULONGLONG now = GetTickCount64();
            const bool runsNow = GetFileAttributesW(swap.c_str()) != INVALID_FILE_ATTRIBUTES;
            if (running) {
                runningMs += now - last;
                if (copyEnded != 0)
                    runningAfterCopyMs += now - std::max<ULONGLONG>(last, copyEnded);
            }
            runs += runsNow && !running;
            running = runsNow;
            last = now;
        }
    }
    fs::path swap;
    std::atomic<ULONGLONG> copyEnded{0};
    std::atomic<bool> stop{false};
    std::thread thread;
};

int Differences(const Tree& tree, const fs::path& folder, const fs::path& remote) {
    int differences = 0;
    for (const TreeFile& file : tree.files) {
        differences +=
            ReadFileBytes(folder / file.relative) != ReadFileBytes(remote / file.relative);
    }
    return differences;
}

// One whole-folder send of `folder` by plftp with the configuration `config`;
// its time in seconds, or -1 when it failed.
double ToolAlone(const fs::path& home, const fs::path& folder, const std::string& config) {
    const fs::path data = home / "tool-data";
    fs::create_directories(data);
    const fs::path configFile = data / "tool_put.config";
    WriteFileBytes(configFile, "cmd=put\ndir=/\n" + config);
    const ULONGLONG begin = GetTickCount64();
    ChildProcess tool =
        StartProcess(L"\"" + ProgramFolder() + L"\\plftp.exe\" -f \"" + configFile.wstring() +
                         L"\" -path \"" + folder.wstring() + L"\"",
                     {{L"APPDATA", data.wstring()}});
    DWORD code = 1;
    const bool ended = WaitForExit(tool, kGiveUpMs, &code);
    KillIfRunning(tool);
    return ended && code == 0 ? Seconds(begin, GetTickCount64()) : -1;
}

// A Linux path of this machine, unquoted ("" when there is none).
std::string LinuxPath(const fs::path& path) {
    const std::wstring quoted = ftp_server_detail::UnixPath(path);  // "\"path\" "
    return quoted.size() < 3 ? std::string()
                             : fs::path(quoted.substr(1, quoted.size() - 3)).string();
}

// The tree sent to the real FTP server by lftp's mirror -R, then by plftp, each
// into an empty home folder of its own server (with `tls`, FTPS for both:
// lftp forced to encrypt the login and the data); prints both times.
void CompareFtp(const Tree& tree, const fs::path& home, const fs::path& source, bool tls) {
    const char* name = tls ? "ftps" : "ftp";
    const FtpSecurity security = tls ? FtpSecurity::kTls : FtpSecurity::kPlain;
    if (GetFileAttributesW(L"Z:\\usr\\bin\\lftp") == INVALID_FILE_ATTRIBUTES) {
        std::printf("%s: left out (no /usr/bin/lftp)\n", name);
        return;
    }
    const fs::path lftpHome = home / "ftp-lftp", toolHome = home / "ftp-plftp";
    fs::create_directories(lftpHome);
    fs::create_directories(toolHome);
    const fs::path done = home / "lftp.done", script = home / "lftp.sh";
    double lftpSeconds = -1, toolSeconds = -1;
    {
        FtpServer server(lftpHome, "pel", "benchpass", true, security);
        if (!server.Running()) {
            std::printf("%s: left out (no FTP server: python3-pyftpdlib)\n", name);
            return;
        }
        const std::string encrypt = tls ? "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                                          "set ssl:ca-file \"" +
                                              LinuxPath(server.CaFile()) + "\"; "
                                        : "";
        // Started from under Wine, a Linux program gives no handle back: the
        // script says when lftp has ended, and how.
        WriteFileBytes(script, "/usr/bin/lftp -c 'set cmd:fail-exit yes; " + encrypt +
                                   "open -u pel,benchpass -p " + std::to_string(server.Port()) +
                                   " 127.0.0.1; mirror -R --no-perms \"" + LinuxPath(source) +
                                   "\" /' > \"" + LinuxPath(home / "lftp.log") +
                                   "\" 2>&1\necho $? > \"" + LinuxPath(done) + ".part\"\nmv \"" +
                                   LinuxPath(done) + ".part\" \"" + LinuxPath(done) + "\"\n");
        const ULONGLONG begin = GetTickCount64();
        StartProcess(L"Z:\\bin\\sh " + ftp_server_detail::UnixPath(script));
        if (WaitUntil([&] { return fs::exists(done); }, kGiveUpMs) &&
            ReadFileBytes(done).rfind("0", 0) == 0) {
            lftpSeconds = Seconds(begin, GetTickCount64());
        }
    }
    {
        FtpServer server(toolHome, "pel", "benchpass", true, security);
        toolSeconds = ToolAlone(home, source,
                                std::string("protocol=") + name +
                                    "\nip=127.0.0.1\nport=" + std::to_string(server.Port()) +
                                    "\nusername=pel\npassword=YmVuY2hwYXNz\nencoding=utf8\n" +
                                    (tls ? "cafile=" + server.CaFile().string() + "\n" : ""));
    }
    if (lftpSeconds < 0 || toolSeconds < 0) {
        std::printf("%s: a run failed (lftp %.1f s, plftp %.1f s; see lftp.log or plftp's log)\n",
                    name, lftpSeconds, toolSeconds);
        return;
    }
    std::printf(
        "%s: lftp mirror -R %.1f s, plftp %.1f s, ratio %.2f; missing or different: lftp %d, "
        "plftp %d\n",
        name, lftpSeconds, toolSeconds, toolSeconds / lftpSeconds,
        Differences(tree, source, lftpHome), Differences(tree, source, toolHome));
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : kDefaultFiles;
    const bool watchOnly = argc > 2 && std::string(argv[2]) == "watch";
    const bool ftpsOnly = argc > 2 && std::string(argv[2]) == "ftps";
    const bool ftpOnly = ftpsOnly || (argc > 2 && std::string(argv[2]) == "ftp");
    WatcherBench bench;
    const fs::path source = bench.home / "source";
    const Tree tree = MakeTree(source, count);

    const fs::path plain = bench.home / "plain";
    fs::create_directories(plain);
    const ULONGLONG plainStart = GetTickCount64();
    if (!CopyTree(tree, source, plain)) {
        std::printf("the plain copy failed (%lu)\n", GetLastError());
        return 1;
    }
    const double plainSeconds = Seconds(plainStart, GetTickCount64());
    std::printf("plain copy: %d files, %.1f MB in %.1f s\n", count,
                static_cast<double>(tree.bytes) / 1e6, plainSeconds);
    if (!watchOnly) {
        const fs::path target = bench.home / "tool-target";
        fs::create_directories(target);
        const double toolSeconds =
            ToolAlone(bench.home.Path(), plain, "protocol=file\nroot=" + target.string() + "\n");
        if (toolSeconds < 0) {
            std::printf("plftp alone: the run failed\n");
        } else {
            std::printf("plftp alone: folder target %.1f s (%.0f files/s)\n", toolSeconds,
                        count / toolSeconds);
        }
        std::error_code ignored;
        fs::remove_all(target, ignored);
    }
    std::error_code ignored;
    fs::remove_all(plain, ignored);
    if (ftpOnly) {
        CompareFtp(tree, bench.home.Path(), source, ftpsOnly);
        return 0;
    }

    const fs::path remote = bench.home / "remote";
    fs::create_directories(remote);
    if (!watchOnly) {
        fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                      fs::copy_options::overwrite_existing);
    }
    bench.Config("protocol=file\nroot=" + remote.string() +
                 "\ndir=/\nsub=1\nsync_threshold=1000\n");
    ChildProcess watcher = bench.Start();
    if (!bench.Dialog(watcher)) {
        std::printf("the watcher did not start\n");
        return 1;
    }
    Sleep(3000);  // its start-up synchronisation is over

    const fs::path swap = bench.DataFile("_.plftp.swap");
    RunSampler sampler(swap);
    const ULONGLONG start = GetTickCount64();
    if (!CopyTree(tree, source, bench.folder)) {
        std::printf("the copy into the watched folder failed (%lu)\n", GetLastError());
        return 1;
    }
    const ULONGLONG copied = GetTickCount64();
    sampler.MarkCopyEnded();
    if (watchOnly) {
        Sleep(5000);
        sampler.Stop();
        std::size_t pending = 0;
        for (char ch : ReadFileBytes(bench.DataFile(".txt"))) pending += ch == '\n';
        std::printf(
            "watched copy: %.1f s (the double as the tool: %zu runs, %zu commands pending)\n",
            Seconds(start, copied), bench.Runs().size(), pending);
        bench.Close(watcher);
        return 0;
    }
    const std::string copyEnded = LogTime();

    // Files are checked in order; once all are there, all are checked again.
    std::size_t next = 0;
    ULONGLONG equal = 0;
    while (equal == 0 && GetTickCount64() - start < kGiveUpMs) {
        const ULONGLONG now = GetTickCount64();
        while (next < tree.files.size() &&
               HasSize(remote / tree.files[next].relative, tree.files[next].size)) {
            ++next;
        }
        if (next == tree.files.size()) {
            std::size_t all = 0;
            while (all < tree.files.size() &&
                   HasSize(remote / tree.files[all].relative, tree.files[all].size)) {
                ++all;
            }
            if (all == tree.files.size()) equal = now;
            next = all;
        }
        if (equal == 0) Sleep(100);
    }
    sampler.Stop();
    if (equal == 0) {
        std::printf("mirror: the target was not equal after %lu s\n", kGiveUpMs / 1000);
        bench.Close(watcher);
        return 1;
    }
    const double mirrorSeconds = Seconds(start, equal);
    std::printf(
        "mirror: copy into the watched folder %.1f s, target equal %.1f s after the copy started\n",
        Seconds(start, copied), mirrorSeconds);
    bench.Close(watcher);
    const LogCounts log = CountLog(bench, copyEnded);
    std::printf(
        "tool: %d runs seen, running %.1f s of it; after the copy ended %.1f s, of it "
        "%.1f s with no run\n",
        sampler.runs, static_cast<double>(sampler.runningMs) / 1000.0, Seconds(copied, equal),
        Seconds(copied, equal) - static_cast<double>(sampler.runningAfterCopyMs) / 1000.0);
    std::printf(
        "log: %d file puts (%d after the copy ended), %d folder mkdirs, %d whole-folder syncs\n",
        log.filePuts, log.putsAfterCopy, log.mkdirs, log.folderSyncs);
    std::printf(
        "ratio: %.2f (target equal / plain copy); after the close %d missing or different\n",
        mirrorSeconds / plainSeconds, Differences(tree, bench.folder, remote));
    CompareFtp(tree, bench.home.Path(), source, false);
    return 0;
}
