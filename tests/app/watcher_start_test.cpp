// Catches: wrong start-up questions or sync, lost left-overs, a misdated marker, refused names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/file_ops.h"
#include "app/watcher_start.h"
#include "notify/process_coordination.h"
#include "support/buffer_fixture.h"
#include "support/tool_gate.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/transfer_command.h"
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
    trace.push_back(line.find(" -changes ") != std::string::npos    ? "changes"
                    : line.find("_get.config") != std::string::npos ? "get"
                                                                    : "put");
    return 0;
}

// A file another program holds so that it can be neither replaced nor written over.
bool EventListHeld(FileOp op, std::string_view path) {
    return path == State().eventListPath.Str() && (op == FileOp::kReplace || op == FileOp::kOpen);
}

// The first transfer after the start waits here until the test opens the gate.
ToolGate* gate = nullptr;

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
    // first start, user name, -nowatch, -restart, the answers (download, upload), what happens;
    // every start but the first sends what changed while no watcher ran, before its download
    const std::tuple<bool, const char*, int, int, bool, bool, std::vector<std::string>> rows[] = {
        {true, "guest01", 0, 0, false, false, {"put", "box 220"}},  // guests never asked
        {true, "Guest", 0, 0, false, true, {"ask <=", "ask =>", "put", "box 220"}},
        {true, "u", 0, 0, true, false, {"ask <=", "get", "box 220"}},
        {true, "u", 1, 0, false, true, {"ask <=", "box 220"}},
        {true, "u", 0, 1, false, false, {"ask <=", "ask =>"}},
        {false, "u", 0, 0, false, false, {"changes", "get", "box 220"}},
        {false, "u", 0, 1, false, false, {"changes"}},
        {false, "u", 1, 0, false, false, {"get", "box 220"}}};
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
        EXPECT_TRUE(recorder.WaitForBoxes(std::count_if(
            expected.begin(), expected.end(),
            [](const std::string& step) { return step[0] != 'a' && step[0] != 'c'; })));
        for (int32_t code : recorder.Codes())
            if (code == 220) trace.push_back("box 220");
        EXPECT_EQ(trace, expected);
    }
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

// What a start finds (from an earlier run that was killed, offline or held up) goes nowhere but
// to the tool or back into the buffer and the event list, in the order it was made.
TEST_F(WatcherStartTest, LeftOversAreSentOrKeptInTheirOrder) {
    // A kill during a batch left its send list ("dr": a failed delete and rename); the changes
    // made afterwards ("xa": x made again, a new a) are in the event list. The tool carries lines
    // out in order, so the older commands must come first.
    const auto texts = [](std::string_view keys) {
        std::vector<std::string> out;
        for (const char key : keys) {
            out.push_back(key == 'd'   ? "-cmd=del|-dir=/|-ldir=C:\\W\\|-filename=x|"
                          : key == 'r' ? "-cmd=rn|-dir=/|-ldir=C:\\W\\|-from=a|-to=b|"
                                       : PutInW(std::string(1, key)));
        }
        return out;
    };
    // A write cut short while another program held the event list left it empty and the whole
    // list in its pending replacement ("held": the file is still held at this start).
    const struct {
        const char *what, *eventList, *replacement, *sendList;
        bool held, networkAtStart, networkAtStop;
        const char *buffered, *sent, *kept;  // after the start; at the batch; after the stop
    } rows[] = {
        // clang-format off
        {"held, offline: read back from the replacement", "", "012", "", true, false, false, "012", "", "012"},
        {"a send list left behind goes first", "xa", "", "dr", false, true, true, "", "drxa", ""},
        {"the same offline: buffer and file in order", "xa", "", "dr", false, false, false, "drxa", "", "drxa"},
        // The registry entry stays claimed until the final send has ended.
        {"sent at the stop", "0", "", "", false, false, true, "0", "0", ""},
        // clang-format on
    };
    const std::string owner = "C:\\W=" + std::to_string(CurrentProcessId());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StopWatcher();
        trace.clear();
        sentInBatch.clear();
        registryDuringBatch.clear();
        const std::string eventList(State().eventListPath.Str());
        fs::remove(PendingReplacementPath(eventList));
        fs::remove(State().sendListPath.CStr());
        fs::remove(State().createdListPath.CStr());
        WriteFileBytes(eventList, FileOf(texts(row.eventList)));
        if (*row.replacement) {
            WriteFileBytes(PendingReplacementPath(eventList), FileOf(texts(row.replacement)));
        }
        if (*row.sendList) WriteFileBytes(State().sendListPath.CStr(), FileOf(texts(row.sendList)));
        Config("sync_threshold=100\n");
        networkAlive = row.networkAtStart;
        if (row.held) ReplaceFileFaultCheck(EventListHeld);
        CreateCommandBuffer(State().commands);
        StartWatcher();
        EXPECT_EQ(MarkerTime(), 347135400);  // 1980-12-31 18:30:00 UTC
        EXPECT_FALSE(fs::exists(State().sendListPath.CStr()));
        EXPECT_EQ(CountedSlots(), texts(row.buffered));
        ReplaceFileFaultCheck(nullptr);
        networkAlive = row.networkAtStop;
        StopWatcher();
        EXPECT_EQ(sentInBatch, texts(row.sent));
        EXPECT_EQ(trace, std::vector<std::string>(*row.sent ? 1 : 0, "batch"));
        if (*row.sent) {
            EXPECT_NE(registryDuringBatch.find(owner), std::string::npos)
                << "released while sending: " << registryDuringBatch;
        }
        EXPECT_EQ(ReadCommandLines(eventList), texts(row.kept));
        EXPECT_NE(ReadFileBytes(data / "cnwfolder.txt").find("C:\\W=0"), std::string::npos);
    }
}

