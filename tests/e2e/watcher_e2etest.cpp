// Catches: a start, change or end step of the real watcher that is missing, misordered or lost; a
// crash, hang, lost command or lost registry entry on damaged or held files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/file_holder_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

constexpr auto npos = std::string::npos;

// Runs cmd.exe in the watched folder: the changes come from another process, as a user's do.
bool Cmd(const WatcherBench& bench, const std::wstring& commands) {
    ChildProcess child = StartProcess(L"cmd.exe /c " + commands, {}, bench.folder.wstring());
    return WaitForExit(child, 60000, nullptr);
}

// A hidden watcher refuses a second, keeps a batch over its session's end; the next sends it.
TEST(WatcherE2ETest, ChangesKeptOverTheSessionsEndAreSentByTheNextStart) {
    // A 200-character folder makes the tool's command line longer than the 511 bytes kept of it.
    const std::wstring probe = TempDir().Path().wstring();
    WatcherBench bench(std::wstring(200 - probe.size() - 1, L'd'),
                       L"C:\\pa" + std::to_wstring(GetCurrentProcessId()));
    for (const char* dir : {"sub", "olddir"}) fs::create_directories(bench.folder / dir);
    for (const char* name : {"keep.txt", "gone.txt"}) WriteFileBytes(bench.folder / name, "x");
    bench.Config("sync_threshold=1000\ndir=/home/u\nsub=1\n");
    ChildProcess first = bench.Start();
    HWND dialog = bench.Dialog(first);
    ASSERT_NE(dialog, nullptr);
    // Two round trips through the dialog's loop: the dialog manager's show at its first idle
    // (when the queue first ran empty) lies behind them.
    const auto roundTrips = [&] {
        SendMessageW(dialog, WM_NULL, 0, 0);
        SendMessageW(dialog, WM_NULL, 0, 0);
    };
    roundTrips();
    EXPECT_FALSE(IsWindowVisible(dialog)) << "the dialog showed itself";
    ShowWindow(dialog, SW_SHOWNORMAL);
    roundTrips();
    EXPECT_FALSE(IsWindowVisible(dialog)) << "the dialog stayed shown from outside";

    ChildProcess second = bench.Start();
    DWORD code = 1;
    EXPECT_TRUE(WaitForExit(second, 30000, &code) && code == 0) << "a second watcher went on";
    const fs::path registry = bench.dataDir / "cnwfolder.txt";

    ASSERT_TRUE(
        Cmd(bench,
            L"type nul > sub\\new.txt && ren keep.txt kept.txt && del gone.txt && mkdir newdir "
            L"&& rmdir olddir && type nul > README"));
    const std::string ldir = "|-ldir=" + bench.folderAnsi + "\\";
    const std::string batch = "-cmd=put|-dir=/home/u/sub/" + ldir + "sub\\|-filename=new.txt|\r\n" +
                              "-cmd=rn|-dir=/home/u/" + ldir + "|-from=keep.txt|-to=kept.txt|\r\n" +
                              "-cmd=del|-dir=/home/u/" + ldir + "|-filename=gone.txt|\r\n" +
                              "-cmd=put|-dir=/home/u/newdir/" + ldir +
                              "newdir\\|-sync=1|-sub=1|\r\n" + "-cmd=del|-dir=/home/u/olddir/" +
                              ldir + "olddir\\|-sub=1|\r\n" + "-cmd=put|-dir=/home/u/" + ldir +
                              "|-filename=README|\r\n";
    const fs::path eventList = bench.DataFile(".txt");
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(eventList) == batch; }, 20000))
        << ReadFileBytes(eventList);
    EXPECT_FALSE(IsWindowVisible(dialog)) << "the dialog showed itself while it worked";
    // The session ends: the entry goes and the commands stay, then the session kills the process.
    SendMessageW(dialog, WM_ENDSESSION, TRUE, 0);
    EXPECT_NE(ReadFileBytes(registry).find(bench.folderAnsi + "=0\r\n"), npos);
    EXPECT_EQ(ReadFileBytes(eventList), batch);
    TerminateProcess(first.process.Get(), 9);
    EXPECT_TRUE(WaitForExit(first, 30000, nullptr));
    EXPECT_TRUE(bench.Runs().empty());

    bench.Config("sync_threshold=1\ndir=/home/u\nsub=1\n");
    ChildProcess next = bench.Start();
    ASSERT_TRUE(bench.WaitForRuns(1, 30000));
    EXPECT_EQ(bench.Runs()[0].fileList, batch);
    const std::string sendList = (bench.dataDir / ("~~" + bench.Key() + ".txt")).string();
    EXPECT_EQ(bench.Runs()[0].commandLine, "\"" + bench.toolDir.string() + "\\bin\\plftp\" -f \"" +
                                               bench.DataFile("_put.config").string() +
                                               "\" -filelist \"" + sendList + "\" -path \"" +
                                               bench.folderAnsi + "\"");

    EXPECT_EQ(bench.Close(next), 0);
}

// A change past MAX_PATH is reported as lost, by a message of the change feed's own; one the feed
// reports while the watch ends, in the instant before the close, goes with the final send.
TEST(WatcherE2ETest, ChangesLostAsTheWatchEndsGoWithTheFinalSend) {
    WatcherBench bench;
    bench.Config("sync_threshold=1000\ndir=/\nsub=1\n");
    ChildProcess watcher = bench.Start();
    ASSERT_NE(bench.Dialog(watcher), nullptr);
    const std::wstring deep = L"\\\\?\\" + (bench.folder / std::wstring(250, L'n')).wstring();
    const HANDLE file = CreateFileW(deep.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);
    EXPECT_EQ(bench.Close(watcher), 0);
    const std::string wholeFolder =
        "-cmd=put|-dir=/|-ldir=" + bench.folderAnsi + "\\|-sync=1|-sub=1|";
    const std::vector<ToolRun> runs = bench.Runs();
    EXPECT_TRUE(
        std::any_of(runs.begin(), runs.end(),
                    [&](const ToolRun& run) { return run.fileList.find(wholeFolder) != npos; }))
        << runs.size() << " runs; event list: " << ReadFileBytes(bench.DataFile(".txt"));
}

enum File { kNone, kRegistry, kEventList, kSendList };

// Whatever it finds, the watcher runs, closes with 0, keeps others' entries, sends valid commands.
TEST(WatcherE2ETest, DamagedOrHeldFilesNeitherStopItNorLoseACommand) {
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
            {kRegistry, bench.dataDir / "cnwfolder.txt"},
            {kEventList, bench.DataFile(".txt")},
            {kSendList, bench.dataDir / ("~~" + bench.Key() + ".txt")}};
        bench.Config("sync_threshold=1000\n");
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
