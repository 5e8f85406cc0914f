// The firing and synchronisation decisions with scripted transfers: no process,
// no pipe, no real waits.
#include "sync/transfer_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// What one scripted transfer saw.
struct Transfer {
    std::string commandLine;  // the tool's command line, or the pipe command
    std::string subject;      // the pipe subject; empty for a tool run
    bool sendListPresent = false;
    std::string sendList;
    int32_t timedDownloadActive = 0;
};

struct Script {
    std::vector<int32_t> statuses;  // per transfer, the last repeats; 0 without
    std::vector<Transfer> seen;
    // Runs inside the transfer, before it returns (while "the tool runs").
    std::function<void(std::size_t index)> during;

    int32_t Next(Transfer transfer) {
        const std::size_t index = seen.size();
        seen.push_back(std::move(transfer));
        if (during) during(index);
        if (statuses.empty()) return 0;
        return statuses[std::min(index, statuses.size() - 1)];
    }
};
Script* script = nullptr;

Transfer Observe(std::string commandLine, std::string subject) {
    Transfer t;
    t.commandLine = std::move(commandLine);
    t.subject = std::move(subject);
    const fs::path sendList(State().sendListPath.CStr());
    t.sendListPresent = fs::exists(sendList);
    if (t.sendListPresent) t.sendList = ReadFileBytes(sendList);
    t.timedDownloadActive = State().timedDownloadActive;
    return t;
}

int32_t FakeRunProcess(const char* commandLine, uint32_t& childProcessId, uint32_t& errorCode) {
    childProcessId = 4242;
    errorCode = 0;
    return script->Next(Observe(commandLine, ""));
}

int32_t FakePipe(const char* subject, const char* command) {
    return script->Next(Observe(command, subject));
}

bool networkAlive = true;
bool NetworkAlive() { return networkAlive; }
std::vector<uint32_t> sleeps;
void RecordSleep(uint32_t ms) { sleeps.push_back(ms); }

constexpr char kBatchLine[] =
    "\"C:\\pl\\bin\\plftp\" -f \"C:\\data\\k_put.config\" -filelist \"%SEND%\" -path "
    "\"C:\\w\"";
constexpr char kUploadLine[] =
    "\"C:\\pl\\bin\\plftp\" -f \"C:\\data\\k_put.config\" -path \"C:\\w\"";
constexpr char kDownloadLine[] =
    "\"C:\\pl\\bin\\plftp\" -f \"C:\\data\\k_get.config\" -path \"C:\\w\"";

class TransferRunsTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        saved = CurrentTransferRunners();
        CurrentTransferRunners().runProcess = FakeRunProcess;
        CurrentTransferRunners().trayPipeRequest = FakePipe;
        script = &run;
        networkAlive = true;
        sleeps.clear();
        CurrentSeams().isNetworkAlive = NetworkAlive;
        CurrentSeams().sleepMs = RecordSleep;

        WatcherState& s = State();
        s.toolDir = "C:\\pl\\";
        s.watchedPath = "C:\\w";
        s.watchedPathW = L"C:\\w";
        s.putConfigPath = "C:\\data\\k_put.config";
        s.getConfigPath = "C:\\data\\k_get.config";
        s.dataDir.Assign(temp.Ansi());
        s.folderKey = "k";
        s.eventListPath.Assign((temp / "k_events.txt").string());
        s.sendListPath.Assign((temp / "k_send.txt").string());
        s.errorFilePath.Assign((temp / "k_plerror.txt").string());
        CreateCommandBuffer(s.commands);
    }
    void TearDown() override {
        recorder.WaitForBoxes(expectedBoxes);
        CurrentTransferRunners() = saved;
        script = nullptr;
        ReleaseCommandBuffer();
        StateTest::TearDown();
    }

    // Puts `lines` into the event list file and the buffer.
    void Buffer(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& line : lines) bytes += line + std::string(kEventLineEnd);
        WriteFileBytes(EventList(), bytes);
        ReadBackEventList();
    }
    fs::path EventList() const { return State().eventListPath.CStr(); }
    fs::path SendList() const { return State().sendListPath.CStr(); }
    std::string BatchLine() const {
        std::string line = kBatchLine;
        line.replace(line.find("%SEND%"), 6, State().sendListPath.CStr());
        return line;
    }
    // Box codes once `count` boxes (async ones included) are in, sorted.
    std::vector<int32_t> Codes(std::size_t count) {
        expectedBoxes = count;
        EXPECT_TRUE(recorder.WaitForBoxes(count));
        std::vector<int32_t> codes = recorder.Codes();
        std::sort(codes.begin(), codes.end());
        return codes;
    }

    TempDir temp;
    Script run;
    BoxRecorder recorder;
    TransferRunners saved;
    std::size_t expectedBoxes = 0;
    const std::vector<std::string> three = {"-cmd=put|-dir=/r|-ldir=C:\\w|-filename=a.txt|",
                                            "-cmd=put|-dir=/r|-ldir=C:\\w|-filename=b.txt|",
                                            "-cmd=mkdir|-dir=/r|-ldir=C:\\w|-filename=c|"};
};

