// Catches: a start, change or end step of the real watcher that is missing, misordered or lost.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/watcher_start.h"
#include "support/box_driver.h"
#include "support/tray_app_double_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

constexpr auto npos = std::string::npos;

std::string Lines(const std::vector<std::string>& commands) {
    std::string bytes;
    for (const std::string& command : commands) bytes += command + "\r\n";
    return bytes;
}

// Runs cmd.exe in the watched folder: the changes come from another process, as a user's do.
void Cmd(const WatcherBench& bench, const std::wstring& commands) {
    ChildProcess child = StartProcess(L"cmd.exe /c " + commands, {}, bench.folder.wstring());
    DWORD code = 1;
    ASSERT_TRUE(WaitForExit(child, 30000, &code) && code == 0) << "cmd.exe failed";
}

// A visible box of the process with this text, once one is up.
HWND WaitForBox(DWORD processId, const std::wstring& text, DWORD timeoutMs) {
    return WaitForWindow(processId, timeoutMs, [&](HWND window) {
        return WindowClass(window) == L"#32770" && IsWindowVisible(window) &&
               BoxText(window) == text;
    });
}

// One watcher takes a batch of real changes and keeps them when its session ends and kills it; the
// next one sends them at its start, and a new file within about a second and a half.
TEST(WatcherE2ETest, ChangesKeptOverTheSessionsEndAreSentByTheNextStart) {
    // About 200 characters of folder path, so that the tool's command line is longer than the 511
    // bytes the watcher keeps of it; APPDATA as short as a user profile's, so that the folder's
    // data files stay within MAX_PATH.
    const std::wstring probe = TempDir().Path().wstring();
    WatcherBench bench(std::wstring(200 - probe.size() - 1, L'd'),
                       L"C:\\pa" + std::to_wstring(GetCurrentProcessId()));
    for (const char* dir : {"sub", "olddir"}) fs::create_directories(bench.folder / dir);
    for (const char* name : {"keep.txt", "gone.txt"}) WriteFileBytes(bench.folder / name, "x");
    bench.Config("sync_threshold=1000\ndir=/home/u\nsub=1\n");
    ChildProcess first = bench.Start();
    HWND dialog = bench.Dialog(first);
    ASSERT_NE(dialog, nullptr);
    const auto shown = [&] { return IsWindowVisible(dialog) != FALSE; };
    EXPECT_FALSE(WaitUntil(shown, 1000)) << "the dialog showed itself";
    ShowWindow(dialog, SW_SHOWNORMAL);
    SendMessageW(dialog, WM_NULL, 0, 0);
    EXPECT_FALSE(WaitUntil(shown, 500)) << "the dialog stayed shown from outside";

    ChildProcess second = bench.Start();
    DWORD code = 1;
    EXPECT_TRUE(WaitForExit(second, 30000, &code) && code == 0) << "a second watcher went on";
    const fs::path registry = bench.dataDir / "cnwfolder.txt";
    EXPECT_NE(ReadFileBytes(registry).find(bench.folderAnsi + "=" + std::to_string(first.id)),
              npos);

    // README is a name the watcher ignores.
    Cmd(bench,
        L"type nul > sub\\new.txt && ren keep.txt kept.txt && del gone.txt && mkdir newdir "
        L"&& rmdir olddir && type nul > README");
    const std::string ldir = "|-ldir=" + bench.folderAnsi + "\\";
    const std::string batch =
        Lines({"-cmd=put|-dir=/home/u/sub/" + ldir + "sub\\|-filename=new.txt|",
               "-cmd=rn|-dir=/home/u/" + ldir + "|-from=keep.txt|-to=kept.txt|",
               "-cmd=del|-dir=/home/u/" + ldir + "|-filename=gone.txt|",
               "-cmd=put|-dir=/home/u/newdir/" + ldir + "newdir\\|-sync=1|-sub=1|",
               "-cmd=del|-dir=/home/u/olddir/" + ldir + "olddir\\|-sub=1|"});
    const fs::path eventList = bench.DataFile(".txt");
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(eventList) == batch; }, 20000))
        << ReadFileBytes(eventList);
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
    EXPECT_GT(bench.Runs()[0].commandLine.size(), 511u);
    struct _stat64 marker {};
    _wstat64(bench.DataFile("_createdFileList.txt").c_str(), &marker);
    EXPECT_EQ(marker.st_mtime, kFirstStartMarkerTime);

    Cmd(bench, L"type nul > a.txt");
    const ULONGLONG saved = GetTickCount64();
    ASSERT_TRUE(bench.WaitForRuns(2, 10000));
    // The timer looks once a second and the tool starts in a few hundred milliseconds under Wine;
    // the bound leaves room for a loaded machine.
    EXPECT_LT(GetTickCount64() - saved, 2000u);
    EXPECT_EQ(bench.Runs()[1].fileList,
              Lines({"-cmd=put|-dir=/home/u/" + ldir + "|-filename=a.txt|"}));
    EXPECT_EQ(bench.Close(next), 0);
    EXPECT_FALSE(fs::exists(sendList));
    EXPECT_NE(ReadFileBytes(registry).find(bench.folderAnsi + "=0\r\n"), npos);
    EXPECT_EQ(bench.Runs().size(), 2u);
}

