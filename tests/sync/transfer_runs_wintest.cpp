// The transfer runs with the real process launcher and pipe client, against
// the transfer tool double (copied to <PLDIR>\bin\plftp.exe) and the tray
// application double.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/watcher_state.h"
#include "support/box_recorder.h"
#include "support/process_win.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "support/tray_app_double_win.h"
#include "support/watcher_bench_win.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/transfer_runs.h"
#include "watch/transfer_command.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

int32_t timedDownloadDuringPause = -1;
void RecordPause(uint32_t ms) {
    if (ms == 5000) timedDownloadDuringPause = State().timedDownloadActive;
}
bool networkAlive = true;
bool NetworkAlive() { return networkAlive; }

class TransferRunsWinTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        networkAlive = true;
        timedDownloadDuringPause = -1;
        CurrentSeams().isNetworkAlive = NetworkAlive;
        CurrentSeams().sleepMs = RecordPause;  // SyncDownload's pause of 5 s
        for (const char* dir : {"pl/bin", "data", "w"}) fs::create_directories(temp / dir);
        fs::copy_file(fs::path(ProgramFolder()) / "doubles" / "transfer_tool" / "plftp.exe",
                      temp / "pl" / "bin" / "plftp.exe");
        toolDir = (temp / "pl").string() + "\\";
        folder = (temp / "w").string();
        const auto data = [this](const char* name) { return (temp / "data" / name).string(); };

        WatcherState& s = State();
        s.toolDir = toolDir.c_str();
        s.watchedPath.Assign(folder);
        s.watchedPathW.Assign((temp / "w").wstring());
        s.dataDir.Assign((temp / "data").string());
        s.folderKey = "k";
        s.putConfigPath.Assign(data("k_put.config"));
        s.getConfigPath.Assign(data("k_get.config"));
        s.eventListPath.Assign(data("k_events.txt"));
        s.sendListPath.Assign(data("k_send.txt"));
        s.errorFilePath.Assign(data("k_plerror.txt"));
        CreateCommandBuffer(s.commands);
    }
    void TearDown() override {
        recorder.WaitForBoxes(expectedBoxes);
        ReleaseCommandBuffer();
        StateTest::TearDown();
    }

    void Control(const std::string& text) {
        WriteFileBytes(temp / "pl" / "bin" / "plftp-control.txt", text);
    }
    std::vector<ToolRun> Runs() const {
        return ParseToolLog(ReadFileBytes(temp / "pl" / "bin" / "plftp-log.txt"));
    }
    void Add(const std::string& command) {
        AddCommand(command.c_str(), kEventCreate);
        std::lock_guard<std::recursive_timed_mutex> lock(State().bufferMutex);
        if (State().commands.duplicateCommand != 1) ++State().commands.commandCount;
        State().commands.duplicateCommand = 0;
    }
    std::string Put(const char* name) const {
        return "-cmd=put|-dir=/r|-ldir="s + folder + "|-filename=" + name + "|";
    }
    std::string Line(const std::string& command) const { return command + "\r\n"; }
    fs::path EventList() const { return State().eventListPath.CStr(); }
    fs::path SendList() const { return State().sendListPath.CStr(); }
    std::string BatchLine() const {
        return "\"" + toolDir + "bin\\plftp\" -f \"" + State().putConfigPath.CStr() +
               "\" -filelist \"" + State().sendListPath.CStr() + "\" -path \"" + folder + "\"";
    }
    std::string SyncLine(bool upload) const {
        return "\"" + toolDir + "bin\\plftp\" -f \"" +
               (upload ? State().putConfigPath.CStr() : State().getConfigPath.CStr()) +
               "\" -path \"" + folder + "\"";
    }

    TempDir temp;
    BoxRecorder recorder;
    std::size_t expectedBoxes = 0;
    std::string toolDir;
    std::string folder;
};

TEST_F(TransferRunsWinTest, ThreeCommandsGoToTheToolInOneSendList) {
    Add(Put("a.txt"));
    Add(Put("b.txt"));
    Add(Put("c.txt"));
    State().thresholdReached = 1;
    EXPECT_EQ(FireEventList(), 0);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].commandLine, BatchLine());
    EXPECT_EQ(runs[0].show, 0);
    EXPECT_EQ(runs[0].fileList, Line(Put("a.txt")) + Line(Put("b.txt")) + Line(Put("c.txt")));
    EXPECT_EQ(ReadFileBytes(EventList()), "");
    EXPECT_TRUE(fs::exists(EventList()));
    EXPECT_FALSE(fs::exists(SendList()));
    EXPECT_EQ(State().commands.commandCount, 0);
    EXPECT_EQ(State().toolCommandLine.Str(), BatchLine());
    EXPECT_TRUE(recorder.Boxes().empty());
}

TEST_F(TransferRunsWinTest, ServerErrorIsReportedAndFollowedByUpload) {
    Add(Put("a.txt"));
    State().intervalReached = 1;
    State().dependentMode = 1;
    Control("exit -1010 0\n");
    EXPECT_EQ(FireEventList(), -1010);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].commandLine, SyncLine(true));
    EXPECT_FALSE(runs[1].hasFileList);
    EXPECT_EQ(ReadFileBytes(EventList()), "");
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].code, 100);
    EXPECT_EQ(boxes[0].timeoutMs, 20000u);
    EXPECT_EQ(boxes[0].caption, (temp / "w").wstring());
    EXPECT_EQ(boxes[0].text,
              L" Specified time interval reached\nProcess failed with returned as -1010: "
              L"PLE_NOSERVER / Invalid server ip or port");
}

