// The firing and synchronisation decisions with scripted transfers; the
// end-to-end runs against the doubles are in transfer_runs_wintest.cpp.
#include "sync/transfer_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"

namespace {

namespace fs = std::filesystem;

struct Transfer {
    std::string commandLine;  // the tool's command line, or the pipe command
    std::string subject;      // the pipe subject; empty for a tool run
    bool sendListPresent = false;
    int32_t timedDownloadActive = 0;
    std::vector<std::string> sendList;  // its commands while the tool runs
};

struct Script {
    std::vector<int32_t> statuses;  // per transfer, the last repeats; 0 without
    std::vector<Transfer> seen;
    std::function<void()> during;  // runs while "the tool runs"

    int32_t Next(std::string commandLine, std::string subject) {
        seen.push_back({std::move(commandLine), std::move(subject),
                        fs::exists(State().sendListPath.CStr()), State().timedDownloadActive,
                        ReadCommandLines(State().sendListPath.CStr())});
        if (during) during();
        return statuses.empty() ? 0 : statuses[std::min(seen.size(), statuses.size()) - 1];
    }
};
Script* script = nullptr;

int32_t FakeRunProcess(const char* commandLine, uint32_t& childProcessId, uint32_t& errorCode) {
    childProcessId = 4242;
    errorCode = 0;
    return script->Next(commandLine, "");
}
int32_t FakePipe(const char* subject, const char* command) { return script->Next(command, subject); }

bool networkAlive = true;
bool NetworkAlive() { return networkAlive; }
std::vector<uint32_t> sleeps;
void RecordSleep(uint32_t ms) { sleeps.push_back(ms); }

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

TEST_F(TransferRunsTest, EmptyListRunsOnlyTheIdleDownloadAfterAnInterval) {
    struct Case {
        bool fileExists;
        int32_t noIntervalDownload, interval;
        bool download;
    };
    for (const Case& c : {Case{false, 0, 1, true}, {true, 1, 0, false}, {true, 0, 0, false}}) {
        run.seen.clear();
        sleeps.clear();
        fs::remove(EventList());
        if (c.fileExists) WriteFileBytes(EventList(), "");
        State().noIntervalDownload = c.noIntervalDownload;
        State().intervalReached = c.interval;
        State().dependentMode = 1;
        EXPECT_EQ(FireEventList(), 1);
        ASSERT_EQ(run.seen.size(), c.download ? 1u : 0u);
        for (const Transfer& t : run.seen) EXPECT_EQ(t.commandLine, kDownloadLine);
        EXPECT_EQ(sleeps, c.download ? std::vector<uint32_t>{5000} : std::vector<uint32_t>{});
    }
}

TEST_F(TransferRunsTest, ProgressMessagesNameWhyItFired) {
    struct Case {
        int32_t interval, threshold, noIntervalDownload;
        std::vector<int32_t> codes;
    };
    const Case cases[] = {
        {1, 0, 1, {201}}, {0, 1, 1, {202}}, {1, 1, 1, {201}}, {0, 0, 1, {210}},
        {0, 1, 0, {202, 209}},  // interval mode, count fired: the idle download is skipped
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

TEST_F(TransferRunsTest, GoogleDriveModeFallsBackThroughThePipe) {
    Buffer(three);
    State().googleDriveMode = 1;
    run.statuses = {-1027, 0};
    EXPECT_EQ(FireEventList(), -1027);
    ASSERT_EQ(run.seen.size(), 2u);
    EXPECT_EQ(run.seen[0].subject, "C:\\w");
    EXPECT_TRUE(run.seen[0].sendListPresent);
    EXPECT_EQ(run.seen[1].commandLine, "C:\\w|SyncUpload|PellaroCNW");
    EXPECT_TRUE(State().toolCommandLine.Empty());
    EXPECT_EQ(Codes(1), (std::vector<int32_t>{100}));

    run.seen.clear();
    State().verbose = 1;
    EXPECT_EQ(SyncDownload(), 0);
    ASSERT_EQ(run.seen.size(), 1u);
    EXPECT_EQ(run.seen[0].commandLine, "C:\\w|SyncDownload|PellaroCNW");
}

TEST_F(TransferRunsTest, PassThatCannotTakeTheListLeavesItAlone) {
    // A send list an earlier run left goes with the batch.
    Buffer(three);
    WriteFileBytes(SendList(), "left from before\n");
    EXPECT_EQ(FireEventList(), 0);
    ASSERT_EQ(run.seen.size(), 1u);
    EXPECT_EQ(run.seen[0].sendList.size(), 4u);

    // One that cannot be merged back blocks every pass: reported once a run.
    run.seen.clear();
    Buffer(three);
    fs::create_directory(SendList());
    EXPECT_EQ(FireEventList(), 1);
    EXPECT_EQ(FireEventList(), 1);
    EXPECT_EQ(State().commands.commandCount, 3);
    EXPECT_EQ(recorder.Codes(), (std::vector<int32_t>{-2004}));
    fs::remove(SendList());

    std::timed_mutex started;  // bufferMutex held longer than the pass waits
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

TEST_F(TransferRunsTest, NoLockIsHeldWhileTransfersRun) {
    std::vector<bool> free;
    run.during = [&free] {
        bool taken = false;
        std::thread other([&taken] {
            std::unique_lock<std::recursive_timed_mutex> lock(State().bufferMutex,
                                                              std::defer_lock);
            taken = lock.try_lock();
        });
        other.join();
        free.push_back(taken);
    };
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

TEST_F(TransferRunsTest, FailedSynchronisationReports) {
    struct Case {
        bool upload;
        int32_t status, verbose;
        std::vector<int32_t> codes;  // sorted
    };
    const Case cases[] = {
        {true, 99, 0, {100, 212}},  // reported whatever verbose says
        {false, -1010, 0, {}},      // a failed download is reported only when verbose is 1
        {false, -1010, 2, {}},
        {false, -1010, 1, {100}},
    };
    for (const Case& c : cases) {
        recorder.WaitForBoxes(expectedBoxes);
        recorder.Clear();
        run.seen.clear();
        run.statuses = {c.status};
        State().verbose = c.verbose;
        State().dependentMode = 1;
        EXPECT_EQ(c.upload ? SyncUpload() : SyncDownload(), 0);
        EXPECT_EQ(State().lastSyncResult, c.status);
        ASSERT_EQ(run.seen.size(), 1u);
        EXPECT_EQ(run.seen[0].commandLine, c.upload ? kUploadLine : kDownloadLine);
        EXPECT_EQ(Codes(c.codes.size()), c.codes) << c.upload << " " << c.status;
    }
}

TEST_F(TransferRunsTest, LongToolLineRunsWholeAndIsKeptCut) {
    State().toolDir = nullptr;
    State().dependentMode = 1;
    State().putConfigPath.Assign(std::string(600, 'c'));
    SyncUpload();
    ASSERT_EQ(run.seen.size(), 1u);
    EXPECT_EQ(run.seen[0].commandLine, "\"bin\\plftp\" -f \"" + std::string(600, 'c') +
                                           "\" -path \"C:\\w\"");
    EXPECT_EQ(State().toolCommandLine.Str(), run.seen[0].commandLine.substr(0, 511));
}

TEST_F(TransferRunsTest, SwapFileFirstLineWithThirdItemGetMeansDownload) {
    const std::string swapPath = std::string(State().dataDir.CStr()) + "\\k_.plftp.swap";
    EXPECT_FALSE(IsDownloadUnderway());
    const std::pair<std::string, bool> cases[] = {
        {"", false},
        {"word 12 get\nother 1 put\n", true},
        {"word 12 put\nother 1 get\n", false},
        {"  word\t-3   get  trailing", true},
        {"word 12get", true},  // the number ends where the digits do
        {std::string(300, 'w') + " 1 get", true},
        {std::string(509, 'w') + " 1 get\n", false},  // only 511 bytes of the line count
        {"word 12 gets", false},
        {"word 12 GET", false},
        {"word x get", false},
        {"word 12", false},
        {"get", false},
        {"word 12 " + std::string(300, 'g'), false},
    };
    for (const auto& [bytes, underway] : cases) {
        WriteFileBytes(swapPath, bytes);
        EXPECT_EQ(IsDownloadUnderway(), underway) << bytes.substr(0, 20);
    }
    fs::remove(swapPath);
    EXPECT_FALSE(SwapLineSaysDownload(nullptr));
}

}  // namespace
