// What the sync record costs and gives, on a folder of 20,000 small files in 100 folders sent
// once to a folder target (or, with "ftp", to the real FTP server):
//   first send: <s> s                       plftp's first whole-folder put (a merge)
//   nothing to do: <s> s                    a whole-folder put once more, nothing changed
//   record: <n> items, <B> bytes on disk, <B> bytes a record item in memory
//   start: Watching after <s> s, the 10 changed files on the target after <s> s (or "never")
// The last line: 10 files rewritten while no watcher ran, then the real watcher started in
// count mode; the time runs from its start to its dialog ("Watching"), and to the 10 files on
// the target with their new bytes (60 s at most). The programs come from the bench's own folder,
// or from PELLARO_BENCH_PROGRAMS (another build's bin folder: the code before the record).
//   record_bench [files] [ftp]
// Run under the Wine bench of the build tree.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"
#include "tools/plftp/sync_record.h"

// Every byte this process asks of the heap, for the record's share of it.
std::atomic<uint64_t> allocated{0};

void* operator new(std::size_t size) {
    allocated += size;
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

namespace fs = std::filesystem;

double Seconds(ULONGLONG from, ULONGLONG to) { return static_cast<double>(to - from) / 1000.0; }

std::wstring Programs() {
    const char* other = std::getenv("PELLARO_BENCH_PROGRAMS");
    return other && *other ? ToWideString(other) : ProgramFolder();
}

std::string FileName(int i) {
    return "folder " + std::to_string(i % 100) + "/file " + std::to_string(i) + ".txt";
}

// The heap a record of `items` entries of these paths asks for (the allocator's own overhead
// not counted), an item's share.
double RecordBytesPerItem(int items) {
    std::vector<std::wstring> paths;
    for (int i = 0; i < items; ++i) paths.push_back(ToWideString(FileName(i)));
    const uint64_t before = allocated;
    auto record = std::make_unique<CSyncRecord>();
    for (const std::wstring& path : paths) {
        record->Set({path, false, {4000, 133000000000000000}, {4000, 0}});
    }
    return static_cast<double>(allocated - before) / items;
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
    const bool ftp = argc > 2 && std::string(argv[2]) == "ftp";
    WatcherBench bench;
    fs::copy_file(fs::path(Programs()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                  fs::copy_options::overwrite_existing);
    const fs::path remote = bench.home / "remote";
    fs::create_directories(remote);
    std::string config = "protocol=file\nroot=" + remote.string() + "\ndir=/\n";
    std::unique_ptr<FtpServer> server;
    if (ftp) {
        server = std::make_unique<FtpServer>(remote, "pel", "s3cret pass");
        if (!server->Running()) {
            std::printf("no FTP server (python3-pyftpdlib)\n");
            return 1;
        }
        config = "protocol=ftp\nip=127.0.0.1\nport=" + std::to_string(server->Port()) +
                 "\nusername=pel\npassword=czNjcmV0IHBhc3M=\nencoding=utf8\ndir=/\n";
    }
    bench.Config(config + "sub=1\nsync_threshold=1000\n");
    for (int i = 0; i < files; ++i) {
        const fs::path file = bench.folder / fs::u8path(FileName(i));
        if (i < 100) fs::create_directories(file.parent_path());
        WriteFileBytes(file, std::string(200 + i % 4000, static_cast<char>('a' + i % 26)));
    }
    const auto put = [&] {
        const ULONGLONG start = GetTickCount64();
        ChildProcess run = StartProcess(L"\"" + (bench.toolDir / "bin" / "plftp.exe").wstring() +
                                            L"\" -f \"" + bench.DataFile("_put.config").wstring() +
                                            L"\" -path \"" + bench.folder.wstring() + L"\"",
                                        {{L"APPDATA", bench.appData.wstring()}});
        DWORD code = 1;
        WaitForExit(run, 3600000, &code);
        return std::pair(Seconds(start, GetTickCount64()), code);
    };
    const auto [first, firstCode] = put();
    std::printf("first send: %.1f s (status %ld)\n", first, static_cast<long>(firstCode));
    const auto [again, againCode] = put();
    std::printf("nothing to do: %.1f s (status %ld)\n", again, static_cast<long>(againCode));
    uintmax_t recordBytes = 0;
    for (const auto& item : fs::directory_iterator(bench.dataDir)) {
        if (item.path().extension() == ".record") recordBytes = item.file_size();
    }
    std::printf("record: %d items, %ju bytes on disk, %.0f bytes a record item in memory\n", files,
                recordBytes, RecordBytesPerItem(files));
    std::fflush(stdout);

    // A watcher ran before (its first start is behind it), then stopped; ten files change.
    WriteFileBytes(bench.DataFile("_createdFileList.txt"), "");
    for (int i = 0; i < 10; ++i) {
        WriteFileBytes(bench.folder / fs::u8path(FileName(i * 997 % files)),
                       "changed " + std::to_string(i));
    }
    const ULONGLONG start = GetTickCount64();
    ChildProcess watcher =
        StartProcess(L"\"" + Programs() + L"\\PellaroCNW.exe\" \"" + bench.folder.wstring() + L"\"",
                     {{L"APPDATA", bench.appData.wstring()},
                      {L"PLDIR", bench.toolDir.wstring() + L"\\"},
                      {L"gVerbose", L""}});
    const bool up = bench.Dialog(watcher) != nullptr;
    const double watching = Seconds(start, GetTickCount64());
    const bool arrived = WaitUntil(
        [&] {
            for (int i = 0; i < 10; ++i) {
                if (ReadFileBytes(remote / fs::u8path(FileName(i * 997 % files))) !=
                    "changed " + std::to_string(i)) {
                    return false;
                }
            }
            return true;
        },
        60000);
    const double sent = Seconds(start, GetTickCount64());
    if (arrived) {
        std::printf(
            "start: Watching after %.1f s, the 10 changed files on the target after %.1f s\n",
            watching, sent);
    } else {
        std::printf(
            "start: Watching after %.1f s%s, the 10 changed files on the target: never "
            "(not after %.0f s)\n",
            watching, up ? "" : " (no dialog)", sent);
    }
    bench.Close(watcher);
    KillIfRunning(watcher);
    return 0;
}
