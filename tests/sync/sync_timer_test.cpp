// Catches: a firing too early, too late, twice or for the wrong reason; a reset after nothing sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/state_fixture.h"
#include "sync/sync_timer.h"

namespace {

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
        {"fifth change fires", 5, 0, {1, 2, 3, 4, 6}, {}, 10, {"6 count"}},
        {"interval from start and from each timed fire", 0, 60, {}, {}, 130,
         {"60 interval", "120 interval"}},
        {"count fire leaves the interval running", 1, 60, {40}, {}, 65,
         {"40 count", "60 interval"}},
        {"nothing sent: no reset, again a second later", 2, 0, {1, 1}, {1, 1, 0}, 8,
         {"1 count", "2 count", "3 count"}},
        {"interval fire that sent nothing: next one an interval later", 0, 10, {}, {1, 1}, 25,
         {"10 interval", "20 interval"}},
    };
    const TimerFiring saved = CurrentTimerFiring();
    CurrentSeams().now = [] { return clock; };
    CurrentSeams().sleepMs = [](uint32_t ms) { clock += ms / 1000; };
    CurrentTimerFiring() = [] {
        fired.push_back(std::to_string(clock) + (State().intervalReached ? " interval" : " count"));
        return statuses.empty() ? 0 : statuses[std::min(fired.size(), statuses.size()) - 1];
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
        std::size_t next = 0;
        for (int cycles = 0; clock < c.until && cycles < 1000; ++cycles) {
            for (; next < c.changes.size() && c.changes[next] <= clock; ++next) {
                ++state.pendingEvents;
            }
            RunTimerCycle();
        }
        EXPECT_EQ(fired, c.expected);
    }
    CurrentTimerFiring() = saved;
}

TEST_F(SyncTimerTest, TheTimedFireWinsATieAndNothingFiresBeforeTheThreadIsRecorded) {
    WatcherState& state = State();
    state.thresholdSync = state.syncThreshold = state.pendingEvents = 1;
    EXPECT_EQ(DecideCycle(0), CycleDecision::NotReady);
    state.timerThreadRecorded = true;
    EXPECT_EQ(DecideCycle(0), CycleDecision::CountFire);
    // Both due in one cycle (the interval measured as passed).
    state.intervalSync = 1;
    state.syncInterval = state.elapsedSeconds = 5;
    EXPECT_EQ(DecideCycle(5), CycleDecision::TimedFire);
    EXPECT_EQ(state.intervalReached, 1);
}

}  // namespace
