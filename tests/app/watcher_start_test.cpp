// Catches: wrong start-up questions or sync, lost left-overs, a misdated marker, refused names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
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

std::vector<std::string> trace;  // questions asked, tool runs, ends
bool answerDownload = false, answerUpload = false, networkAlive = true;

int32_t RunTool(const char* commandLine, uint32_t&, uint32_t&) {
    trace.push_back(std::string(commandLine).find("_get.config") != std::string::npos ? "get"
                                                                                      : "put");
    return 0;
}

int64_t MarkerTime() {
    struct stat marker {};
    return stat(State().createdListPath.CStr(), &marker) == 0 ? marker.st_mtime : -1;
}

class WatcherStartTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        trace.clear();
        networkAlive = true;
        CurrentTransferRunners().runProcess = RunTool;
        CurrentSeams().askYesNo = [](const std::wstring&, const std::wstring& text) {
            const bool download = text.find(L"<=") != text.npos;
            trace.push_back(download ? "ask <=" : "ask =>");
            return download ? answerDownload : answerUpload;
        };
        CurrentSeams().isNetworkAlive = [] { return networkAlive; };
        CurrentSeams().sleepMs = [](uint32_t) {};
        CurrentSeams().endProcess = [](uint32_t code) {
            trace.push_back("end " + std::to_string(code));
        };
        fs::create_directories(data);
        WatcherState& s = State();
        s.processId = CurrentProcessId();
        s.watchedPath.Assign("C:\\W");
        s.dataDir.Assign(data.string());
        s.eventListPath.Assign((data / "C_W.txt").string());
        s.sendListPath.Assign((data / "~~C_W.txt").string());
        s.errorFilePath.Assign((data / "C_W_plerror.txt").string());
        s.putConfigPath.Assign((data / "C_W_put.config").string());
        s.getConfigPath.Assign((data / "C_W_get.config").string());
        s.createdListPath.Assign((data / "C_W_createdFileList.txt").string());
        CreateCommandBuffer(s.commands);
    }
    void TearDown() override {
        StopWatcher();
        StateTest::TearDown();
    }
    void Config(const std::string& text) { WriteFileBytes(State().putConfigPath.CStr(), text); }

    TempDir temp;
    fs::path data = temp / "data";
    BoxRecorder recorder;
};

TEST_F(WatcherStartTest, StartUpSynchronisationTable) {
    // first start, user name, -nowatch, -restart, the answers (download, upload), what happens
    const std::tuple<bool, const char*, int, int, bool, bool, std::vector<std::string>> rows[] = {
        {true, "guest01", 0, 0, false, false, {"put", "box 220"}},  // guests never asked
        {true, "Guest", 0, 0, false, true, {"ask <=", "ask =>", "put", "box 220"}},
        {true, "u", 0, 0, true, false, {"ask <=", "get", "box 220"}},
        {true, "u", 1, 0, false, true, {"ask <=", "box 220"}},
        {true, "u", 0, 1, false, false, {"ask <=", "ask =>"}},
        {false, "u", 0, 0, false, false, {"get", "box 220"}},
        {false, "u", 0, 1, false, false, {}}};
    for (const auto& [first, user, nowatch, restart, download, upload, expected] : rows) {
        SCOPED_TRACE(testing::Message() << user << " first " << first << nowatch << restart);
        StopWatcher();
        trace.clear();
        recorder.Clear();
        fs::remove(State().createdListPath.CStr());
        if (!first) WriteFileBytes(State().createdListPath.CStr(), "");
        Config("sync_timestamp=600\nusername=" + std::string(user) + "\n");
        State().noWatchMode = nowatch;
        State().restartMode = restart;
        answerDownload = download;
        answerUpload = upload;
        StartWatcher();
        // Every run also raises its start message on a thread of its own.
        EXPECT_TRUE(recorder.WaitForBoxes(
            std::count_if(expected.begin(), expected.end(),
                          [](const std::string& step) { return step[0] != 'a'; })));
        for (int32_t code : recorder.Codes())
            if (code == 220) trace.push_back("box 220");
        EXPECT_EQ(trace, expected);
    }
}

TEST_F(WatcherStartTest, LeftOversSurviveAnOfflineStartAndTheMarkerIsDated) {
    const std::string put = "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=";
    std::string leftOvers;
    for (const char* name : {"0|", "1|", "2|"})
        leftOvers += put + name + std::string(kEventLineEnd);
    WriteFileBytes(State().eventListPath.CStr(), leftOvers);
    Config("sync_threshold=100\n");
    networkAlive = false;
    StartWatcher();
    EXPECT_EQ(State().commands.commandCount, 3);
    EXPECT_EQ(MarkerTime(), 347135400);  // 1980-12-31 18:30:00 UTC
    EXPECT_TRUE(State().timerThread.joinable());
    StopWatcher();  // network still down: saved for the next start
    EXPECT_FALSE(State().timerThread.joinable());
    EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()).size(), 3u);
    EXPECT_NE(ReadFileBytes(data / "cnwfolder.txt").find("C:\\W=0"), std::string::npos);
    StartWatcher();
    EXPECT_TRUE(trace.empty());
    EXPECT_EQ(MarkerTime(), 347135400);  // found, not touched
}

TEST_F(WatcherStartTest, AnUnsupportedFolderNameEndsTheWatcherBeforeAnyFile) {
    for (const char* folder : {"C:\\W?", "\\\\?\\C:\\W"}) {  // "?": no ANSI form, or the prefix
        trace.clear();
        recorder.Clear();
        State().watchedPath.Assign(folder);
        StartWatcher();
        EXPECT_EQ(trace, (std::vector<std::string>{"end 0"})) << folder;
        EXPECT_EQ(recorder.Codes(), (std::vector<int32_t>{-2015})) << folder;
        EXPECT_TRUE(fs::is_empty(data)) << folder;
    }
}

}  // namespace