TEST_F(TransferRunsWinTest, ErrorFileWrittenByTheToolFailsTheBatch) {
    Add(Put("a.txt"));
    State().dependentMode = 1;
    Control("write "s + State().errorFilePath.CStr() + "|cannot log in\n");
    EXPECT_EQ(FireEventList(), 0);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].commandLine, SyncLine(true));
    // Only -2013 from the upload: the firing shows it when verbose.
    EXPECT_EQ(recorder.Codes(), std::vector<int32_t>{-2013});
    EXPECT_TRUE(fs::exists(State().errorFilePath.CStr()));  // left for the user
}

TEST_F(TransferRunsWinTest, EmptyListRunsTheIdleDownloadOnlyInIntervalMode) {
    WriteFileBytes(EventList(), "");
    State().dependentMode = 1;
    State().noIntervalDownload = 1;  // count mode
    EXPECT_EQ(FireEventList(), 1);
    EXPECT_TRUE(Runs().empty());

    State().noIntervalDownload = 0;
    State().intervalReached = 1;
    EXPECT_EQ(FireEventList(), 1);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].commandLine, SyncLine(false));
    EXPECT_EQ(timedDownloadDuringPause, 1);
    EXPECT_EQ(State().timedDownloadActive, 0);
    EXPECT_EQ(State().lastSyncResult, 0);
}

TEST_F(TransferRunsWinTest, NetworkDownLeavesEverythingInPlace) {
    Add(Put("a.txt"));
    Add(Put("b.txt"));
    networkAlive = false;
    State().verbose = 1;
    EXPECT_EQ(FireEventList(), 1);
    EXPECT_EQ(recorder.Codes(), std::vector<int32_t>{-2005});
    EXPECT_TRUE(Runs().empty());
    EXPECT_EQ(State().commands.commandCount, 2);
    EXPECT_EQ(ReadFileBytes(EventList()), Line(Put("a.txt")) + Line(Put("b.txt")));
}

TEST_F(TransferRunsWinTest, CommandsAddedWhileTheToolRunsGoWithTheNextPass) {
    Add(Put("a.txt"));
    Control("sleep 1500 0\n");
    std::thread handler([this] {
        // The change handler buffers a command while the tool works.
        WaitUntil([this] { return !Runs().empty(); }, 5000);
        Add(Put("late.txt"));
    });
    EXPECT_EQ(FireEventList(), 0);
    handler.join();
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].fileList, Line(Put("a.txt")));
    EXPECT_EQ(runs[1].fileList, Line(Put("late.txt")));
    EXPECT_EQ(ReadFileBytes(EventList()), "");
    EXPECT_EQ(State().commands.commandCount, 0);
}

TEST_F(TransferRunsWinTest, GoogleDriveModeUsesThePipeInsteadOfTheTool) {
    TrayAppDouble tray(temp.Path(), "ready\naccept\nreply "s + folder + "|True\ndisconnect\n");
    ASSERT_TRUE(tray.Ready());
    Add(Put("a.txt"));
    State().googleDriveMode = 1;
    EXPECT_EQ(FireEventList(), 0);
    EXPECT_TRUE(Runs().empty());
    EXPECT_FALSE(fs::exists(SendList()));
    const auto requests = tray.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], folder + "|PLDriveAPI|" + folder + "|eventfilelist|PellaroCNW\n\0"s);
}

TEST_F(TransferRunsWinTest, DependentModeShowsNoStartWarnings) {
    for (int32_t dependent : {1, 0}) {
        State().dependentMode = dependent;
        SyncDownload();
        SyncUpload();
    }
    EXPECT_EQ(Runs().size(), 4u);
    expectedBoxes = 2;
    ASSERT_TRUE(recorder.WaitForBoxes(2));
    auto codes = recorder.Codes();
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(codes, (std::vector<int32_t>{204, 206}));
}

TEST_F(TransferRunsWinTest, ShownProgramIsLeftRunningAfterASecond) {
    Control("sleep 4000\n");
    const std::string line = "\"" + toolDir + "bin\\plftp\" NOTEPAD.EXE";
    uint32_t childId = 0;
    uint32_t error = 0;
    const auto start = Clock::now();
    EXPECT_EQ(RunProcess(line.c_str(), childId, error), 259);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
    EXPECT_NE(childId, 0u);
    ASSERT_TRUE(WaitUntil([this] { return !Runs().empty(); }, 3000));
    EXPECT_EQ(Runs()[0].show, 5);
    if (HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, childId)) {
        TerminateProcess(child, 0);
        WaitForSingleObject(child, 5000);
        CloseHandle(child);
    }
}

TEST_F(TransferRunsWinTest, ToolThatDoesNotStartGives99) {
    const std::string missing = "\"" + toolDir + "bin\\nothere\" -f x";
    uint32_t childId = 1;
    uint32_t error = 0;
    EXPECT_EQ(RunProcess(missing.c_str(), childId, error), 99);
    EXPECT_EQ(childId, 0u);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(TransferRunsWinTest, SwapFileWrittenByTheToolTellsADownload) {
    const std::string swap = (temp / "data").string() + "\\k_.plftp.swap";
    State().dependentMode = 1;
    for (const auto& [firstLine, underway] :
         std::vector<std::pair<std::string, bool>>{{"word 12 get", true}, {"word 12 put", false}}) {
        Control("write " + swap + "|" + firstLine + "\n");
        SyncDownload();
        EXPECT_EQ(IsDownloadUnderway(), underway) << firstLine;
    }
}

}  // namespace
