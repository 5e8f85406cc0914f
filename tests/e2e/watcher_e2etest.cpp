// Catches: a start, change or end step of the real watcher that is missing, misordered or lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
    EXPECT_NE(ReadFileBytes(registry).find(bench.folderAnsi + "=" + std::to_string(first.id)),
              npos);

    // README is a name the watcher ignores.
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
                              ldir + "olddir\\|-sub=1|\r\n";
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

    ASSERT_TRUE(Cmd(bench, L"type nul > a.txt"));
    ASSERT_TRUE(bench.WaitForRuns(2, 30000));
    EXPECT_EQ(bench.Runs()[1].fileList, "-cmd=put|-dir=/home/u/" + ldir + "|-filename=a.txt|\r\n");
    EXPECT_EQ(bench.Close(next), 0);
    EXPECT_FALSE(fs::exists(sendList));
    EXPECT_NE(ReadFileBytes(registry).find(bench.folderAnsi + "=0\r\n"), npos);
    // The write notification of a.txt may come after a batch took its put: the tool may have read
    // the file before the write, so the folder's put follows.
    const std::vector<ToolRun> runs = bench.Runs();
    EXPECT_TRUE(runs.size() == 2 ||
                (runs.size() == 3 && runs[2].fileList == "-cmd=put|-dir=/home/u/" + ldir + "|\r\n"))
        << runs.size() << " runs";
}

}  // namespace
