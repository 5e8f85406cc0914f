// The real watcher under Wine against damaged or held files: whatever it finds
// at start-up, it starts, takes a change, closes with 0, keeps other watchers'
// registry entries, and every valid command reaches the tool (the double
// records what it receives).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/file_holder_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

std::string Crlf(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) bytes += line + "\r\n";
    return bytes;
}

const std::string kBinary{'\x01', '\x02', '\xff', '\xfe', '\0', '\x7f', 'b', 'i', 'n', '\0', 'a', 'r', 'y'};

struct Case {
    const char* what;
    // Writes the files (and starts holders) before the watcher starts; returns
    // the valid commands it left.
    std::function<std::vector<std::string>(WatcherBench&, std::vector<std::unique_ptr<HeldFile>>&)>
        setUp;
    // Lines the registry must still hold after the close.
    std::vector<std::string> registryKeeps;
    // The close comes while the files are still held (else once they are let go).
    bool closeHeld = false;
};

std::string Put(const WatcherBench& bench, const std::string& name) {
    return "-cmd=put|-dir=/|-ldir=" + bench.folderAnsi + "\\|-filename=" + name + "|";
}

TEST(BadInputE2ETest, EachStartsRunsClosesWith0AndSendsTheValidCommands) {
    const std::string longLine(3000, 'o');
    const Case cases[] = {
        {"configuration with binary and over-long lines",
         [&](WatcherBench& bench, auto&) {
             bench.Config(kBinary + "\r\nsync_threshold=" + longLine + "\r\n" + longLine + "=" +
                          longLine + "\r\nsync_threshold=1000\r\n" + kBinary);
             return std::vector<std::string>{};
         },
         {}},
        {"registry with garbage, over-long and duplicate lines",
         [&](WatcherBench& bench, auto&) {
             WriteFileBytes(bench.dataDir / "cnwfolder.txt",
                            kBinary + "\r\nC:\\other=0\r\nC:\\" + longLine + "=7\r\n" +
                                bench.folderAnsi + "=0\r\n" + bench.folderAnsi + "=0\r\nno entry\r\n");
             return std::vector<std::string>{};
         },
         {"C:\\other=0", "C:\\" + longLine + "=7"}},
        {"event list with binary and over-long lines",
         [&](WatcherBench& bench, auto&) {
             WriteFileBytes(bench.DataFile(".txt"), Crlf({Put(bench, "a.txt"), kBinary,
                                                          "-cmd=put|" + longLine, Put(bench, "b.txt")}) +
                                                        "-cmd=put|-dir=/|-ldi");
             return std::vector<std::string>{Put(bench, "a.txt"), Put(bench, "b.txt")};
         },
         {}},
        {"send list that cannot be merged (held with no sharing)",
         [&](WatcherBench& bench, auto& held) {
             WriteFileBytes(bench.DataFile(".txt"), Crlf({Put(bench, "a.txt")}));
             const fs::path sendList = bench.dataDir / ("~~" + bench.Key() + ".txt");
             WriteFileBytes(sendList, Crlf({Put(bench, "s.txt")}));
             held.push_back(std::make_unique<HeldFile>(sendList, false, 3000));
             return std::vector<std::string>{Put(bench, "a.txt"), Put(bench, "s.txt")};
         },
         {}},
        {"registry held open by another program",
         [&](WatcherBench& bench, auto& held) {
             WriteFileBytes(bench.dataDir / "cnwfolder.txt", "C:\\other=0\r\n");
             held.push_back(std::make_unique<HeldFile>(bench.dataDir / "cnwfolder.txt", true, 60000));
             return std::vector<std::string>{};
         },
         {"C:\\other=0"},
         true},
        {"event list held open by another program",
         [&](WatcherBench& bench, auto& held) {
             WriteFileBytes(bench.DataFile(".txt"), Crlf({Put(bench, "a.txt")}));
             held.push_back(std::make_unique<HeldFile>(bench.DataFile(".txt"), true, 4000));
             return std::vector<std::string>{Put(bench, "a.txt")};
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WatcherBench bench;
        bench.Config("sync_threshold=1000\n");
        std::vector<std::unique_ptr<HeldFile>> held;
        std::vector<std::string> valid = c.setUp(bench, held);
        for (const auto& holder : held) ASSERT_TRUE(holder->Held());
        ChildProcess watcher = bench.Start();
        ASSERT_NE(bench.Dialog(watcher), nullptr) << "did not start";
        WriteFileBytes(bench.folder / "new.txt", "x");
        valid.push_back(Put(bench, "new.txt"));
        EXPECT_TRUE(WaitUntil(
            [&] { return ReadFileBytes(bench.DataFile(".txt")).find("new.txt") != std::string::npos; },
            20000));
        // Commands the firing could not take over while the event list was
        // held are sent by the next pass, here the last one at the close.
        for (const auto& holder : held) EXPECT_TRUE(c.closeHeld || holder->WaitReleased(20000));
        EXPECT_EQ(bench.Close(watcher), 0);
        KillIfRunning(watcher);

        std::string sent;
        for (const ToolRun& run : bench.Runs()) sent += run.fileList;
        for (const std::string& command : valid) {
            EXPECT_NE(sent.find(command + "\r\n"), std::string::npos) << command << " not sent";
        }
        held.clear();
        const std::string registry = ReadFileBytes(bench.dataDir / "cnwfolder.txt");
        EXPECT_NE(registry.find(bench.folderAnsi + "=0\r\n"), std::string::npos) << registry;
        for (const std::string& kept : c.registryKeeps) {
            EXPECT_NE(registry.find(kept + "\r\n"), std::string::npos) << kept.substr(0, 40);
        }
    }
}

}  // namespace
