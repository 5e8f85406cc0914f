// Kills the real watcher at random moments of its firings and of its shutdown,
// with the real transfer tool sending to a folder, and restarts it: at the end
// the remote folder must equal the watched one. Catches commands lost between
// the event list, the send list and the buffer when a process dies.
// PELLARO_KILLS sets the number of kills (25 by default), PELLARO_KILL_SEED
// the random seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kTimeoutMs = 60000;

int EnvNumber(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

class KillStress {
public:
    explicit KillStress(unsigned seed) : random(seed) {}

    // One change of the folder, as a user would make it.
    void Change(const fs::path& folder) {
        const fs::path dir = Pick(2) == 0 ? folder : folder / "sub";
        fs::create_directories(dir);
        const fs::path file = dir / ("f" + std::to_string(Pick(12)) + ".txt");
        const fs::path other = dir / ("f" + std::to_string(Pick(12)) + ".txt");
        std::error_code ignored;
        switch (Pick(4)) {
            case 0:
                fs::remove(file, ignored);
                break;
            case 1:
                if (fs::exists(file) && !fs::exists(other)) fs::rename(file, other, ignored);
                break;
            default:
                WriteFileBytes(file, std::to_string(random()));
        }
    }
    unsigned Pick(unsigned n) { return static_cast<unsigned>(random() % n); }

private:
    std::mt19937 random;
};

TEST(KillStressE2ETest, KilledWatchersLoseNoChange) {
    const int kills = EnvNumber("PELLARO_KILLS", 25);
    const int chosen = EnvNumber("PELLARO_KILL_SEED", 0);
    const unsigned seed =
        chosen != 0 ? static_cast<unsigned>(chosen) : static_cast<unsigned>(GetTickCount64());
    RecordProperty("seed", std::to_string(seed));
    WatcherBench bench;
    const fs::path remote = bench.home / "remote";
    fs::create_directories(remote);
    fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                  fs::copy_options::overwrite_existing);
    bench.Config("protocol=file\nroot=" + remote.string() + "\ndir=/\nsub=1\nsync_threshold=3\n");
    const fs::path eventList = bench.DataFile(".txt");
    const fs::path sendList = bench.dataDir / ("~~" + bench.Key() + ".txt");
    const fs::path swap = bench.DataFile("_.plftp.swap");
    KillStress stress(seed);

    int lostRounds = 0;
    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        ChildProcess watcher = bench.Start();
        HWND dialog = bench.Dialog(watcher);
        ASSERT_NE(dialog, nullptr);
        for (unsigned i = 1 + stress.Pick(6); i > 0; --i) {
            stress.Change(bench.folder);
            Sleep(stress.Pick(40));
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
        const bool seen = WaitUntil(
            [&] {
                return covers(ReadFileBytes(eventList)) || covers(ReadFileBytes(sendList)) ||
                       fs::exists(remote / mark);
            },
            kTimeoutMs);
        lostRounds += seen ? 0 : 1;
        // A kill during the firings, or during the shutdown.
        if (stress.Pick(3) == 0) PostMessageW(dialog, WM_CLOSE, 0, 0);
        Sleep(stress.Pick(1500));
        TerminateProcess(watcher.process.Get(), 9);
        WaitForExit(watcher, kTimeoutMs, nullptr);
        // A tool the killed watcher started runs on to its end.
        WaitUntil([&] { return !fs::exists(swap); }, kTimeoutMs);
    }
    EXPECT_EQ(lostRounds, 0) << "rounds whose changes the watcher never read";

    ChildProcess last = bench.Start();
    ASSERT_NE(bench.Dialog(last), nullptr);
    EXPECT_EQ(bench.Close(last), 0);
    EXPECT_EQ(FolderTree(remote), FolderTree(bench.folder))
        << "seed " << seed << "\n" << ReadFileBytes(bench.DataFile("_plftp.log"));
    EXPECT_EQ(ReadFileBytes(bench.DataFile("_plerror.txt")), "");
}

}  // namespace
