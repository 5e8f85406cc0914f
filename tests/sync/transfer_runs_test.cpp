// Catches: a firing at the wrong time, running the wrong transfer or box, under bufferMutex, or
// with the wrong report text. Scripted transfers and a fake clock; the batches are end-to-end.
#include "sync/transfer_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/buffer_fixture.h"
#include "support/tool_gate.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/sync_timer.h"
#include "sync/transfer_report.h"
#include "sync/transfer_command.h"

namespace {

constexpr uint32_t kEnglishLcid = 1033;
constexpr char kUploadLine[] = R"("C:\pl\bin\plftp" -f "C:\data\k_put.config" -path "C:\w")";
constexpr char kDownloadLine[] = R"("C:\pl\bin\plftp" -f "C:\data\k_get.config" -path "C:\w")";

struct Script {
    std::vector<int32_t> statuses;  // per transfer, the last repeats; 0 without
    std::vector<std::string> seen;  // batch, upload, download or the pipe command
    std::function<void()> during;   // runs while "the tool runs"
    int32_t Next(const std::string& line) {
        seen.push_back(line == kUploadLine                             ? "upload"
                       : line == kDownloadLine                         ? "download"
                       : line.find(" -filelist ") != std::string::npos ? "batch"
                                                                       : line);
        // No lock is held while a transfer runs: the change handling goes on meanwhile.
        if (HeldElsewhere()) seen.back() += " under bufferMutex";
        if (during) during();
        return statuses.empty() ? 0 : statuses[std::min(seen.size(), statuses.size()) - 1];
    }
} run;

bool networkAlive = true;
std::vector<std::string> sleeps;  // "<ms> <timedDownloadActive>"

class TransferRunsTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        CurrentTransferRunners() = {
            [](const char* line, uint32_t& child, uint32_t& error) {
                child = 4242;
                error = 0;
                return run.Next(line);
            },
            [](const char*, const char* command) { return run.Next(command); }};
        CurrentSeams().isNetworkAlive = [] { return networkAlive; };
        CurrentSeams().sleepMs = [](uint32_t ms) {
            sleeps.push_back(std::to_string(ms) + " " +
                             std::to_string(State().timedDownloadActive));
        };
        Fresh(-1);
    }
    void TearDown() override {
        recorder.WaitForBoxes(expectedBoxes);
        ReleaseCommandBuffer();
        StateTest::TearDown();
    }
    // A fresh run with `count` commands in the event list file and the buffer (-1: no file).
    void Fresh(int count) {
        recorder.WaitForBoxes(expectedBoxes);
        recorder.Clear();
        run = Script{};
        networkAlive = true;
        sleeps.clear();
        WatcherState& s = State();
        s.Reset();
        s.toolDir = "C:\\pl\\";
        s.watchedPath = "C:\\w";
        s.watchedPathW = L"C:\\w";
        s.putConfigPath = "C:\\data\\k_put.config";
        s.getConfigPath = "C:\\data\\k_get.config";
        s.eventListPath.Assign((temp / "k_events.txt").string());
        s.sendListPath.Assign((temp / "k_send.txt").string());
        s.errorFilePath.Assign((temp / "k_plerror.txt").string());
        CreateCommandBuffer(s.commands);
        std::string bytes;
        for (int i = 0; i < count; ++i) {
            bytes += "-cmd=put|-dir=/r|-ldir=C:\\w|-filename=f" + std::to_string(i) + "|\r\n";
        }
        std::remove(s.errorFilePath.CStr());
        std::remove(s.eventListPath.CStr());
        if (count >= 0) WriteFileBytes(s.eventListPath.CStr(), bytes);
        ReadBackEventList();
    }

    TempDir temp;
    BoxRecorder recorder;
    std::size_t expectedBoxes = 0;
};

