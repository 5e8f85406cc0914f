// Catches: a crash, hang, lost command or lost registry entry on damaged or held files.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/file_holder_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

enum File { kNone, kConfig, kRegistry, kEventList, kSendList };

// Whatever it finds at its start, the real watcher starts, takes a change, closes with 0, keeps
// the other watchers' registry entries and sends every valid command.
TEST(BadInputE2ETest, EachStartsRunsClosesWith0AndSendsTheValidCommands) {
    const std::string bin{'\x01', '\x02', '\xff', '\xfe', '\0', '\x7f', 'b', 'i', 'n', '\0', 'y'};
    const std::string lng(3000, 'o');
    const auto put = [](const std::string& name) {
        return "-cmd=put|-dir=/|-ldir={F}\\|-filename=" + name + "|\r\n";
    };
    const struct {
        const char* what;
        std::map<File, std::string> files;   // {F}: the watched folder
        std::vector<std::string> sent = {};  // besides the new file's
        std::vector<std::string> registryKeeps = {};
        File held = kNone;
        bool shared = true;  // as the C runtime holds a file; else with no sharing
        DWORD holdMs = 0;    // the close comes once it is let go, unless it is held a minute
    } rows[] = {
        {"configuration with binary and over-long lines",
         {{kConfig, bin + "\r\nsync_threshold=" + lng + "\r\n" + lng + "=" + lng +
                        "\r\nsync_threshold=1000\r\n" + bin}}},
        {"registry with garbage, over-long and duplicate lines",
         {{kRegistry,
           bin + "\r\nC:\\other=0\r\nC:\\" + lng + "=7\r\n{F}=0\r\n{F}=0\r\nno entry\r\n"}},
         {},
         {"C:\\other=0", "C:\\" + lng + "=7"}},
        {"event list with binary and over-long lines",
         {{kEventList, put("a.txt") + bin + "\r\n-cmd=put|" + lng + "\r\n" + put("b.txt") +
                           "-cmd=put|-dir=/|-ldi"}},
         {"a.txt", "b.txt"}},
        {"send list that cannot be merged (held with no sharing)",
         {{kEventList, put("a.txt")}, {kSendList, put("s.txt")}},
         {"a.txt", "s.txt"},
         {},
         kSendList,
         false,
         3000},
        {"registry held open by another program",
         {{kRegistry, "C:\\other=0\r\n"}},
         {},
         {"C:\\other=0"},
         kRegistry,
         true,
         60000},
        {"event list held open by another program",
         {{kEventList, put("a.txt")}},
         {"a.txt"},
         {},
         kEventList,
         true,
         4000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WatcherBench bench;
        const auto local = [&](std::string text) {
            for (std::size_t at; (at = text.find("{F}")) != std::string::npos;) {
                text.replace(at, 3, bench.folderAnsi);
            }
            return text;
        };
        const std::map<File, fs::path> paths = {
            {kConfig, bench.DataFile("_put.config")},
            {kRegistry, bench.dataDir / "cnwfolder.txt"},
            {kEventList, bench.DataFile(".txt")},
            {kSendList, bench.dataDir / ("~~" + bench.Key() + ".txt")}};
        bench.Config(row.files.count(kConfig) ? row.files.at(kConfig) : "sync_threshold=1000\n");
        for (const auto& [file, text] : row.files) WriteFileBytes(paths.at(file), local(text));
        std::unique_ptr<HeldFile> held;
        if (row.held != kNone) {
            held = std::make_unique<HeldFile>(paths.at(row.held), row.shared, row.holdMs);
            ASSERT_TRUE(held->Held());
        }
        ChildProcess watcher = bench.Start();
        ASSERT_NE(bench.Dialog(watcher), nullptr) << "did not start";
        WriteFileBytes(bench.folder / "new.txt", "x");
        EXPECT_TRUE(WaitUntil(
            [&] {
                return ReadFileBytes(paths.at(kEventList)).find("new.txt") != std::string::npos;
            },
            20000));
        // Commands the firing could not take over while the event list was held are sent by the
        // next pass, here the last one at the close.
        EXPECT_TRUE(!held || row.holdMs >= 60000 || held->WaitReleased(20000));
        EXPECT_EQ(bench.Close(watcher), 0);
        KillIfRunning(watcher);
        held.reset();

        std::string sent;
        for (const ToolRun& run : bench.Runs()) sent += run.fileList;
        for (const std::string& name : row.sent) {
            EXPECT_NE(sent.find(local(put(name))), std::string::npos) << name << " not sent";
        }
        EXPECT_NE(sent.find(local(put("new.txt"))), std::string::npos) << "the change not sent";
        const std::string registry = ReadFileBytes(paths.at(kRegistry));
        for (const std::string& kept : row.registryKeeps) {
            EXPECT_NE(registry.find(kept + "\r\n"), std::string::npos) << kept.substr(0, 40);
        }
        EXPECT_NE(registry.find(bench.folderAnsi + "=0\r\n"), std::string::npos) << registry;
    }
}

}  // namespace
