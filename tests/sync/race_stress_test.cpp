// Catches: a change lost or sent twice while the timer thread fires amid the dialog's additions.
// The thread-sanitizer build runs it longer (PELLARO_RACE_SECONDS) and must report nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/buffer_fixture.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/sync_timer.h"
#include "sync/transfer_runs.h"
#include "watch/change_event_handler.h"
#include "sync/transfer_command.h"

namespace {

std::atomic<int64_t> clockSeconds{0};
std::atomic<uint32_t> networkChecks{0};
std::atomic<int> toolRuns{0};
std::mutex sentMutex;
std::map<std::string, int> sentFiles;  // file name → times the tool got it; sentMutex

// Down for one check in seven: the firing then sends nothing and resets nothing.
bool FlappingNetwork() { return ++networkChecks % 7 != 0; }

int32_t FakeTool(const char*, uint32_t& childProcessId, uint32_t& errorCode) {
    childProcessId = 1;
    errorCode = 0;
    ++toolRuns;
    std::lock_guard<std::mutex> lock(sentMutex);
    for (const std::string& line : ReadCommandLines(std::string(State().sendListPath.Str()))) {
        ++sentFiles[std::string(ParseCommand(line).filename.Str())];
    }
    // The tool takes a moment: changes keep arriving meanwhile.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    return 0;
}

class RaceStressTest : public BufferTest {
protected:
    void SetUp() override {
        BufferTest::SetUp();
        CurrentChangeHandlerCalls() = {[](const wchar_t*) { return false; }, [] { return true; },
                                       [] { return false; }, [] { return true; }};
        CurrentTransferRunners() = {FakeTool, [](const char*, const char*) { return -1; }};
        Seams& seams = CurrentSeams();
        seams.now = [] { return clockSeconds.load(); };
        // A second of the clock, and a moment of real time for the other thread.
        seams.sleepMs = [](uint32_t ms) {
            clockSeconds += ms / 1000;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        };
        seams.isNetworkAlive = FlappingNetwork;
        WriteFileBytes(folder / "cnwfolder.txt", "C:\\W=0\n");
    }
    // As StartWatcher leaves it.
    void StartRound() {
        WatcherState& s = State();
        s.Reset();
        s.dataDir.Assign(folder.Ansi());
        s.eventListPath.Assign(eventList);
        s.sendListPath.Assign(sendList);
        s.watchedPath.Assign("C:\\W");
        s.remoteDir.Assign("/r");
        s.remoteDirSet = s.subFolders = s.thresholdSync = s.intervalSync = 1;
        s.syncThreshold = 3;
        s.syncInterval = 2;
        s.intervalStart = clockSeconds.load();
        CreateCommandBuffer(s.commands);
        WriteFileBytes(eventList, "");
        ASSERT_TRUE(StartSyncTimer());
    }

    // The shutdown's part after the timer: save, last firing (the network up for it), release.
    static void StopRound() {
        StopSyncTimer();
        WatcherState& s = State();
        if (s.commands.commandCount > 0) SaveAndClearBuffer();
        CurrentSeams().isNetworkAlive = [] { return true; };
        if (!ReadFileBytes(s.eventListPath.Str()).empty()) FireEventList();
        CurrentSeams().isNetworkAlive = FlappingNetwork;
        ReleaseCommandBuffer();
    }
};

TEST_F(RaceStressTest, EveryChangeReachesTheToolOnceWhileTheTimerFires) {
    const char* seconds = std::getenv("PELLARO_RACE_SECONDS");
    const auto until = std::chrono::steady_clock::now() +
                       (seconds && std::atoi(seconds) > 0 ? std::chrono::seconds(std::atoi(seconds))
                                                          : std::chrono::milliseconds(300));
    sentFiles.clear();
    int files = 0, rounds = 0;
    for (; rounds < 3 || std::chrono::steady_clock::now() < until; ++rounds) {
        StartRound();
        const int firedBefore = toolRuns.load();
        // A round ends at any point of a firing: between 40 and 160 changes.
        const int changes = 40 + (rounds * 29) % 120;
        for (int i = 0; i < changes; ++i, ++files) {
            const std::wstring path = L"C:\\W\\d" + std::to_wstring(files % 5) + L"\\f" +
                                      std::to_wstring(files) + L".txt\\";
            HandleChangeEvent(kEventCreate, path.c_str(), nullptr);
            // Now and then the change feed lost changes: a put of the whole folder.
            if (i % 23 == 11) HandleLostChanges();
            // Group commit: the flush message arrives a few notifications later.
            RequestEventListFlush();
            if (i % 5 == 4) EventListFlushArrived();
            if (i % 16 == 0) std::this_thread::yield();
            // Midway the timer fires at least once, however the threads were scheduled so far:
            // the rest of the round races a firing that has begun.
            if (i == changes / 2) {
                EventListFlushArrived();
                const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (toolRuns.load() == firedBefore && std::chrono::steady_clock::now() < limit) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (toolRuns.load() == firedBefore) {
                    StopRound();
                    FAIL() << "round " << rounds << ": the timer did not fire within 60 s";
                }
            }
        }
        EventListFlushArrived();  // the close message is queued behind the flush message
        StopRound();
    }

    std::lock_guard<std::mutex> lock(sentMutex);
    std::string missing, twice;
    for (int i = 0; i < files; ++i) {
        const auto found = sentFiles.find("f" + std::to_string(i) + ".txt");
        const int times = found == sentFiles.end() ? 0 : found->second;
        if (times != 1) (times == 0 ? missing : twice) += " " + std::to_string(i);
    }
    EXPECT_EQ(missing, "") << "of " << files << " lost";
    EXPECT_EQ(twice, "") << "sent more than once";
    EXPECT_GE(sentFiles[""], 1);  // the whole-folder puts have no file name
    EXPECT_EQ(sentFiles.size(), static_cast<std::size_t>(files) + 1);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_TRUE(exitCodes.empty());
}

}  // namespace
