// Catches a start that asks the wrong questions, syncs the wrong way, loses or
// duplicates left-over commands, misdates the first-start marker, creates files
// for a folder it refuses, or a shutdown that leaves the entry owned or a batch
// unsent.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/watcher_start.h"
#include "notify/process_coordination.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/transfer_runs.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> trace;  // questions asked, runs and their send lists, ends
bool answerDownload = false;
bool answerUpload = false;
bool networkAlive = true;

bool Ask(const std::wstring&, const std::wstring& text) {
    const bool download = text.find(L"<=") != std::wstring::npos;
    trace.push_back(download ? "ask <=" : "ask =>");
    return download ? answerDownload : answerUpload;
}
bool Network() { return networkAlive; }
void NoSleep(uint32_t) {}
void RecordEnd(uint32_t code) { trace.push_back("end " + std::to_string(code)); }
int32_t RunTool(const char* commandLine, uint32_t&, uint32_t&) {
    const std::string line = commandLine;
    if (line.find("-filelist") != std::string::npos) {
        const auto sent = ReadCommandLines(State().sendListPath.CStr());
        trace.push_back("batch " + std::to_string(sent.size()));
    } else {
        trace.push_back(line.find("_get.config") != std::string::npos ? "get" : "put");
    }
    return 0;
}

class WatcherStartTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        trace.clear();
        networkAlive = true;
        saved = CurrentTransferRunners();
        CurrentTransferRunners().runProcess = RunTool;
        CurrentSeams().askYesNo = Ask;
        CurrentSeams().isNetworkAlive = Network;
        CurrentSeams().sleepMs = NoSleep;
        CurrentSeams().endProcess = RecordEnd;
        fs::create_directories(data);
        WatcherState& s = State();
        s.toolDir = "";
        s.processId = CurrentProcessId();
        s.watchedPathW.Assign(L"C:\\W");
        s.watchedPath.Assign("C:\\W");
        s.dataDir.Assign(data.string());
        s.folderKey.Assign("C_W");
        s.eventListPath.Assign((data / "C_W.txt").string());
        s.sendListPath.Assign((data / "C_W_send.txt").string());
        s.errorFilePath.Assign((data / "C_W_plerror.txt").string());
        s.putConfigPath.Assign((data / "C_W_put.config").string());
        s.getConfigPath.Assign((data / "C_W_get.config").string());
        s.createdListPath.Assign((data / "C_W_createdFileList.txt").string());
        CreateCommandBuffer(s.commands);
    }
    void TearDown() override {
        StopWatcher();
        CurrentTransferRunners() = saved;
        StateTest::TearDown();
    }
    void Config(const std::string& text) { WriteFileBytes(State().putConfigPath.CStr(), text); }
    void LeftOver(int lines) {
        std::string bytes;
        for (int i = 0; i < lines; ++i) {
            bytes += "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=" + std::to_string(i) + ".txt|" +
                     std::string(kEventLineEnd);
        }
        WriteFileBytes(State().eventListPath.CStr(), bytes);
    }

    TempDir temp;
    fs::path data = temp / "data";
    BoxRecorder recorder;
    TransferRunners saved;
};

TEST_F(WatcherStartTest, StartUpSynchronisationTable) {
    struct Row {
        bool first;
        const char* user;
        int nowatch, restart;
        bool download, upload;  // the answers
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {true, "guest01", 0, 0, false, false, {"put", "box 220"}},
        {true, "guest01", 0, 1, false, false, {"put"}},
        {true, "Guest", 0, 0, false, true, {"ask <=", "ask =>", "put", "box 220"}},
        {true, "u", 0, 0, true, false, {"ask <=", "get", "box 220"}},
        {true, "u", 1, 0, false, true, {"ask <=", "box 220"}},
        {true, "u", 0, 1, false, false, {"ask <=", "ask =>"}},
        {false, "u", 0, 0, false, false, {"get", "box 220"}},
        {false, "u", 0, 1, false, false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.user) + (row.first ? " first" : " again") +
                     (row.nowatch ? " -nowatch" : "") + (row.restart ? " -restart" : ""));
        StopWatcher();
        trace.clear();
        recorder.Clear();
        fs::remove(State().createdListPath.CStr());
        if (!row.first) WriteFileBytes(State().createdListPath.CStr(), "");
        Config("sync_timestamp=600\nusername=" + std::string(row.user) + "\n");
        State().noWatchMode = row.nowatch;
        State().restartMode = row.restart;
        answerDownload = row.download;
        answerUpload = row.upload;
        StartWatcher();
        // Every run also raises its start message on a thread of its own.
        std::size_t boxes = 0;
        for (const std::string& step : row.expected) boxes += step[0] != 'a';
        EXPECT_TRUE(recorder.WaitForBoxes(boxes));
        for (int32_t code : recorder.Codes()) {
            if (code == 220) trace.push_back("box 220");
        }
        EXPECT_EQ(trace, row.expected);
    }
}

TEST_F(WatcherStartTest, LeftOversAreSentOrReadBackAndTheMarkerIsDated) {
    LeftOver(3);
    networkAlive = false;
    StartWatcher();
    EXPECT_TRUE(trace.empty());
    ASSERT_EQ(State().commands.commandCount, 3);
    EXPECT_EQ(State().commands.commandSlots[2].Str(), "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=2.txt|");
    struct stat marker {};
    ASSERT_EQ(stat(State().createdListPath.CStr(), &marker), 0);
    EXPECT_EQ(marker.st_mtime, kFirstStartMarkerTime);
    EXPECT_EQ(marker.st_atime, kFirstStartMarkerTime);
    StopWatcher();  // network still down: saved for the next start
    EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()).size(), 3u);

    networkAlive = true;
    StartWatcher();
    EXPECT_EQ(trace, (std::vector<std::string>{"batch 3"}));
    EXPECT_EQ(State().commands.commandCount, 0);
    ASSERT_EQ(stat(State().createdListPath.CStr(), &marker), 0);
    EXPECT_EQ(marker.st_mtime, kFirstStartMarkerTime);  // found, not touched
}

TEST_F(WatcherStartTest, ShutdownReleasesTheEntryStopsTheTimerAndSendsWhatIsPending) {
    Config("sync_threshold=100\n");
    StartWatcher();
    EXPECT_TRUE(State().timerThread.joinable());
    AddCommand("-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=a.txt|", 2);
    ++State().commands.commandCount;
    StopWatcher();
    EXPECT_FALSE(State().timerThread.joinable());
    EXPECT_EQ(trace, (std::vector<std::string>{"batch 1"}));
    const std::string registry = ReadFileBytes(data / "cnwfolder.txt");
    EXPECT_NE(registry.find("C:\\W"), std::string::npos);
    EXPECT_EQ(registry.find(std::to_string(CurrentProcessId())), std::string::npos);
}

TEST_F(WatcherStartTest, NeitherModeStartsNoTimerAndAnUnsupportedNameEndsBeforeAnyFile) {
    StartWatcher();
    EXPECT_FALSE(State().timerThread.joinable());
    StopWatcher();

    fs::remove_all(data);
    fs::create_directories(data);
    State().watchedPath.Assign("C:\\W?");
    StartWatcher();
    EXPECT_EQ(trace, (std::vector<std::string>{"end 0"}));
    EXPECT_EQ(recorder.Codes(), (std::vector<int32_t>{-2015}));
    EXPECT_TRUE(fs::is_empty(data));
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
}

}  // namespace
