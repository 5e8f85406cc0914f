// Catches: commands lost between the event list, the send list and the buffer when the watcher is
// killed. Kills the real watcher at random moments of its firings and shutdowns, with the real
// plftp sending to a folder, and restarts it; at the end the remote folder must equal the
// watched one. PELLARO_KILLS: how many kills (25); PELLARO_KILL_SEED: the random seed (1207).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "base/win_handles.h"
#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kTimeoutMs = 60000;

int EnvNumber(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

// One change of the folder, as a user would make it.
void Change(std::mt19937& random, const fs::path& folder) {
    const fs::path dir = random() % 2 ? folder : folder / "sub";
    fs::create_directories(dir);
    const fs::path file = dir / ("f" + std::to_string(random() % 12) + ".txt");
    const fs::path other = dir / ("f" + std::to_string(random() % 12) + ".txt");
    std::error_code ignored;
    const unsigned what = random() % 4;
    if (what == 0) fs::remove(file, ignored);
    if (what == 1 && fs::exists(file) && !fs::exists(other)) fs::rename(file, other, ignored);
    if (what > 1) WriteFileBytes(file, std::to_string(random()));
}

TEST(KillStressE2ETest, KilledWatchersLoseNoChange) {
    const int kills = EnvNumber("PELLARO_KILLS", 25);
    // A fixed seed unless one is given (scripts/kill-stress.sh gives a new one each run).
    const unsigned seed = static_cast<unsigned>(EnvNumber("PELLARO_KILL_SEED", 1207));
    RecordProperty("seed", std::to_string(seed));
    std::printf("kill stress: %d kills, seed %u\n", kills, seed);
    std::fflush(stdout);
    WatcherBench bench;
    const fs::path remote = bench.home / "remote";
    fs::create_directories(remote);
    fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                  fs::copy_options::overwrite_existing);
    bench.Config("protocol=file\nroot=" + remote.string() + "\ndir=/\nsub=1\nsync_threshold=3\n");
    const fs::path eventList = bench.DataFile(".txt"), swap = bench.DataFile("_.plftp.swap");
    const fs::path sendList = bench.dataDir / ("~~" + bench.Key() + ".txt");
    std::mt19937 random(seed);

    int lostRounds = 0;
    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        ChildProcess watcher = bench.Start();
        HWND dialog = bench.Dialog(watcher);
        ASSERT_NE(dialog, nullptr);
        for (unsigned i = 1 + random() % 6; i > 0; --i) {
            Change(random, bench.folder);
            Sleep(random() % 40);
        }
        // The round's mark: once it is in the event list, the send list or the
        // remote folder, the watcher has read every change made before it.
        const std::string mark = "mark" + std::to_string(round) + ".txt";
        WriteFileBytes(bench.folder / mark, "m");
        // A pending send of the whole folder stands for the mark too.
        const std::string folderWide = "-ldir=" + bench.folderAnsi + "\\|";
        const auto covers = [&](const std::string& list) {
            for (std::size_t at = 0; (at = list.find(folderWide, at)) != std::string::npos; ++at) {
                if (list.compare(at + folderWide.size(), 10, "-filename=") != 0) return true;
            }
            return list.find(mark) != std::string::npos;
        };
        lostRounds += !WaitUntil(
            [&] {
                return covers(ReadFileBytes(eventList)) || covers(ReadFileBytes(sendList)) ||
                       fs::exists(remote / mark);
            },
            kTimeoutMs);
        // A kill during the firings, or during the shutdown.
        if (random() % 3 == 0) PostMessageW(dialog, WM_CLOSE, 0, 0);
        Sleep(random() % 1500);
        TerminateProcess(watcher.process.Get(), 9);
        WaitForExit(watcher, kTimeoutMs, nullptr);
        // A tool the killed watcher started runs on to its end (its swap file names it).
        WaitUntil(
            [&] {
                const std::string line = ReadFileBytes(swap);
                const DWORD id = line.size() > 6 ? std::strtoul(line.c_str() + 6, nullptr, 10) : 0;
                const UniqueHandle tool(id ? OpenProcess(SYNCHRONIZE, FALSE, id) : nullptr);
                return !tool || WaitForSingleObject(tool.Get(), 0) != WAIT_TIMEOUT;
            },
            kTimeoutMs);
    }
    EXPECT_EQ(lostRounds, 0) << "rounds whose changes the watcher never read";

    ChildProcess last = bench.Start();
    ASSERT_NE(bench.Dialog(last), nullptr);
    EXPECT_EQ(bench.Close(last), 0);
    EXPECT_EQ(FolderTree(remote), FolderTree(bench.folder))
        << "seed " << seed << "\n"
        << ReadFileBytes(bench.DataFile("_plftp.log"));
    EXPECT_EQ(ReadFileBytes(bench.DataFile("_plerror.txt")), "");
}

}  // namespace
