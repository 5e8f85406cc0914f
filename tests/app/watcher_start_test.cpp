// Catches: wrong start-up questions or sync, lost left-overs, a misdated marker, refused names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/file_ops.h"
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

std::string registryDuringBatch;       // the registry file while the last batch was sent
std::vector<std::string> sentInBatch;  // the send list's commands while the last batch was sent

int32_t RunTool(const char* commandLine, uint32_t&, uint32_t&) {
    const std::string line(commandLine);
    if (line.find(" -filelist ") != std::string::npos) {
        registryDuringBatch = ReadFileBytes(std::string(State().dataDir.Str()) + "/cnwfolder.txt");
        sentInBatch = ReadCommandLines(State().sendListPath.CStr());
        trace.push_back("batch");
        return 0;
    }
    trace.push_back(line.find("_get.config") != std::string::npos ? "get" : "put");
    return 0;
}

// A file another program holds so that it can be neither replaced nor written over.
bool EventListHeld(FileOp op, std::string_view path) {
    return path == State().eventListPath.Str() && (op == FileOp::kReplace || op == FileOp::kOpen);
}

// The batch of the timer thread waits here until the test opens the gate.
struct BatchGate {
    std::mutex mutex;
    std::condition_variable changed;
    int batches = 0;
    bool open = false;
} gate;

int32_t GatedTool(const char* commandLine, uint32_t&, uint32_t&) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    trace.push_back(std::string(commandLine).find(" -filelist ") != std::string::npos ? "batch"
                                                                                      : "other");
    ++gate.batches;
    gate.changed.notify_all();
    gate.changed.wait_for(lock, std::chrono::seconds(20), [] { return gate.open; });
    trace.push_back("tool ended");
    return 0;
}

// A bounded wait for something another thread does; false when it did not happen.
template <typename Done>
bool Eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A change as the handler counts it.
void Change(const std::string& command) {
    WatcherState& s = State();
    std::lock_guard<std::recursive_timed_mutex> lock(s.bufferMutex);
    static_cast<void>(AddCommand(command.c_str(), 2));
    ++s.pendingEvents;
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
        ReplaceFileFaultCheck(nullptr);
        StopWatcher();
        CloseTransfers(false);
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

const std::string kPut = "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=";

TEST_F(WatcherStartTest, LeftOversWholeOnlyInAPendingReplacementAreReadBack) {
    // A write of the event list was cut short while another program held the file: the file
    // is empty and the whole list waits in "<file>.new"; the file stays held at this start.
    for (const bool network : {false, true}) {
        SCOPED_TRACE(network ? "network up" : "network down");
        StopWatcher();
        std::string leftOvers;
        for (const char* name : {"0|", "1|", "2|"}) leftOvers += kPut + name + "\n";
        WriteFileBytes(State().eventListPath.CStr(), "");
        WriteFileBytes(PendingReplacementPath(State().eventListPath.CStr()), leftOvers);
        Config("sync_threshold=100\n");
        networkAlive = network;
        ReplaceFileFaultCheck(EventListHeld);
        CreateCommandBuffer(State().commands);
        StartWatcher();
        EXPECT_EQ(State().commands.commandCount, 3) << "the left-overs counted as none";
        ReplaceFileFaultCheck(nullptr);
        networkAlive = false;
        StopWatcher();  // saved for the next start
        EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()).size(), 3u);
        fs::remove(PendingReplacementPath(State().eventListPath.CStr()));
    }
}

TEST_F(WatcherStartTest, ASendListLeftBehindComesBeforeTheEventListAtTheNextStart) {
    // A kill during a batch left its send list; the changes made afterwards are in the event
    // list. The tool carries lines out in order, so the older commands must come first.
    const std::string delX = "-cmd=del|-dir=/|-ldir=C:\\W\\|-filename=x|";
    const std::string putX = kPut + "x|";
    const std::string renameAB = "-cmd=rn|-dir=/|-ldir=C:\\W\\|-from=a|-to=b|";
    const std::string putA = kPut + "a|";
    const struct {
        const char* what;
        std::vector<std::string> sendList, eventList;
        bool network;  // up: sent at once; down: read back into the buffer
    } rows[] = {
        {"a failed delete, the file made again, sent at start", {delX}, {putX}, true},
        {"a failed rename, a new file under the old name, sent at start", {renameAB}, {putA}, true},
        {"both, offline: the buffer and the file hold them in order",
         {delX, renameAB},
         {putX, putA},
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StopWatcher();
        trace.clear();
        sentInBatch.clear();
        std::string sendBytes, eventBytes;
        for (const std::string& line : row.sendList) sendBytes += line + std::string(kEventLineEnd);
        for (const std::string& line : row.eventList)
            eventBytes += line + std::string(kEventLineEnd);
        WriteFileBytes(State().sendListPath.CStr(), sendBytes);
        WriteFileBytes(State().eventListPath.CStr(), eventBytes);
        std::vector<std::string> expected = row.sendList;
        expected.insert(expected.end(), row.eventList.begin(), row.eventList.end());
        Config("sync_threshold=100\n");
        networkAlive = row.network;
        CreateCommandBuffer(State().commands);
        StartWatcher();
        EXPECT_FALSE(fs::exists(State().sendListPath.CStr()));
        if (row.network) {
            EXPECT_EQ(trace, std::vector<std::string>{"batch"});
            EXPECT_EQ(sentInBatch, expected);
            continue;
        }
        EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()), expected);
        const CommandBuffer& buffer = State().commands;
        std::vector<std::string> slots;
        for (int32_t i = 0; i < buffer.commandCount; ++i) {
            slots.emplace_back(buffer.commandSlots[static_cast<std::size_t>(i)].Str());
        }
        EXPECT_EQ(slots, expected);
    }
}