TEST_F(TransferRunsTest, EachRunGivesItsTransfersAndBoxes) {
    enum Action { kFire, kUpload, kDownload };
    struct Case {
        const char* what;
        Action action = kFire;
        int list = 1;  // commands in the event list; -1: no file
        int32_t interval = 0, threshold = 0, noIntervalDownload = 1, verbose = 0, dependent = 1;
        int32_t drive = 0;
        bool network = true, errorFile = false;
        std::vector<int32_t> statuses = {};
        int32_t result = 0;  // of the firing; a sync run's status is its lastSyncResult
        std::vector<std::string> transfers = {"batch"};
        std::vector<int32_t> codes = {};  // sorted
    };
    // clang-format off
    const Case cases[] = {
        {.what = "no list after an interval: the idle download", .list = -1, .interval = 1, .noIntervalDownload = 0, .result = 1, .transfers = {"download"}},
        {.what = "fired by the interval", .interval = 1, .verbose = 1, .codes = {201}},
        {.what = "at start-up", .verbose = 1, .codes = {210}},
        {.what = "count in interval mode skips the idle download", .threshold = 1, .noIntervalDownload = 0, .verbose = 1, .codes = {202, 209}},
        {.what = "network down: all stays", .verbose = 1, .network = false, .result = 1, .transfers = {}, .codes = {-2005}},
        {.what = "a failed batch is reported and followed by an upload", .interval = 1, .statuses = {-1010, 0}, .result = -1010, .transfers = {"batch", "upload"}, .codes = {100}},
        {.what = "an error file fails the batch too", .errorFile = true, .transfers = {"batch", "upload"}, .codes = {-2013}},
        {.what = "Google Drive falls back through the pipe", .drive = 1, .statuses = {-1027, 0}, .result = -1027, .transfers = {"C:\\w|eventfilelist|PellaroCNW", "C:\\w|SyncUpload|PellaroCNW"}, .codes = {100}},
        {.what = "failed upload, whatever verbose says", .action = kUpload, .statuses = {99}, .transfers = {"upload"}, .codes = {100, 212}},
        {.what = "failed download, not verbose", .action = kDownload, .verbose = 2, .statuses = {-1010}, .transfers = {"download"}},
        {.what = "failed download, verbose", .action = kDownload, .verbose = 1, .statuses = {-1010}, .transfers = {"download"}, .codes = {100}},
        {.what = "upload, not dependent", .action = kUpload, .dependent = 0, .transfers = {"upload"}, .codes = {204}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh(c.list);
        run.statuses = c.statuses;
        if (c.errorFile) {
            run.during = [] { WriteFileBytes(State().errorFilePath.CStr(), "cannot log in\n"); };
        }
        networkAlive = c.network;
        WatcherState& s = State();
        s.dependentMode = c.dependent;
        s.intervalReached = c.interval;
        s.thresholdReached = c.threshold;
        s.noIntervalDownload = c.noIntervalDownload;
        s.verbose = c.verbose;
        s.googleDriveMode = c.drive;
        if (c.action == kFire) {
            EXPECT_EQ(FireEventList(), c.result);
            // Without the network everything stays for the next pass.
            EXPECT_EQ(s.commands.commandCount, c.network ? 0 : c.list);
        } else {
            if (c.action == kUpload) {
                SyncUpload();
            } else {
                SyncDownload();
            }
            EXPECT_EQ(s.lastSyncResult, c.statuses.empty() ? 0 : c.statuses[0]);
        }
        EXPECT_EQ(run.seen, c.transfers);
        expectedBoxes = c.codes.size();  // async ones included
        EXPECT_TRUE(recorder.WaitForBoxes(expectedBoxes));
        std::vector<int32_t> codes = recorder.Codes();
        std::sort(codes.begin(), codes.end());
        EXPECT_EQ(codes, c.codes);
        // The idle download's pause keeps the changes it makes from being sent back.
        if (c.action == kFire && c.transfers == std::vector<std::string>{"download"}) {
            EXPECT_EQ(sleeps, std::vector<std::string>{"5000 1"});
        }
        EXPECT_EQ(s.timedDownloadActive, 0);
    }
}

// A send list left by a killed run holds commands taken before every change buffered since (their
// write still queued): merged back in front of them, and the buffer mirrors the merged file.
TEST_F(TransferRunsTest, ASendListLeftBehindIsMergedInFrontOfTheChangesMadeSince) {
    std::vector<std::string> expected = {"-cmd=del|-dir=/r|-ldir=C:\\w\\|-filename=x|"};
    WriteFileBytes(State().sendListPath.CStr(), FileOf(expected));
    State().commands.flushQueued = true;
    for (const char* name : {"x", "a"}) {
        expected.push_back(std::string("-cmd=put|-dir=/r|-ldir=C:\\w\\|-filename=") + name + "|");
        AddCounted(expected.back(), kEventCreate);
    }
    WatcherState& s = State();
    {
        std::lock_guard<std::recursive_timed_mutex> lock(s.bufferMutex);
        ASSERT_TRUE(FlushEventList());
        ASSERT_TRUE(MergeSendList(false));
    }
    EXPECT_FALSE(std::filesystem::exists(s.sendListPath.CStr()));
    EXPECT_EQ(ReadCommandLines(s.eventListPath.CStr()), expected);
    EXPECT_EQ(CountedSlots(), expected) << "the buffer no longer mirrors the file";
    // A change after the merge is written behind the merged lines, not over them.
    s.commands.flushQueued = false;
    expected.push_back("-cmd=put|-dir=/r|-ldir=C:\\w\\|-filename=z|");
    AddCounted(expected.back(), kEventCreate);
    EXPECT_EQ(ReadCommandLines(s.eventListPath.CStr()), expected);
}

// The tool as the immediate mode meets it; the first run waits at the gate until the test opens
// it.
ToolGate* gate = nullptr;

// An upload asked for during a timer firing waits for it, then runs once.
TEST_F(TransferRunsTest, AnImmediateUploadWaitsForTheTimersFiring) {
    Fresh(1);
    ToolGate tool;
    gate = &tool;
    CurrentTransferRunners().runProcess = [](const char* line, uint32_t&, uint32_t&) {
        return gate->Run(line);
    };
    WatcherState& s = State();
    // Dependent: no start message (204) on a thread of its own, so every box seen is a failure;
    // the timer cycle's end of the watcher is only recorded.
    s.dependentMode = 1;
    CurrentSeams().endProcess = [](uint32_t) {};
    s.thresholdSync = s.syncThreshold = s.pendingEvents = 1;
    s.timerThreadRecorded = true;
    std::thread timer(RunTimerCycle);
    ASSERT_TRUE(tool.WaitEntered(1)) << "the first run never started";
    EXPECT_TRUE(RequestSyncUpload());
    tool.Open();
    timer.join();
    EXPECT_FALSE(StopSyncUploads(true)) << "a run was owed and not made";
    EXPECT_EQ(tool.seen, (std::vector<std::string>{"batch", "upload"}));
    EXPECT_EQ(tool.most, 1) << "two runs of the folder at once";
    // A failure box is shown on the run's own thread, before the worker stops.
    EXPECT_EQ(recorder.Codes(), std::vector<int32_t>{});
    gate = nullptr;
}

TEST_F(TransferRunsTest, ContextThenTheTableTextOrTheGenericText) {
    const std::string generic = "\nTransfer failure. Please view the log file.";
    const struct {
        int32_t status;
        const char* context;
        std::string expected;
    } cases[] = {
        {0, kContextThresholdFiring,
         " Threshold count reached\nProcess succeeded with return status as 0: PL_SUCCESS"},
        // The blank before the colon belongs to the table text.
        {1000, kContextEventListFiring,
         " Process invoked for commands under eventFileList\nProcess failed with returned as "
         "1000 : PL_SKIPFILE"},
        {26, "", "\nProcess failed with returned as 26: MAPI_E_NOT_SUPPORTED"},
        // 7: the gap in the MAPI table, in neither table.
        {7, kContextSyncUpload, kContextSyncUpload + generic},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComposeTransferReport(c.status, c.context, kEnglishLcid), c.expected)
            << "status " << c.status;
    }
}

