// FTP at a distance: how long one whole-folder put of plftp takes against
// Debian's lftp (`mirror -R`, on one connection and with --parallel=4) when the
// server is far away. The test server (pyftpdlib, a thread a connection) sends
// each reply no sooner than the given delay after what it answers came in, as a
// network with that round trip does. A tree of 1,000 files of 1-8 KB in 20
// folders (bytes from a fixed seed) goes to an empty home folder of a server of
// its own for each of the three, delay by delay; prints one line a delay:
//   delay <ms> ms: lftp <s> s, lftp --parallel=4 <s> s, plftp <s> s; <n> missing or different
// `distance_bench [files] [ftp|ftps] [delay ms...]` (defaults: 1000 ftp 0 10 25 50); "ftps" runs
// all three over TLS (lftp forced to encrypt the login and the data, plftp with protocol=ftps).
// Run under the Wine bench of the build tree (the Windows build with tests).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/ftp_server_win.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kGiveUpMs = 1800000;

std::vector<fs::path> MakeTree(const fs::path& root, int count) {
    std::mt19937 random(20261210);
    std::vector<fs::path> files;
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        const fs::path relative =
            fs::path("d" + std::to_string(i % 20)) / ("f" + std::to_string(i) + ".bin");
        fs::create_directories(root / relative.parent_path());
        bytes.resize(1024 + random() % (7 * 1024));
        for (char& ch : bytes) ch = static_cast<char>(random());
        WriteFileBytes(root / relative, bytes);
        files.push_back(relative);
    }
    return files;
}

double Seconds(ULONGLONG from) { return static_cast<double>(GetTickCount64() - from) / 1000.0; }

// A Linux path of this machine, unquoted ("" when there is none).
std::string LinuxPath(const fs::path& path) {
    const std::wstring quoted = ftp_server_detail::UnixPath(path);  // "\"path\" "
    return quoted.size() < 3 ? std::string()
                             : fs::path(quoted.substr(1, quoted.size() - 3)).string();
}

// lftp's mirror -R of `source` into the home of `server`; its time, or -1.
// Started from under Wine, a Linux program gives no handle back: the script
// says when lftp has ended, and how.
double Lftp(const fs::path& work, const fs::path& source, const FtpServer& server, bool tls,
            int parallel) {
    const fs::path done = work / "lftp.done", script = work / "lftp.sh";
    std::error_code ignored;
    fs::remove(done, ignored);
    const std::string encrypt = tls ? "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                                      "set ssl:ca-file \"" +
                                          LinuxPath(server.CaFile()) + "\"; "
                                    : "";
    WriteFileBytes(
        script, "/usr/bin/lftp -c 'set cmd:fail-exit yes; " + encrypt +
                    "open -u pel,benchpass -p " + std::to_string(server.Port()) +
                    " 127.0.0.1; mirror -R --no-perms --parallel=" + std::to_string(parallel) +
                    " \"" + LinuxPath(source) + "\" /' > \"" + LinuxPath(work / "lftp.log") +
                    "\" 2>&1\necho $? > \"" + LinuxPath(done) + ".part\"\nmv \"" + LinuxPath(done) +
                    ".part\" \"" + LinuxPath(done) + "\"\n");
    const ULONGLONG begin = GetTickCount64();
    StartProcess(L"Z:\\bin\\sh " + ftp_server_detail::UnixPath(script));
    if (!WaitUntil([&] { return fs::exists(done); }, kGiveUpMs)) return -1;
    return ReadFileBytes(done).rfind("0", 0) == 0 ? Seconds(begin) : -1;
}

// One whole-folder put of `source` by plftp into the home of `server`; its time, or -1.
double Plftp(const fs::path& work, const fs::path& source, const FtpServer& server, bool tls) {
    const fs::path data = work / "tool-data";
    fs::create_directories(data);
    const fs::path config = data / "tool_put.config";
    WriteFileBytes(config, std::string("cmd=put\ndir=/\nprotocol=") + (tls ? "ftps" : "ftp") +
                               "\nip=127.0.0.1\nport=" + std::to_string(server.Port()) +
                               "\nusername=pel\npassword=YmVuY2hwYXNz\nencoding=utf8\n" +
                               (tls ? "cafile=" + server.CaFile().string() + "\n" : ""));
    const ULONGLONG begin = GetTickCount64();
    ChildProcess tool =
        StartProcess(L"\"" + ProgramFolder() + L"\\plftp.exe\" -f \"" + config.wstring() +
                         L"\" -path \"" + source.wstring() + L"\"",
                     {{L"APPDATA", data.wstring()}});
    DWORD code = 1;
    const bool ended = WaitForExit(tool, kGiveUpMs, &code);
    KillIfRunning(tool);
    return ended && code == 0 ? Seconds(begin) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 1000;
    const bool tls = argc > 2 && std::string(argv[2]) == "ftps";
    std::vector<unsigned> delays;
    for (int i = 3; i < argc; ++i) delays.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    if (delays.empty()) delays = {0, 10, 25, 50};
    if (GetFileAttributesW(L"Z:\\usr\\bin\\lftp") == INVALID_FILE_ATTRIBUTES) {
        std::printf("left out: no /usr/bin/lftp\n");
        return 0;
    }
    TempDir home;
    const fs::path source = home / "source";
    const std::vector<fs::path> files = MakeTree(source, count);
    std::printf("%d files in 20 folders, %s\n", count, tls ? "ftps" : "ftp");
    for (const unsigned delay : delays) {
        double seconds[3] = {-1, -1, -1};
        int differences = 0;
        for (int run = 0; run < 3; ++run) {
            const fs::path served =
                home / ("served-" + std::to_string(delay) + "-" + std::to_string(run));
            fs::create_directories(served);
            FtpServer server(served, "pel", "benchpass", true,
                             tls ? FtpSecurity::kTls : FtpSecurity::kPlain, delay);
            if (!server.Running()) {
                std::printf("left out: no FTP server (python3-pyftpdlib)\n");
                return 0;
            }
            seconds[run] = run == 2 ? Plftp(home.Path(), source, server, tls)
                                    : Lftp(home.Path(), source, server, tls, run == 0 ? 1 : 4);
            server.Stop();
            for (const fs::path& file : files) {
                differences += ReadFileBytes(source / file) != ReadFileBytes(served / file);
            }
        }
        std::printf(
            "delay %u ms: lftp %.1f s, lftp --parallel=4 %.1f s, plftp %.1f s; %d missing or "
            "different\n",
            delay, seconds[0], seconds[1], seconds[2], differences);
        std::fflush(stdout);
    }
    return 0;
}