TEST_F(WatcherStartTest, TheRegistryEntryIsHeldUntilTheFinalSendHasEnded) {
    WriteFileBytes(State().eventListPath.CStr(), kPut + "a.txt|\n");
    Config("sync_threshold=100\n");
    networkAlive = false;
    StartWatcher();
    networkAlive = true;
    StopWatcher();
    EXPECT_EQ(trace, std::vector<std::string>{"batch"});
    const std::string owner = "C:\\W=" + std::to_string(CurrentProcessId());
    EXPECT_NE(registryDuringBatch.find(owner), std::string::npos)
        << "released while sending: " << registryDuringBatch;
    EXPECT_NE(ReadFileBytes(data / "cnwfolder.txt").find("C:\\W=0"), std::string::npos);
}

TEST_F(WatcherStartTest, ASessionEndWaitsForTheRunningBatchAndStartsNoOtherRun) {
    Config("sync_threshold=1\n");
    CurrentSeams().sleepMs = [](uint32_t) { std::this_thread::yield(); };
    gate.batches = 0;
    gate.open = false;
    StartWatcher();
    CurrentTransferRunners().runProcess = GatedTool;
    Change(kPut + "a.txt|");
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> lock(gate.mutex);
        return gate.batches == 1;
    })) << "the timer never fired";
    Change(kPut + "b.txt|");  // during the run: a second pass would send it
    std::atomic<bool> ended{false};
    std::thread session([&ended] {
        EndWatcherSession();
        ended = true;
    });
    ASSERT_TRUE(Eventually([] { return TransfersClosed(); })) << "the session end did not begin";
    EXPECT_FALSE(ended.load()) << "returned while the batch still ran";
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
        gate.changed.notify_all();
    }
    session.join();
    EXPECT_EQ(trace, (std::vector<std::string>{"batch", "tool ended"}));
    EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()),
              std::vector<std::string>{kPut + "b.txt|"});
    EXPECT_NE(ReadFileBytes(data / "cnwfolder.txt").find("C:\\W=0"), std::string::npos);
}

std::atomic<int> ends{0};
std::atomic<bool> endedWithOtherStatus{false};

TEST_F(WatcherStartTest, ADependentWatcherEndsWithoutTheTrayAppInImmediateModeToo) {
    Config("");  // neither count nor interval mode
    State().dependentMode = 1;
    CurrentSeams().sleepMs = [](uint32_t) { std::this_thread::yield(); };
    // The fake end returns, so the thread goes on ending the watcher each cycle.
    CurrentSeams().endProcess = [](uint32_t code) {
        ++ends;
        if (code != 0) endedWithOtherStatus = true;
    };
    ends = 0;
    StartWatcher();
    EXPECT_TRUE(State().timerThread.joinable());
    // There is no tray application here.
    EXPECT_TRUE(Eventually([] { return ends.load() > 0; })) << "the watcher never ended";
    StopWatcher();
    EXPECT_FALSE(endedWithOtherStatus.load()) << "ended with a status other than 0";
}

TEST_F(WatcherStartTest, AnUploadStillOwedAtTheSessionEndIsKeptForTheNextStart) {
    Config("");  // immediate mode
    gate.batches = 0;
    gate.open = false;
    StartWatcher();
    CurrentTransferRunners().runProcess = GatedTool;
    ASSERT_TRUE(RequestSyncUpload());
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> lock(gate.mutex);
        return gate.batches == 1;
    })) << "the upload never started";
    ASSERT_TRUE(RequestSyncUpload());  // a change during the upload: one more run owed
    std::thread session(EndWatcherSession);
    ASSERT_TRUE(Eventually([] { return TransfersClosed(); })) << "the session end did not begin";
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
        gate.changed.notify_all();
    }
    session.join();
    EXPECT_EQ(trace, (std::vector<std::string>{"other", "tool ended"}));  // no run after the end
    const std::vector<std::string> kept = ReadCommandLines(State().eventListPath.CStr());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].rfind("-cmd=put|", 0), 0u) << kept[0];
    EXPECT_NE(kept[0].find("|-ldir=C:\\W\\|"), std::string::npos) << kept[0];
    EXPECT_NE(kept[0].find("-sub=1|"), std::string::npos) << kept[0];
    EXPECT_TRUE(recorder.WaitForBoxes(1));  // the upload's start message, on a thread of its own
}

}  // namespace