int64_t clock = 0;
std::vector<std::string> fired;  // "<time> interval|count"
std::vector<int32_t> statuses;   // per firing; the last repeats, 0 without

class SyncTimerTest : public StateTest {};

TEST_F(SyncTimerTest, CyclesFireOnCountAndIntervalWithTheirTieBreaks) {
    const struct {
        const char* name;
        int32_t threshold;             // 0: count mode off
        int32_t interval;              // 0: interval mode off
        std::vector<int64_t> changes;  // a counted change at each of these seconds
        std::vector<int32_t> statuses;
        int64_t until;
        std::vector<std::string> expected;
    } cases[] = {
        // clang-format off
        {"count fire leaves the interval running", 1, 60, {40}, {}, 65, {"40 count", "60 interval"}},
        {"nothing sent: no reset, again a second later", 2, 0, {1, 1}, {1, 1, 0}, 8, {"1 count", "2 count", "3 count"}},
        {"interval fire that sent nothing: next one an interval later", 0, 10, {}, {1, 1}, 25, {"10 interval", "20 interval"}},
        {"count met after an interval fire that sent nothing: timed again", 2, 10, {11, 11}, {1, 0}, 22, {"10 interval", "11 interval", "21 interval"}},
        // clang-format on
    };
    CurrentSeams().now = [] { return clock; };
    CurrentSeams().sleepMs = [](uint32_t ms) { clock += ms / 1000; };
    CurrentTimerFiring() = [] {
        fired.push_back(std::to_string(clock) + (State().intervalReached ? " interval" : " count"));
        const int32_t status =
            statuses.empty() ? 0 : statuses[std::min(fired.size(), statuses.size()) - 1];
        // A firing that sends takes every counted change with its batch.
        if (status != 1) State().pendingEvents = 0;
        return status;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WatcherState& state = State();
        state.Reset();
        state.thresholdSync = c.threshold > 0 ? 1 : 0;
        state.syncThreshold = c.threshold;
        state.intervalSync = c.interval > 0 ? 1 : 0;
        state.syncInterval = c.interval;
        state.timerThreadRecorded = true;
        clock = 0;
        fired.clear();
        statuses = c.statuses;
        std::size_t i = 0;  // the next change
        for (int cycles = 0; clock < c.until && cycles < 1000; ++cycles) {
            for (; i < c.changes.size() && c.changes[i] <= clock; ++i) ++state.pendingEvents;
            RunTimerCycle();
        }
        EXPECT_EQ(fired, c.expected);
    }
}

// Which fire wins when both are due: the table above (its last row).
TEST_F(SyncTimerTest, NothingFiresBeforeTheThreadIsRecorded) {
    WatcherState& state = State();
    state.thresholdSync = state.syncThreshold = state.pendingEvents = 1;
    EXPECT_EQ(DecideCycle(0), CycleDecision::NotReady);
    state.timerThreadRecorded = true;
    EXPECT_EQ(DecideCycle(0), CycleDecision::CountFire);
}

}  // namespace