// A session end waits for the run under way and starts no other; what that run did not take
// stays for the next start.
TEST_F(WatcherStartTest, ASessionEndWaitsForTheRunningTransferAndKeepsWhatItOwes) {
    const struct {
        const char *what, *config;  // count mode: the timer's batch; none: immediate uploads
        const char *run, *kept;     // the one run made; what the event list keeps
        std::size_t boxes;          // the upload's start message is shown on a thread of its own
    } rows[] = {
        // clang-format off
        {"an immediate upload with one more owed", "", "upload", "-cmd=put|-dir=/|-ldir=C:\\W\\|-sync=1|-sub=1|", 1},
        {"a batch of the timer", "sync_threshold=1\n", "batch", "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=b.txt|", 0},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        recorder.Clear();
        fs::remove(State().eventListPath.CStr());
        Config(row.config);
        CurrentTransferRunners().runProcess = RunTool;
        CurrentSeams().sleepMs = [](uint32_t) { std::this_thread::yield(); };
        CreateCommandBuffer(State().commands);
        StartWatcher();
        ToolGate tool;
        gate = &tool;
        CurrentTransferRunners().runProcess = [](const char* line, uint32_t&, uint32_t&) {
            return gate->Run(line);
        };
        const auto change = [&row](const char* name) {
            EXPECT_TRUE(*row.config ? (AddCounted(PutInW(name), kEventCreate), true)
                                    : RequestSyncUpload());
        };
        change("a.txt");
        ASSERT_TRUE(tool.WaitEntered(1)) << "the first run never started";
        change("b.txt");  // during the run: a second pass would send it
        std::atomic<bool> ended{false};
        std::thread session([&ended] {
            EndWatcherSession();
            ended = true;
        });
        ASSERT_TRUE(Eventually([] { return TransfersClosed(); })) << "the session end never began";
        EXPECT_FALSE(ended.load()) << "returned while the run went on";
        tool.Open();
        session.join();
        EXPECT_EQ(tool.seen, std::vector<std::string>{row.run});
        EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()),
                  std::vector<std::string>{row.kept});
        EXPECT_NE(ReadFileBytes(data / "cnwfolder.txt").find("C:\\W=0"), std::string::npos);
        EXPECT_TRUE(recorder.WaitForBoxes(row.boxes));
    }
}

std::atomic<int> ends{0};
std::atomic<bool> endedWithOtherStatus{false};

// Neither count nor interval mode: the timer thread runs all the same, and with no tray
// application it ends the watcher with 0 (the fake end returns, so it goes on each cycle).
TEST_F(WatcherStartTest, ADependentWatcherEndsWithoutTheTrayAppInImmediateModeToo) {
    Config("");
    State().dependentMode = 1;
    CurrentSeams().sleepMs = [](uint32_t) { std::this_thread::yield(); };
    CurrentSeams().endProcess = [](uint32_t code) {
        ++ends;
        if (code != 0) endedWithOtherStatus = true;
    };
    StartWatcher();
    EXPECT_TRUE(Eventually([] { return ends.load() > 0; })) << "the watcher never ended";
    StopWatcher();
    EXPECT_FALSE(endedWithOtherStatus.load()) << "ended with a status other than 0";
}

}  // namespace
