// Catches: a firing that runs the wrong transfer or box, or holds bufferMutex while it runs.
// Scripted transfers; the batches themselves are shown by the end-to-end runs.
#include "sync/transfer_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

constexpr char kUploadLine[] = R"("C:\pl\bin\plftp" -f "C:\data\k_put.config" -path "C:\w")";
constexpr char kDownloadLine[] = R"("C:\pl\bin\plftp" -f "C:\data\k_get.config" -path "C:\w")";

struct Script {
    std::vector<int32_t> statuses;  // per transfer, the last repeats; 0 without
    std::vector<std::string> seen;  // batch, upload, download or the pipe command
    std::function<void()> during;   // runs while "the tool runs"
    int32_t Next(const std::string& line) {
        seen.push_back(line == kUploadLine     ? "upload"
                       : line == kDownloadLine ? "download"
                       : line.find(" -filelist ") != std::string::npos ? "batch"
                                                                        : line);
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
        saved = CurrentTransferRunners();
        CurrentTransferRunners() = {[](const char* line, uint32_t& child, uint32_t& error) {
                                        child = 4242;
                                        error = 0;
                                        return run.Next(line);
                                    },
                                    [](const char*, const char* command) {
                                        return run.Next(command);
                                    }};
        CurrentSeams().isNetworkAlive = [] { return networkAlive; };
        CurrentSeams().sleepMs = [](uint32_t ms) {
            sleeps.push_back(std::to_string(ms) + " " + std::to_string(State().timedDownloadActive));
        };
        Fresh(-1);
    }
    void TearDown() override {
        recorder.WaitForBoxes(expectedBoxes);
        CurrentTransferRunners() = saved;
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
        s.dataDir.Assign(temp.Ansi());
        s.folderKey = "k";
        s.eventListPath.Assign((temp / "k_events.txt").string());
        s.sendListPath.Assign((temp / "k_send.txt").string());
        s.errorFilePath.Assign((temp / "k_plerror.txt").string());
        CreateCommandBuffer(s.commands);
        std::string bytes;
        for (int i = 0; i < count; ++i) bytes += three[i] + std::string(kEventLineEnd);
        std::remove(State().errorFilePath.CStr());
        std::remove(State().eventListPath.CStr());
        if (count >= 0) WriteFileBytes(State().eventListPath.CStr(), bytes);
        ReadBackEventList();
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
    BoxRecorder recorder;
    TransferRunners saved;
    std::size_t expectedBoxes = 0;
    const std::vector<std::string> three = {"-cmd=put|-dir=/r|-ldir=C:\\w|-filename=a.txt|",
                                            "-cmd=put|-dir=/r|-ldir=C:\\w|-filename=b.txt|",
                                            "-cmd=mkdir|-dir=/r|-ldir=C:\\w|-filename=c|"};
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
    const Case cases[] = {
        {.what = "no list after an interval: the idle download", .list = -1, .interval = 1,
         .noIntervalDownload = 0, .result = 1, .transfers = {"download"}},
        {.what = "an empty list in count mode", .list = 0, .result = 1, .transfers = {}},
        {.what = "an empty list before the interval", .list = 0, .noIntervalDownload = 0,
         .result = 1, .transfers = {}},
        {.what = "fired by the interval", .interval = 1, .verbose = 1, .codes = {201}},
        {.what = "fired by the count", .threshold = 1, .verbose = 1, .codes = {202}},
        {.what = "both: the interval names it", .interval = 1, .threshold = 1, .verbose = 1,
         .codes = {201}},
        {.what = "at start-up", .verbose = 1, .codes = {210}},
        {.what = "count in interval mode skips the idle download", .threshold = 1,
         .noIntervalDownload = 0, .verbose = 1, .codes = {202, 209}},
        {.what = "network down: all stays", .verbose = 1, .network = false, .result = 1,
         .transfers = {}, .codes = {-2005}},
        {.what = "a failed batch is reported and followed by an upload", .interval = 1,
         .statuses = {-1010, 0}, .result = -1010, .transfers = {"batch", "upload"},
         .codes = {100}},
        {.what = "an error file fails the batch too", .errorFile = true,
         .transfers = {"batch", "upload"}, .codes = {-2013}},
        {.what = "Google Drive falls back through the pipe", .drive = 1, .statuses = {-1027, 0},
         .result = -1027,
         .transfers = {"C:\\w|eventfilelist|PellaroCNW", "C:\\w|SyncUpload|PellaroCNW"},
         .codes = {100}},
        {.what = "Google Drive download", .action = kDownload, .drive = 1,
         .transfers = {"C:\\w|SyncDownload|PellaroCNW"}},
        {.what = "failed upload, whatever verbose says", .action = kUpload, .statuses = {99},
         .transfers = {"upload"}, .codes = {100, 212}},
        {.what = "failed download, not verbose", .action = kDownload, .verbose = 2,
         .statuses = {-1010}, .transfers = {"download"}},
        {.what = "failed download, verbose", .action = kDownload, .verbose = 1,
         .statuses = {-1010}, .transfers = {"download"}, .codes = {100}},
        {.what = "upload, not dependent", .action = kUpload, .dependent = 0,
         .transfers = {"upload"}, .codes = {204}},
        {.what = "download, not dependent", .action = kDownload, .dependent = 0,
         .transfers = {"download"}, .codes = {206}},
    };
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
            EXPECT_EQ(c.action == kUpload ? SyncUpload() : SyncDownload(), 0);
            EXPECT_EQ(s.lastSyncResult, c.statuses.empty() ? 0 : c.statuses[0]);
        }
        EXPECT_EQ(run.seen, c.transfers);
        EXPECT_EQ(Codes(c.codes.size()), c.codes);
        // The idle download's pause keeps the changes it makes from being sent back.
        if (c.action == kFire && c.transfers == std::vector<std::string>{"download"}) {
            EXPECT_EQ(sleeps, std::vector<std::string>{"5000 1"});
        }
        EXPECT_EQ(s.timedDownloadActive, 0);
    }
}

