// Catches: a crash, hang, lost command or lost registry entry on damaged or held files.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/file_holder_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

enum File { kNone, kConfig, kRegistry, kEventList, kSendList };

// Whatever it finds, the watcher runs, closes with 0, keeps others' entries, sends valid commands.
TEST(BadInputE2ETest, EachStartsRunsClosesWith0AndSendsTheValidCommands) {
    const std::string bin{'\x01', '\x02', '\xff', '\xfe', '\0', '\x7f', 'b', 'i', 'n', '\0', 'y'};
    const std::string lng(3000, 'o');
    const auto put = [](const std::string& name) {
        return "-cmd=put|-dir=/|-ldir={F}\\|-filename=" + name + "|\r\n";
    };
    const struct {
        const char* what;
        std::map<File, std::string> files;  // {F}: the watched folder
        std::vector<std::string> kept;      // commands sent besides the new file's, registry lines
        File held = kNone;
        int holdMs = 0;  // 60000 outlasts the close; below 0: held with no sharing
    } rows[] = {
        {"configuration with binary and over-long lines",
         {{kConfig, bin + "\r\nsync_threshold=" + lng + "\r\n" + lng + "=" + lng +
                        "\r\nsync_threshold=1000\r\n" + bin}},
         {}},
        {"registry with garbage, over-long and duplicate lines",
         {{kRegistry,
           bin + "\r\nC:\\other=0\r\nC:\\" + lng + "=7\r\n{F}=0\r\n{F}=0\r\nno entry\r\n"}},
         {"C:\\other=0", "C:\\" + lng + "=7"}},
        {"event list with binary and over-long lines",
         {{kEventList, put("a.txt") + bin + "\r\n-cmd=put|" + lng + "\r\n" + put("b.txt") +
                           "-cmd=put|-dir=/|-ldi"}},
         {put("a.txt"), put("b.txt")}},
        {"send list held, cannot be merged",
         {{kEventList, put("a.txt")}, {kSendList, put("s.txt")}},
         {put("a.txt"), put("s.txt")},
         kSendList,
         -3000},
        {"registry held", {{kRegistry, "C:\\other=0\r\n"}}, {"C:\\other=0"}, kRegistry, 60000},
        {"event list held", {{kEventList, put("a.txt")}}, {put("a.txt")}, kEventList, 4000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WatcherBench bench;
        const auto local = [&](std::string text) {
            for (std::size_t at; (at = text.find("{F}")) != npos;)
                text.replace(at, 3, bench.folderAnsi);
            return text;
        };
        const std::map<File, fs::path> paths = {
            {kConfig, bench.DataFile("_put.config")},
            {kRegistry, bench.dataDir / "cnwfolder.txt"},
            {kEventList, bench.DataFile(".txt")},
            {kSendList, bench.dataDir / ("~~" + bench.Key() + ".txt")}};
        bench.Config(row.files.count(kConfig) ? row.files.at(kConfig) : "sync_threshold=1000\n");
        for (const auto& [file, text] : row.files) WriteFileBytes(paths.at(file), local(text));
        const DWORD holdMs = static_cast<DWORD>(std::max(row.holdMs, -row.holdMs));
        auto held = row.held
                        ? std::make_unique<HeldFile>(paths.at(row.held), row.holdMs > 0, holdMs)
                        : nullptr;
        ASSERT_TRUE(!held || held->Held());
        ChildProcess watcher = bench.Start();
        ASSERT_NE(bench.Dialog(watcher), nullptr) << "did not start";
        WriteFileBytes(bench.folder / "new.txt", "x");
        const auto listed = [&] { return ReadFileBytes(paths.at(kEventList)).find("new.txt"); };
        EXPECT_TRUE(WaitUntil([&] { return listed() != npos; }, 20000));
        // What a firing could not take over from a held event list goes at the close.
        EXPECT_TRUE(!held || row.holdMs >= 60000 || held->WaitReleased(20000));
        EXPECT_EQ(bench.Close(watcher), 0);
        KillIfRunning(watcher);

        std::string sent;
        for (const ToolRun& run : bench.Runs()) sent += run.fileList;
        const std::string registry = ReadFileBytes(paths.at(kRegistry));
        for (const std::string& line : row.kept) {
            const bool command = line[0] == '-';
            EXPECT_NE((command ? sent : registry).find(local(command ? line : line + "\r\n")), npos)
                << line.substr(0, 60) << " lost";
        }
        EXPECT_NE(sent.find(local(put("new.txt"))), npos) << "the change not sent";
        EXPECT_NE(registry.find(bench.folderAnsi + "=0\r\n"), npos) << registry;
    }
}

}  // namespace
