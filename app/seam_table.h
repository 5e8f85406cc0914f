#pragma once
// Every replaceable call of the watcher in one table. Each floor keeps its own
// typed part beside the code that calls it (so no floor includes one above
// it); this table, on the top floor, reads and installs all of them at once.
// The parts start with the real calls; unit tests replace some and restore the
// whole table afterwards (SeamTableGuard); end-to-end tests use the real ones.
//
//   base/seams.h                 Seams: boxes, questions, network state, clock, sleep, end of
//   process base/file_ops.h              the file fault check (ReplaceFileFaultCheck)
//   config/folder_registry.h     the running-watcher check (ReplaceRunningWatcherCheck)
//   watch/change_event_handler.h ChangeHandlerCalls: folder test, network, download, upload
//   sync/transfer_runs.h         TransferRunners: the process launcher and the pipe request
//   sync/sync_timer.h            the timer's firing (CurrentTimerFiring)
//
// Set while no other thread of the watcher runs.

#include "base/file_ops.h"
#include "base/seams.h"
#include "config/folder_registry.h"
#include "sync/sync_timer.h"
#include "sync/transfer_runs.h"
#include "watch/change_event_handler.h"

struct SeamTable {
    Seams platform;
    FileFaultCheck fileFault = nullptr;
    RunningWatcherCheck runningWatcher = nullptr;
    ChangeHandlerCalls changeHandler;
    TransferRunners transferRunners;
    TimerFiring timerFiring = nullptr;
};

inline SeamTable CurrentSeamTable() {
    SeamTable table;
    table.platform = CurrentSeams();
    table.fileFault = ReplaceFileFaultCheck(nullptr);
    ReplaceFileFaultCheck(table.fileFault);
    table.runningWatcher = ReplaceRunningWatcherCheck(nullptr);
    ReplaceRunningWatcherCheck(table.runningWatcher);
    table.changeHandler = CurrentChangeHandlerCalls();
    table.transferRunners = CurrentTransferRunners();
    table.timerFiring = CurrentTimerFiring();
    return table;
}

inline void InstallSeamTable(const SeamTable& table) {
    CurrentSeams() = table.platform;
    ReplaceFileFaultCheck(table.fileFault);
    ReplaceRunningWatcherCheck(table.runningWatcher);
    CurrentChangeHandlerCalls() = table.changeHandler;
    CurrentTransferRunners() = table.transferRunners;
    CurrentTimerFiring() = table.timerFiring;
}

// Restores the whole table on scope exit.
class SeamTableGuard {
public:
    SeamTableGuard() : saved(CurrentSeamTable()) {}
    ~SeamTableGuard() { InstallSeamTable(saved); }
    SeamTableGuard(const SeamTableGuard&) = delete;
    SeamTableGuard& operator=(const SeamTableGuard&) = delete;

private:
    SeamTable saved;
};
