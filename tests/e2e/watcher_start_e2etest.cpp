// The real watcher's start and end under Wine: left-over commands sent, the
// first-start marker, the start-up questions, idle downloads, a second watcher,
// dependent mode, a refused folder name, a deep folder, and the order of the
// shutdown. Catches a start or end step that is missing, misordered or mistimed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "app/watcher_start.h"
#include "support/box_driver.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kDialogClass[] = L"#32770";

std::string Lines(std::initializer_list<const char*> commands) {
    std::string bytes;
    for (const char* c : commands) bytes += std::string(c) + "\r\n";
    return bytes;
}

int64_t ModifiedTime(const fs::path& file) {
    struct _stat64 info {};
    return _wstat64(file.c_str(), &info) == 0 ? info.st_mtime : -1;
}

// A box of the watcher whose text is `text`, once one is up.
HWND WaitForBoxText(DWORD processId, const std::wstring& text, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : TopLevelWindowsOf(processId)) {
                if (WindowClass(w) == kDialogClass && IsWindowVisible(w) && BoxText(w) == text) {
                    found = w;
                }
            }
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

TEST(WatcherStartE2ETest, LeftOversOfADeepFolderAreSentAndTheEntryIsReleasedAtClose) {
    // About 200 characters of folder path: the tool's command line is longer
    // than the 511 bytes the watcher keeps of it. APPDATA as short as a user
    // profile's, so that the folder's data files stay within MAX_PATH.
    const std::wstring probe = TempDir().Path().wstring();
    const std::wstring deep = std::wstring(200 - probe.size() - 1, L'd');
    WatcherBench bench(deep, L"C:\\pa" + std::to_wstring(GetCurrentProcessId()));
    bench.Config("sync_threshold=1\n");
    const char* three[] = {"-cmd=put|-dir=/|-ldir=X\\|-filename=a.txt|",
                           "-cmd=del|-dir=/|-ldir=X\\|-filename=b.txt|",
                           "-cmd=put|-dir=/s/|-ldir=X\\s\\|-sync=1|-sub=1|"};
    WriteFileBytes(bench.DataFile(".txt"), Lines({three[0], three[1], three[2]}));

    ChildProcess first = bench.Start();
    ASSERT_TRUE(bench.WaitForRuns(1, 30000));
    const ToolRun run = bench.Runs()[0];
    EXPECT_EQ(run.fileList, Lines({three[0], three[1], three[2]}));
    EXPECT_EQ(run.commandLine, "\"" + bench.toolDir.string() + "\\bin\\plftp\" -f \"" +
                                   bench.DataFile("_put.config").string() + "\" -filelist \"" +
                                   (bench.dataDir / ("~~" + bench.Key() + ".txt")).string() + "\" -path \"" +
                                   bench.folderAnsi + "\"");
    EXPECT_GT(run.commandLine.size(), 511u);
    EXPECT_FALSE(fs::exists(bench.dataDir / ("~~" + bench.Key() + ".txt")));
    const fs::path marker = bench.DataFile("_createdFileList.txt");
    EXPECT_EQ(ModifiedTime(marker), kFirstStartMarkerTime);

    // A second watcher of the folder ends itself; the first goes on.
    ChildProcess second = bench.Start();
    DWORD code = 1;
    EXPECT_TRUE(WaitForExit(second, 30000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_NE(bench.Dialog(first), nullptr);
    const std::string registry = ReadFileBytes(bench.dataDir / "cnwfolder.txt");
    EXPECT_NE(registry.find(bench.folderAnsi + "=" + std::to_string(first.id)), std::string::npos);

    EXPECT_EQ(bench.Close(first), 0);
    EXPECT_NE(ReadFileBytes(bench.dataDir / "cnwfolder.txt").find(bench.folderAnsi + "=0\r\n"),
              std::string::npos);
    EXPECT_EQ(ModifiedTime(marker), kFirstStartMarkerTime);
    EXPECT_EQ(bench.Runs().size(), 1u);
}

TEST(WatcherStartE2ETest, FirstStartInIntervalModeAsksThenDownloadsWhenIdle) {
    WatcherBench bench;
    bench.Config("sync_timestamp=2\nusername=u\n");
    ChildProcess watcher = bench.Start();
    const std::wstring caption = bench.folder.wstring();
    HWND ask = WaitForBoxText(watcher.id, L"Local <= Remote Syncing ?", 30000);
    ASSERT_NE(ask, nullptr);
    EXPECT_EQ(BoxCaption(ask), caption);
    ASSERT_TRUE(PressButton(ask, IDNO));
    ask = WaitForBoxText(watcher.id, L"Local => Remote Syncing ?", 10000);
    ASSERT_NE(ask, nullptr);
    ASSERT_TRUE(PressButton(ask, IDYES));
    HWND done = WaitForBoxText(watcher.id, L"Syncing finished.", 30000);
    ASSERT_NE(done, nullptr);
    PressButton(done, IDOK);
    // The upload, then idle downloads with the get configuration, one per
    // interval (each followed by the download's 5 s pause).
    ASSERT_TRUE(bench.WaitForRuns(3, 40000));
    const auto runs = bench.Runs();
    EXPECT_NE(runs[0].commandLine.find("_put.config\" -path"), std::string::npos);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_NE(runs[i].commandLine.find("_get.config\" -path"), std::string::npos) << i;
        EXPECT_FALSE(runs[i].hasFileList);
    }
    EXPECT_EQ(bench.Close(watcher), 0);
}

TEST(WatcherStartE2ETest, GuestUploadsWithoutAskingAndDependentEndsWithoutTheTray) {
    WatcherBench bench;
    bench.Config("sync_timestamp=600\nusername=guest01\n");
    ChildProcess guest = bench.Start();
    ASSERT_TRUE(bench.WaitForRuns(1, 30000));
    EXPECT_NE(bench.Runs()[0].commandLine.find("_put.config\" -path"), std::string::npos);
    EXPECT_EQ(WaitForBoxText(guest.id, L"Local <= Remote Syncing ?", 500), nullptr);
    EXPECT_EQ(bench.Close(guest), 0);

    // No tray application: a dependent watcher ends itself within a cycle.
    bench.Config("sync_threshold=5\n");
    ChildProcess dependent = bench.Start(L"-dependent");
    ASSERT_NE(bench.Dialog(dependent), nullptr);
    const ULONGLONG since = GetTickCount64();
    DWORD code = 1;
    ASSERT_TRUE(WaitForExit(dependent, 10000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_LT(GetTickCount64() - since, 3000u);
}

TEST(WatcherStartE2ETest, SessionEndReleasesAndSavesWithoutRunningTheTool) {
    WatcherBench bench;
    bench.Config("sync_threshold=100\n");
    ChildProcess watcher = bench.Start();
    HWND dialog = bench.Dialog(watcher);
    ASSERT_NE(dialog, nullptr);
    ChildProcess change = StartProcess(L"cmd.exe /c type nul > a.txt", {}, bench.folder.wstring());
    ASSERT_TRUE(WaitForExit(change, 30000, nullptr));
    const fs::path eventList = bench.DataFile(".txt");
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFileBytes(eventList).find("-filename=a.txt|") != std::string::npos; },
        10000));
    SendMessageW(dialog, WM_ENDSESSION, TRUE, 0);
    EXPECT_NE(ReadFileBytes(bench.dataDir / "cnwfolder.txt").find(bench.folderAnsi + "=0\r\n"),
              std::string::npos);
    EXPECT_NE(ReadFileBytes(eventList).find("-filename=a.txt|"), std::string::npos);
    EXPECT_EQ(bench.Close(watcher), 0);
    EXPECT_TRUE(bench.Runs().empty());
}

TEST(WatcherStartE2ETest, UnsupportedFolderNamesAreRefusedBeforeAnyFile) {
    WatcherBench bench;
    const fs::path outside = bench.home.Path() / L"W\u0100";
    fs::create_directories(outside);
    for (const std::wstring& path : {outside.wstring(), L"\\\\?\\" + bench.folder.wstring()}) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        ChildProcess watcher = bench.Start(L"", path);
        HWND box = WaitForBoxText(
            watcher.id, L"Watched folder name contains unsupported character. \nTerminating Watcher.",
            30000);
        ASSERT_NE(box, nullptr);
        PressButton(box, IDOK);
        DWORD code = 1;
        ASSERT_TRUE(WaitForExit(watcher, 10000, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_TRUE(fs::is_empty(bench.dataDir));
    }
}

}  // namespace
