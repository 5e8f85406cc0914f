#pragma once
// The sync timer thread: once a second it decides whether the buffered
// commands are due (count mode: enough counted changes; interval mode: the
// interval has passed), fires them with FireEventList and resets the firing
// state. In dependent mode it also ends the watcher once the tray application
// has gone. The change handler wakes it as soon as the count reaches the
// threshold (WakeSyncTimer), so count mode does not wait for the next second.
//
// The decision of one cycle is DecideCycle, a function of the state and the
// time it is given, so that tests step it with a clock of their own; the
// thread is a loop of RunTimerCycle until StopSyncTimer sets the stop flag.

#include <cstdint>

enum class CycleDecision {
    Idle,       // nothing due: sleep a second, then the dependent-mode check
    NotReady,   // due, but the thread is not recorded yet: next cycle at once
    TimedFire,  // fire, then restart the interval
    CountFire,  // fire; the interval keeps running
};

// Steps 1, 2 and 4 of a cycle at calendar time `now` (seconds): the count
// test, the time test, and which fire wins. Sets thresholdReached,
// intervalReached and elapsedSeconds as the cycle does, under bufferMutex.
// A wake raised before it is answered by it, so it lowers the wake first.
CycleDecision DecideCycle(int64_t now);

// Raises the wake: the counted changes have reached the threshold. Any
// thread, any lock held; the timer's idle wait ends at once, or, when the
// timer is busy, its next idle wait does not begin.
void WakeSyncTimer();

// The wait of an idle cycle: a second, ended early by the wake or the stop.
// With the real sleep of the seams table it waits on timerWake; with a sleep a
// test installed it calls that sleep (so the test's clock steps the timer),
// unless a wake or the stop is already raised, when it returns at once.
void IdleCycleWait();

// One whole cycle: the decision, then the firing and the reset (or the
// one-second sleep). A firing that sent nothing (FireEventList returned 1)
// resets nothing and is followed by a one-second sleep, so a network that
// stays down does not make the thread spin. The reset after a firing clears
// what ResetAfterFire clears but the buffer and the count: commands added
// after the firing's last pass stay buffered, and counted, for the next one.
// Every cycle ends with the dependent-mode check. The firing runs under
// TransferRunLock.
void RunTimerCycle();

// What a cycle calls to fire: FireEventList unless a test replaced it. Part
// of the seam table (app/seam_table.h).
using TimerFiring = int32_t (*)();
TimerFiring& CurrentTimerFiring();

// The thread body: cycles until the stop flag is set.
void SyncTimerThread();

// Empties the buffer and clears the firing state and the change handler's
// memory of the batch, all under bufferMutex.
void ResetAfterFire();

// Starts the thread and records it (timerThread, timerThreadRecorded); false
// when it could not be started.
bool StartSyncTimer();

// Sets the stop flag, ends the timer's wait and waits for the thread (a firing
// under way is let to finish: it is what sends the user's changes). Does
// nothing when no thread runs.
void StopSyncTimer();