TEST_F(TransferRunsTest, FailedBatchIsReportedAndReplacedByUpload) {
    Buffer(three);
    State().intervalReached = 1;
    run.statuses = {-1010, 0};
    // A command buffered while the tool runs is dropped with the batch: the
    // upload sends the folder as it is.
    run.during = [this](std::size_t index) {
        if (index == 0) WriteFileBytes(EventList(), three[0] + std::string(kEventLineEnd));
    };
    EXPECT_EQ(FireEventList(), -1010);
    ASSERT_EQ(run.seen.size(), 2u);
    EXPECT_EQ(run.seen[0].commandLine, BatchLine());
    EXPECT_EQ(run.seen[1].commandLine, kUploadLine);
    EXPECT_EQ(fs::file_size(EventList()), 0u);
    EXPECT_EQ(State().lastSyncResult, 0);
    EXPECT_EQ(Codes(2), (std::vector<int32_t>{100, 204}));
    for (const RecordedBox& box : recorder.Boxes()) {
        if (box.code != 100) continue;
        EXPECT_EQ(box.caption, L"C:\\w");
        EXPECT_EQ(box.text,
                  L" Specified time interval reached\nProcess failed with returned as -1010: "
                  L"PLE_NOSERVER / Invalid server ip or port");
    }
}

TEST_F(TransferRunsTest, ErrorFileMakesASuccessfulBatchFail) {
    Buffer(three);
    WriteFileBytes(State().errorFilePath.CStr(), "something went wrong\n");
    State().verbose = 2;
    State().dependentMode = 1;
    EXPECT_EQ(FireEventList(), 0);
    ASSERT_EQ(run.seen.size(), 2u);
    EXPECT_EQ(run.seen[1].commandLine, kUploadLine);
    // 210 progress, 207 fallback, -2013 from the firing and again from the
    // upload; no report since both statuses were 0.
    EXPECT_EQ(Codes(4), (std::vector<int32_t>{-2013, -2013, 207, 210}));
    // The watcher leaves the error file for the user.
    EXPECT_TRUE(fs::exists(State().errorFilePath.CStr()));
}

TEST_F(TransferRunsTest, EmptyListRunsOnlyTheIdleDownloadAfterAnInterval) {
    struct Case {
        bool fileExists;
        int32_t noIntervalDownload;
        int32_t interval;
        std::vector<std::string> transfers;
    };
    const Case cases[] = {
        {true, 0, 1, {kDownloadLine}},
        {false, 0, 1, {kDownloadLine}},
        {true, 1, 1, {}},  // count mode
        {true, 1, 0, {}},
        {true, 0, 0, {}},
    };
    for (const Case& c : cases) {
        run.seen.clear();
        sleeps.clear();
        fs::remove(EventList());
        if (c.fileExists) WriteFileBytes(EventList(), "");
        State().noIntervalDownload = c.noIntervalDownload;
        State().intervalReached = c.interval;
        State().dependentMode = 1;
        EXPECT_EQ(FireEventList(), 1);
        ASSERT_EQ(run.seen.size(), c.transfers.size());
        for (std::size_t i = 0; i < run.seen.size(); ++i) {
            EXPECT_EQ(run.seen[i].commandLine, c.transfers[i]);
            EXPECT_EQ(run.seen[i].timedDownloadActive, 1);
        }
        EXPECT_EQ(sleeps,
                  c.transfers.empty() ? std::vector<uint32_t>{} : std::vector<uint32_t>{5000});
        EXPECT_EQ(State().timedDownloadActive, 0);
    }
}