TEST_F(TransferRunsTest, NoLockIsHeldWhileTransfersRunAndABusyLockSkipsThePass) {
    std::vector<bool> free;
    const auto tryLock = [&free] {
        bool taken = false;
        std::thread([&taken] {
            std::unique_lock<std::recursive_timed_mutex> lock(State().bufferMutex,
                                                              std::defer_lock);
            taken = lock.try_lock();
        }).join();
        free.push_back(taken);
    };
    for (const int32_t drive : {0, 1}) {
        Fresh(3);
        run.during = tryLock;
        run.statuses = {-1, 0};
        State().dependentMode = 1;
        State().googleDriveMode = drive;
        FireEventList();  // the batch and the upload that replaces it
        SyncDownload();
    }
    EXPECT_EQ(free, std::vector<bool>(6, true));

    // bufferMutex held longer than the pass waits: the list stays as it is.
    Fresh(3);
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
    EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()), three);
}

TEST_F(TransferRunsTest, SwapFileFirstLineWithThirdItemGetMeansDownload) {
    const std::string swapPath = std::string(State().dataDir.CStr()) + "\\k_.plftp.swap";
    EXPECT_FALSE(IsDownloadUnderway());
    const std::pair<std::string, bool> cases[] = {
        {"word 12 get\nother 1 put\n", true}, {"word 12 put\nother 1 get\n", false},
        {"  word\t-3   get  trailing", true}, {"word 12 gets", false},
        {std::string(509, 'w') + " 1 get\n", false},  // only 511 bytes of the line count
    };
    for (const auto& [bytes, underway] : cases) {
        WriteFileBytes(swapPath, bytes);
        EXPECT_EQ(IsDownloadUnderway(), underway) << bytes.substr(0, 20);
    }
}

}  // namespace