TEST(WatcherE2ETest, FirstStartInIntervalModeAsksThenDownloadsWhenIdle) {
    WatcherBench bench;
    bench.Config("sync_timestamp=2\nusername=u\n");
    ChildProcess watcher = bench.Start();
    const std::pair<const wchar_t*, int> answers[] = {{L"Local <= Remote Syncing ?", IDNO},
                                                      {L"Local => Remote Syncing ?", IDYES},
                                                      {L"Syncing finished.", IDOK}};
    for (const auto& [text, button] : answers) {
        HWND box = WaitForBox(watcher.id, text, 30000);
        ASSERT_NE(box, nullptr) << "no box \"" << fs::path(text).string() << "\"";
        EXPECT_EQ(BoxCaption(box), bench.folder.wstring());
        ASSERT_TRUE(PressButton(box, button));
    }
    // The upload, then idle downloads with the get configuration, one per interval.
    ASSERT_TRUE(bench.WaitForRuns(3, 40000));
    const std::vector<ToolRun> runs = bench.Runs();
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(runs[i].commandLine.find(i ? "_get.config\" -path" : "_put.config\" -path"),
                  npos);
        EXPECT_FALSE(runs[i].hasFileList) << i;
    }
    EXPECT_EQ(bench.Close(watcher), 0);
}

TEST(WatcherE2ETest, ImmediateModeRunsOneWholeFolderUploadPerChange) {
    WatcherBench bench;
    for (const char* name : {"x.txt", "y.txt"}) WriteFileBytes(bench.folder / name, "x");
    bench.Config("dir=/home/u\nsub=1\n");
    ChildProcess watcher = bench.Start();
    ASSERT_NE(bench.Dialog(watcher), nullptr);
    const std::wstring changes[] = {L"mkdir d1", L"ren x.txt x2.txt", L"del y.txt"};
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        Cmd(bench, changes[i]);
        ASSERT_TRUE(bench.WaitForRuns(i + 1, 10000)) << "no upload after change " << i;
        Sleep(1000);
        ASSERT_EQ(bench.Runs().size(), i + 1) << "more than one upload for change " << i;
        EXPECT_FALSE(bench.Runs()[i].hasFileList);
    }
    EXPECT_EQ(ReadFileBytes(bench.DataFile(".txt")), "");
    EXPECT_EQ(bench.Close(watcher), 0);
}

// The folder of the command line: one relative to the current folder, none (the dialog runs and
// watches nothing), or a name the watcher cannot keep (refused after a box, before any file).
TEST(WatcherE2ETest, TheCommandLineFolderIsWatchedOrRefused) {
    WatcherBench bench;
    fs::create_directories(bench.home.Path() / L"W\u0100");
    const std::wstring refused =
        L"Watched folder name contains unsupported character. \nTerminating Watcher.";
    const struct {
        std::wstring arguments;
        const wchar_t* title;  // of the dialog; none: refused
    } rows[] = {{L"\"" + (bench.home.Path() / L"W\u0100").wstring() + L"\"", nullptr},
                {L"\"\\\\?\\" + bench.folder.wstring() + L"\"", nullptr},
                {L"W", L"Watching - W"},
                {L"-nowatch -restart", L"Shell Change Notify Watcher"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        ChildProcess watcher = StartProcess(
            L"\"" + ProgramFolder() + L"\\PellaroCNW.exe\" " + row.arguments,
            {{L"APPDATA", bench.appData.wstring()}, {L"PLDIR", bench.toolDir.wstring() + L"\\"}},
            bench.home.Path().wstring());
        HWND window = WaitForWindow(watcher.id, 30000, [&](HWND w) {
            return WindowClass(w) == L"#32770" &&
                   (row.title ? WindowText(w) == row.title : BoxText(w) == refused);
        });
        ASSERT_NE(window, nullptr);
        if (row.title) {
            Sleep(500);  // the start has ended and the title stays
            EXPECT_EQ(WindowText(window), row.title);
            PostMessageW(window, WM_CLOSE, 0, 0);
        } else {
            PressButton(window, IDOK);
        }
        DWORD code = 1;
        EXPECT_TRUE(WaitForExit(watcher, 30000, &code) && code == 0);
        EXPECT_TRUE(row.title || fs::is_empty(bench.dataDir));
        KillIfRunning(watcher);
    }
}

// A Google Drive folder's commands go to the tray application over its pipe, never to the tool;
// a dependent watcher ends itself within a cycle once the tray application is gone.
TEST(WatcherE2ETest, GoogleDriveGoesThroughTheTrayAndADependentWatcherEndsWithIt) {
    WatcherBench bench;
    bench.Config("protocol=GoogleDrive\nsync_threshold=1\n");
    TrayAppDouble tray(bench.home.Path(), "ready\naccept\nreply " + bench.folderAnsi +
                                              "|True\ndisconnect\nsleep 3000\n");
    ASSERT_TRUE(tray.Ready());
    ChildProcess watcher = bench.Start(L"-dependent");
    ASSERT_NE(bench.Dialog(watcher), nullptr);
    WriteFileBytes(bench.folder / "a.txt", "x");
    ASSERT_TRUE(WaitUntil([&] { return !tray.Requests().empty(); }, 30000));
    EXPECT_NE(tray.Requests()[0].find("|eventfilelist|PellaroCNW"), npos) << tray.Requests()[0];
    EXPECT_EQ(tray.WaitExit(30000), 0);
    const ULONGLONG gone = GetTickCount64();
    DWORD code = 1;
    EXPECT_TRUE(WaitForExit(watcher, 10000, &code) && code == 0);
    EXPECT_LT(GetTickCount64() - gone, 3000u);
    EXPECT_TRUE(bench.Runs().empty());
    KillIfRunning(watcher);
}

}  // namespace