TEST_F(TransferRunsTest, ProgressMessagesNameWhyItFired) {
    struct Case {
        int32_t interval, threshold, noIntervalDownload;
        std::vector<int32_t> codes;
    };
    const Case cases[] = {
        {1, 0, 1, {201}}, {0, 1, 1, {202}},      {1, 1, 1, {201}},
        {0, 0, 1, {210}}, {0, 1, 0, {202, 209}},  // interval mode, count fired: the idle download
                                                  // is skipped
    };
    for (const Case& c : cases) {
        recorder.Clear();
        Buffer({three[0]});
        State().verbose = 1;
        State().intervalReached = c.interval;
        State().thresholdReached = c.threshold;
        State().noIntervalDownload = c.noIntervalDownload;
        EXPECT_EQ(FireEventList(), 0);
        EXPECT_EQ(recorder.Codes(), c.codes);
    }
}

TEST_F(TransferRunsTest, GoogleDriveModeAsksTheTrayApplication) {
    Buffer(three);
    State().googleDriveMode = 1;
    run.statuses = {-1027, 0};
    EXPECT_EQ(FireEventList(), -1027);
    ASSERT_EQ(run.seen.size(), 2u);
    EXPECT_EQ(run.seen[0].subject, "C:\\w");
    EXPECT_EQ(run.seen[0].commandLine, "C:\\w|eventfilelist|PellaroCNW");
    EXPECT_TRUE(run.seen[0].sendListPresent);
    EXPECT_EQ(run.seen[1].commandLine, "C:\\w|SyncUpload|PellaroCNW");
    EXPECT_FALSE(fs::exists(SendList()));
    EXPECT_TRUE(State().toolCommandLine.Empty());
    // The pipe's busy status is reported like any other failure.
    EXPECT_EQ(Codes(1), (std::vector<int32_t>{100}));

    run.seen.clear();
    State().verbose = 1;
    EXPECT_EQ(SyncDownload(), 0);
    ASSERT_EQ(run.seen.size(), 1u);
    EXPECT_EQ(run.seen[0].commandLine, "C:\\w|SyncDownload|PellaroCNW");
}

TEST_F(TransferRunsTest, EventListThatCannotBeTakenOverIsLeftAlone) {
    Buffer(three);
    WriteFileBytes(SendList(), "left from before\n");
    EXPECT_EQ(FireEventList(), 1);
    EXPECT_TRUE(run.seen.empty());
    EXPECT_EQ(State().commands.commandCount, 3);
    EXPECT_EQ(ReadCommandLines(EventList().string()), three);
    EXPECT_EQ(ReadFileBytes(SendList()), "left from before\n");
}

TEST_F(TransferRunsTest, BatchLockHeldElsewhereEndsThePass) {
    Buffer(three);
    std::timed_mutex started;
    started.lock();
    std::thread holder([&] {
        std::lock_guard<std::recursive_timed_mutex> lock(State().bufferMutex);
        started.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    });
    started.lock();
    EXPECT_EQ(FireEventList(), 1);
    holder.join();
    started.unlock();
    EXPECT_TRUE(run.seen.empty());
    EXPECT_EQ(ReadCommandLines(EventList().string()), three);
}

// Whether another thread (the change handler) can take bufferMutex now.
bool LockFreeForOthers() {
    bool free = false;
    std::thread other([&free] {
        std::unique_lock<std::recursive_timed_mutex> lock(State().bufferMutex, std::defer_lock);
        free = lock.try_lock();
    });
    other.join();
    return free;
}

TEST_F(TransferRunsTest, NoLockIsHeldWhileTransfersRun) {
    std::vector<bool> free;
    run.during = [&free](std::size_t) { free.push_back(LockFreeForOthers()); };
    run.statuses = {-1, 0};
    State().dependentMode = 1;
    Buffer(three);
    FireEventList();  // the batch and the upload that replaces it
    State().googleDriveMode = 1;
    Buffer(three);
    FireEventList();
    SyncDownload();
    EXPECT_EQ(free, std::vector<bool>(4, true));
}

