// The real PellaroCNW.exe under Wine: file changes made by another process
// (cmd.exe) reach the transfer tool double as the commands they stand for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/watcher_bench_win.h"

namespace {

constexpr DWORD kTimeoutMs = 30000;

class ChangeHandlingTest : public ::testing::Test {
protected:
    void Start(const std::string& config) {
        bench.Config(config);
        watcher = bench.Start();
        ASSERT_TRUE(watcher);
        ASSERT_NE(bench.Dialog(watcher), nullptr);
    }
    void Cmd(const std::wstring& commands) {
        ChildProcess child = StartProcess(L"cmd.exe /c " + commands, {}, bench.folder.wstring());
        DWORD code = 1;
        ASSERT_TRUE(WaitForExit(child, kTimeoutMs, &code));
        ASSERT_EQ(code, 0u);
    }
    std::string Ldir(const std::string& below = "") const {
        return bench.folderAnsi + "\\" + below;
    }
    // The tool's command line: a batch with its send list, or an upload.
    std::string ToolLine(bool batch) const {
        const std::string sendList = (bench.dataDir / ("~~" + bench.Key() + ".txt")).string();
        return "\"" + bench.toolDir.string() + "\\bin\\plftp\" -f \"" +
               bench.DataFile("_put.config").string() + "\"" +
               (batch ? " -filelist \"" + sendList + "\"" : "") + " -path \"" + bench.folderAnsi +
               "\"";
    }
    static std::string Lines(const std::vector<std::string>& commands) {
        std::string bytes;
        for (const std::string& c : commands) bytes += c + "\r\n";
        return bytes;
    }
    void TearDown() override { KillIfRunning(watcher); }

    WatcherBench bench;
    ChildProcess watcher;
};

TEST_F(ChangeHandlingTest, ANewFileReachesTheToolWithinAboutASecondAndAHalf) {
    Start("sync_threshold=1\ndir=/home/u\n");
    Cmd(L"type nul > a.txt");
    const auto saved = std::chrono::steady_clock::now();
    ASSERT_TRUE(bench.WaitForRuns(1, 10000));
    // The timer looks once a second and the tool starts in a few hundred
    // milliseconds under Wine; the bound leaves room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - saved, std::chrono::milliseconds(2000));
    const ToolRun run = bench.Runs()[0];
    EXPECT_EQ(run.commandLine, ToolLine(true));
    EXPECT_EQ(run.fileList,
              Lines({"-cmd=put|-dir=/home/u/|-ldir=" + Ldir() + "|-filename=a.txt|"}));
    EXPECT_EQ(bench.Close(watcher), 0);
}

TEST_F(ChangeHandlingTest, ABatchOfRealChangesIsSentAtShutdown) {
    for (const char* dir : {"sub", "olddir"})
        std::filesystem::create_directories(bench.folder / dir);
    for (const char* name : {"keep.txt", "gone.txt"}) WriteFileBytes(bench.folder / name, "x");
    Start("sync_threshold=1000\ndir=/home/u\nsub=1\n");
    Cmd(L"type nul > sub\\new.txt && ren keep.txt kept.txt && del gone.txt && "
        L"mkdir newdir && rmdir olddir && type nul > temp.txt && del temp.txt && type nul > "
        L"README");
    // Once the feed has caught up, the event list holds the last change sent.
    WaitUntil(
        [&] { return ReadFileBytes(bench.DataFile(".txt")).find("olddir") != std::string::npos; },
        10000);
    Sleep(1000);
    EXPECT_EQ(bench.Close(watcher), 0);
    const std::vector<ToolRun> runs = bench.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].commandLine, ToolLine(true));
    EXPECT_EQ(runs[0].fileList,
              Lines({"-cmd=put|-dir=/home/u/sub/|-ldir=" + Ldir("sub\\") + "|-filename=new.txt|",
                     "-cmd=rn|-dir=/home/u/|-ldir=" + Ldir() + "|-from=keep.txt|-to=kept.txt|",
                     "-cmd=del|-dir=/home/u/|-ldir=" + Ldir() + "|-filename=gone.txt|",
                     "-cmd=put|-dir=/home/u/newdir/|-ldir=" + Ldir("newdir\\") + "|-sync=1|-sub=1|",
                     "-cmd=del|-dir=/home/u/olddir/|-ldir=" + Ldir("olddir\\") + "|-sub=1|"}));
}

TEST_F(ChangeHandlingTest, ImmediateModeRunsOneWholeFolderUploadPerChange) {
    for (const char* name : {"x.txt", "y.txt"}) WriteFileBytes(bench.folder / name, "x");
    Start("dir=/home/u\nsub=1\n");
    const std::wstring changes[] = {L"mkdir d1", L"ren x.txt x2.txt", L"del y.txt"};
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        Cmd(changes[i]);
        ASSERT_TRUE(bench.WaitForRuns(i + 1, 10000)) << "no upload after change " << i;
        Sleep(1000);
        ASSERT_EQ(bench.Runs().size(), i + 1) << "more than one upload for change " << i;
    }
    for (const ToolRun& run : bench.Runs()) EXPECT_EQ(run.commandLine, ToolLine(false));
    EXPECT_EQ(ReadFileBytes(bench.DataFile(".txt")), "");
    EXPECT_EQ(bench.Close(watcher), 0);
}

TEST_F(ChangeHandlingTest, ChangesBufferedByAKilledWatcherAreSentByTheNextOne) {
    constexpr int kFiles = 200;
    Start("sync_threshold=1000\ndir=/home/u\n");
    Cmd(L"for /L %i in (1,1," + std::to_wstring(kFiles) + L") do @type nul > f%i.txt");
    std::vector<std::string> expected;
    for (int i = 1; i <= kFiles; ++i) {
        expected.push_back("-cmd=put|-dir=/home/u/|-ldir=" + Ldir() + "|-filename=f" +
                           std::to_string(i) + ".txt|");
    }
    ASSERT_TRUE(
        WaitUntil([&] { return ReadFileBytes(bench.DataFile(".txt")) == Lines(expected); }, 60000));
    ASSERT_TRUE(TerminateProcess(watcher.process.Get(), 9));
    DWORD code = 0;
    ASSERT_TRUE(WaitForExit(watcher, kTimeoutMs, &code));
    EXPECT_TRUE(bench.Runs().empty());

    watcher = bench.Start();
    ASSERT_TRUE(bench.WaitForRuns(1, kTimeoutMs));
    EXPECT_EQ(bench.Runs()[0].fileList, Lines(expected));
    EXPECT_EQ(bench.Close(watcher), 0);
}

}  // namespace
