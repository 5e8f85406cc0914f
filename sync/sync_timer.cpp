#include "sync/sync_timer.h"

#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/seams.h"
#include "base/watcher_state.h"
#include "notify/process_coordination.h"
#include "sync/command_buffer.h"
#include "sync/transfer_report.h"
#include "sync/transfer_runs.h"

namespace {

constexpr uint32_t kCycleSleepMs = 1000;

int32_t SecondsSince(int64_t start, int64_t now) { return static_cast<int32_t>(now - start); }

void LowerWake(WatcherState& state) {
    std::lock_guard<std::mutex> lock(state.timerWakeMutex);
    state.timerWakeRaised = false;
}

// Up to `ms`; sooner on the stop, and on the wake when `wakeable` (a wait
// after a firing that sent nothing is not: a network that stays down must not
// be retried on every change).
void TimerWait(uint32_t ms, bool wakeable) {
    WatcherState& state = State();
    Seams& seams = CurrentSeams();
    std::unique_lock<std::mutex> lock(state.timerWakeMutex);
    const auto over = [&state, wakeable] {
        return state.timerStop.load() || (wakeable && state.timerWakeRaised);
    };
    if (over()) return;
    if (seams.sleepMs != RealSeams().sleepMs) {
        lock.unlock();
        seams.sleepMs(ms);
        return;
    }
    state.timerWake.wait_for(lock, std::chrono::milliseconds(ms), over);
}

// Steps 2 and 3 of ResetAfterFire, under bufferMutex, but the count: after a
// firing it already holds what is still pending (the firing cleared it when it
// took the event list over, and changes counted since are not sent yet).
void ClearFiringState(WatcherState& state) {
    state.thresholdReached = 0;
    state.intervalReached = 0;
    state.elapsedSeconds = 0;
    state.toolCommandLine.Clear();
    state.lastEventParent.Clear();
    for (auto& path : state.recentEventPaths) path.Clear();
    state.recentEventCount = 0;
    state.eventAccepted = 0;
}

// Ends the watcher when it depends on the tray application and that has gone.
// The event list is brought level with the buffer first: the end does not run
// the shutdown, and the next start reads what the file holds.
void DependentModeCheck() {
    const WatcherState& state = State();
    if (state.dependentMode != 1 || IsTrayAppRunning()) return;
    static_cast<void>(FlushEventList());
    CloseAndTerminate(CurrentProcessId());
}

}  // namespace

TimerFiring& CurrentTimerFiring() {
    static TimerFiring firing = FireEventList;
    return firing;
}

CycleDecision DecideCycle(int64_t now) {
    WatcherState& state = State();
    LowerWake(state);
    std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
    bool due = false;
    // 1. The count test; when it is not met, measure the interval.
    if (state.thresholdSync == 1 && state.pendingEvents.load() >= state.syncThreshold) {
        state.thresholdReached = 1;
        due = true;
    } else if (state.intervalSync == 1) {
        state.elapsedSeconds = SecondsSince(state.intervalStart, now);
    }
    // 2. The time test.
    if (!due && state.intervalSync == 1) {
        if (state.elapsedSeconds >= state.syncInterval) {
            due = true;
        } else {
            state.elapsedSeconds = SecondsSince(state.intervalStart, now);
        }
    }
    if (!due) return CycleDecision::Idle;

    // 4. Which fire: a due interval wins over the count.
    if (!state.timerThreadRecorded.load()) return CycleDecision::NotReady;
    if (state.intervalSync == 1 &&
        (state.elapsedSeconds >= state.syncInterval || state.intervalReached == 1)) {
        state.intervalReached = 1;
        return CycleDecision::TimedFire;
    }
    if (state.thresholdSync == 1 && state.thresholdReached == 1) return CycleDecision::CountFire;
    return CycleDecision::Idle;
}

void RunTimerCycle() {
    WatcherState& state = State();
    Seams& seams = CurrentSeams();
    const CycleDecision decision = DecideCycle(seams.now());
    if (decision == CycleDecision::NotReady) return;
    if (decision == CycleDecision::Idle) {
        IdleCycleWait();
        DependentModeCheck();
        return;
    }
    int32_t status = kTransferNothingSent;
    {
        // One transfer at a time: an upload the change handling asked for is
        // not overlapped (the tool would refuse one of the two runs).
        std::lock_guard<std::mutex> runLock(TransferRunLock());
        status = CurrentTimerFiring()();
    }
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        // The buffer is not emptied here: each pass of the firing emptied it
        // when it took the file over, so what it holds now arrived after the
        // last pass and is only in the event list file. Emptying it would make
        // the next addition rewrite the file without those commands.
        if (status != kTransferNothingSent) ClearFiringState(state);
        if (decision == CycleDecision::TimedFire) {
            state.intervalStart = seams.now();
            state.elapsedSeconds = 0;
        }
    }
    ReportOwedEventListFailure();  // a write the firing could not make
    if (status == kTransferNothingSent) TimerWait(kCycleSleepMs, false);
    // On every cycle, not only the idle ones: a firing that keeps failing must
    // not keep the watcher alive once the tray application has gone.
    DependentModeCheck();
}

void WakeSyncTimer() {
    WatcherState& state = State();
    {
        std::lock_guard<std::mutex> lock(state.timerWakeMutex);
        state.timerWakeRaised = true;
    }
    state.timerWake.notify_all();
}

void IdleCycleWait() { TimerWait(kCycleSleepMs, true); }

void SyncTimerThread() {
    WatcherState& state = State();
    while (!state.timerStop.load()) RunTimerCycle();
}

void ResetAfterFire() {
    WatcherState& state = State();
    std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
    EmptyCommandBuffer();
    ClearFiringState(state);
}

bool StartSyncTimer() {
    WatcherState& state = State();
    state.timerStop = false;
    try {
        state.timerThread = std::thread(SyncTimerThread);
    } catch (const std::system_error&) {
        return false;
    }
    state.timerThreadRecorded = true;
    return true;
}

void StopSyncTimer() {
    WatcherState& state = State();
    {
        std::lock_guard<std::mutex> lock(state.timerWakeMutex);
        state.timerStop = true;
    }
    state.timerWake.notify_all();
    if (state.timerThread.joinable()) state.timerThread.join();
    state.timerThreadRecorded = false;
}
