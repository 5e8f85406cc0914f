// Catches: a change left unsent (or uncounted) by the end of a firing, a count that keeps firing
// on nothing, a dependent watcher that outlives the tray application while firings fail, and a
// count mode that waits out the timer's second (or a wake that is lost, comes in interval mode, or
// outlives the cycle that answered it). Real firings and timer cycles with a scripted tool, a
// fake clock and sleep, and a recorded process end.
#include "sync/sync_timer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/buffer_fixture.h"
#include "watch/change_event_handler.h"
#include "sync/transfer_runs.h"
#include "sync/transfer_command.h"

namespace {

std::vector<std::string> sent;      // every command the tool was given, in order
std::function<void()> duringRun;    // runs once, inside the next tool run
std::function<void()> afterFiring;  // runs once, between the firing and the cycle's reset
int firings = 0;
bool networkAlive = true;
std::vector<uint32_t> sleeps;  // every sleep the timer asked of the seam, in ms

class SyncTimerCycleTest : public BufferTest {
protected:
    void SetUp() override {
        BufferTest::SetUp();
        sent.clear();
        duringRun = nullptr;
        afterFiring = nullptr;
        firings = 0;
        networkAlive = true;
        CurrentSeams().isNetworkAlive = [] { return networkAlive; };
        CurrentSeams().now = [] { return int64_t{0}; };
        sleeps.clear();
        CurrentSeams().sleepMs = [](uint32_t ms) { sleeps.push_back(ms); };
        CurrentTransferRunners().runProcess = [](const char*, uint32_t&, uint32_t&) {
            for (const std::string& line : ReadCommandLines(State().sendListPath.CStr())) {
                sent.push_back(line);
            }
            if (auto run = std::exchange(duringRun, nullptr)) run();
            return 0;
        };
        CurrentTimerFiring() = [] {
            ++firings;
            const int32_t status = FireEventList();
            if (auto late = std::exchange(afterFiring, nullptr)) late();
            return status;
        };
        std::remove(eventList.c_str());
        std::remove(sendList.c_str());
        WatcherState& s = State();
        s.toolDir = "";
        s.thresholdSync = 1;
        s.timerThreadRecorded = true;
    }
    // A change as the handler takes it; its write is either done or still queued with the dialog.
    static void Change(const std::string& command, bool writeQueued = false) {
        if (writeQueued) static_cast<void>(RequestEventListFlush());
        AddCounted(command, kEventCreate);
    }
    void Cycles(int count) {
        for (int i = 0; i < count; ++i) RunTimerCycle();
    }
};

TEST_F(SyncTimerCycleTest, AfterAFiringTheCountHoldsWhatIsStillPending) {
    const struct {
        const char* name;
        int32_t threshold;
        std::vector<std::string> before;  // counted changes before the first cycle
        int noCommand;                    // counted changes that merged to nothing
        bool queuedDuringRun;             // b.txt arrives during the run, its write still queued
        bool afterLastTest;  // b.txt arrives after the firing's last test, before the reset
        std::vector<std::string> sent;
        int32_t pending;  // the count after ten cycles
        int firings;
    } rows[] = {
        // clang-format off
        {"write queued at the last size test", 1, {"a.txt"}, 0, true, false, {PutInW("a.txt"), PutInW("b.txt")}, 0, 1},
        {"change between the last test and the reset", 1, {"a.txt"}, 0, false, true, {PutInW("a.txt"), PutInW("b.txt")}, 0, 2},
        {"changes that left no command fire once, then rest", 2, {}, 2, false, false, {}, 0, 1},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        State().syncThreshold = row.threshold;
        for (const std::string& name : row.before) Change(PutInW(name));
        State().pendingEvents += row.noCommand;
        if (row.queuedDuringRun) duringRun = [] { Change(PutInW("b.txt"), true); };
        if (row.afterLastTest) afterFiring = [] { Change(PutInW("b.txt")); };
        Cycles(10);
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(State().pendingEvents.load(), row.pending);
        EXPECT_EQ(firings, row.firings);
    }
}

// A firing that keeps failing (the network down) does not keep the watcher alive: with no tray
// application here, the first cycle ends it.
TEST_F(SyncTimerCycleTest, ADependentWatcherEndsOnTheFirstCycleAfterTheTrayAppHasGone) {
    State().dependentMode = 1;
    networkAlive = false;
    Change(PutInW("a.txt"), true);
    Cycles(1);
    EXPECT_EQ(exitCodes, std::vector<uint32_t>{0});
    // Its queued write reached the file first: the next start sends it.
    EXPECT_EQ(ReadCommandLines(State().eventListPath.CStr()),
              std::vector<std::string>{PutInW("a.txt")});
}

TEST_F(SyncTimerCycleTest, AChangeThatReachesTheCountEndsTheIdleWaitAndNothingElseDoes) {
    enum class Arrives { kChange, kTwoChanges, kLostChanges, kStop };
    const struct {
        const char* name;
        int32_t threshold;                 // 0: interval mode alone (60 s)
        Arrives arrives;                   // after the cycle's decision, before its wait
        std::vector<uint32_t> waitSleeps;  // what the idle wait then slept
        int firings;                       // on the next cycle
    } rows[] = {
        {"count reached: the wait ends at once, the next cycle fires", 1, Arrives::kChange, {}, 1},
        {"two of three counted: the wait sleeps its second", 3, Arrives::kTwoChanges, {1000}, 0},
        {"the feed lost changes: the folder is due at once", 1000, Arrives::kLostChanges, {}, 1},
        {"interval mode keeps its seconds", 0, Arrives::kChange, {1000}, 0},
        {"the stop ends the wait", 1, Arrives::kStop, {}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        CurrentChangeHandlerCalls() = {[](const wchar_t*) { return false; }, [] { return true; },
                                       [] { return false; }, [] { return true; }};
        WatcherState& s = State();
        s.dataDir.Assign(folder.Ansi());
        WriteFileBytes(folder / "cnwfolder.txt", "C:\\W=0\n");
        s.thresholdSync = row.threshold > 0 ? 1 : 0;
        s.syncThreshold = row.threshold;
        s.intervalSync = row.threshold > 0 ? 0 : 1;
        s.syncInterval = 60;

        ASSERT_EQ(DecideCycle(0), CycleDecision::Idle);
        switch (row.arrives) {
            case Arrives::kTwoChanges:
                HandleChangeEvent(kEventCreate, L"C:\\W\\b.txt\\", nullptr);
                [[fallthrough]];
            case Arrives::kChange:
                HandleChangeEvent(kEventCreate, L"C:\\W\\a.txt\\", nullptr);
                break;
            case Arrives::kLostChanges:
                HandleLostChanges();
                break;
            case Arrives::kStop:
                s.timerStop = true;
                break;
        }
        IdleCycleWait();
        EXPECT_EQ(sleeps, row.waitSleeps);
        s.timerStop = false;
        Cycles(1);
        EXPECT_EQ(firings, row.firings);
        // The wake was answered by that cycle: the next idle one sleeps again.
        sleeps.clear();
        Cycles(1);
        EXPECT_EQ(sleeps, std::vector<uint32_t>{1000});
    }
}

}  // namespace