TEST_F(TransferRunsTest, SynchronisationReportsAndWarnings) {
    struct Case {
        bool upload;
        int32_t status, verbose, dependent;
        std::vector<int32_t> codes;  // sorted
    };
    const Case cases[] = {
        {true, 0, 0, 0, {204}},       {true, 0, 0, 1, {}},
        {true, 99, 0, 1, {100, 212}},  // reported whatever verbose says
        {false, 0, 0, 0, {206}},      {false, 0, 0, 1, {}},
        {false, -1010, 0, 1, {}},  // a failed download is reported only when verbose is 1
        {false, -1010, 2, 1, {}},     {false, -1010, 1, 1, {100}},
    };
    for (const Case& c : cases) {
        recorder.WaitForBoxes(expectedBoxes);
        recorder.Clear();
        run.seen.clear();
        run.statuses = {c.status};
        State().verbose = c.verbose;
        State().dependentMode = c.dependent;
        EXPECT_EQ(c.upload ? SyncUpload() : SyncDownload(), 0);
        EXPECT_EQ(State().lastSyncResult, c.status);
        ASSERT_EQ(run.seen.size(), 1u);
        EXPECT_EQ(run.seen[0].commandLine, c.upload ? kUploadLine : kDownloadLine);
        EXPECT_EQ(Codes(c.codes.size()), c.codes) << c.upload << " " << c.status;
    }
}

TEST_F(TransferRunsTest, ToolLineThatDoesNotFitIsNeverRun) {
    State().toolDir = nullptr;
    State().dependentMode = 1;
    SyncUpload();
    ASSERT_EQ(run.seen.size(), 1u);
    EXPECT_EQ(run.seen[0].commandLine,
              "\"bin\\plftp\" -f \"C:\\data\\k_put.config\" -path \"C:\\w\"");

    // A configuration path so long that the folder would be cut off.
    run.seen.clear();
    State().putConfigPath.Assign(std::string(600, 'c'));
    SyncUpload();
    EXPECT_TRUE(run.seen.empty());
    EXPECT_EQ(State().lastSyncResult, 99);
    EXPECT_EQ(State().toolCommandLine.Length(), 511u);
    EXPECT_EQ(recorder.Codes(), (std::vector<int32_t>{100, 212}));
}

TEST(SwapFileLine, ThirdItemGetMeansDownload) {
    struct Case {
        std::string line;
        bool download;
    };
    const Case cases[] = {
        {"word 12 get", true},
        {"word 12 get\n", true},
        {"  word\t-3   get  trailing", true},
        {"word 12get", true},  // the number ends where the digits do
        {std::string(300, 'w') + " 1 get", true},
        {"word 12 put", false},
        {"word 12 gets", false},
        {"word 12 GET", false},
        {"word x get", false},
        {"word 12", false},
        {"get", false},
        {"", false},
        {"word 12 " + std::string(300, 'g'), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SwapLineSaysDownload(c.line.c_str()), c.download) << c.line;
    }
    EXPECT_FALSE(SwapLineSaysDownload(nullptr));
}

TEST_F(TransferRunsTest, SwapFileIsReadFromTheDataFolder) {
    const std::string swapPath = std::string(State().dataDir.CStr()) + "\\k_.plftp.swap";
    EXPECT_FALSE(IsDownloadUnderway());
    WriteFileBytes(swapPath, "");
    EXPECT_FALSE(IsDownloadUnderway());
    WriteFileBytes(swapPath, "word 12 get\nother 1 put\n");
    EXPECT_TRUE(IsDownloadUnderway());
    WriteFileBytes(swapPath, "word 12 put\nother 1 get\n");
    EXPECT_FALSE(IsDownloadUnderway());
    // Only the first 511 bytes of the line count.
    WriteFileBytes(swapPath, std::string(509, 'w') + " 1 get\n");
    EXPECT_FALSE(IsDownloadUnderway());
    std::filesystem::remove(swapPath);
}

}  // namespace
