#pragma once
// WatcherState: the one process-wide record of the watcher. Field names and
// sizes are the system's own; every text field is a bounded text of its
// declared size, so no write can overrun it.
//
// Threads: the dialog thread owns everything at start-up and shutdown. While
// running, the command buffer and the firing counters (pendingEvents,
// elapsedSeconds, thresholdReached, intervalReached) are shared with the sync
// timer thread and guarded by bufferMutex; the configuration and path fields
// are read-only after the watcher start.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/bounded_text.h"
#include "base/command_buffer_data.h"

constexpr uint32_t kJapaneseLcid = 1041;
// The change handler reads only the last two first paths of recent events, so
// only those are kept: entry 0 the older, entry 1 the newer.
constexpr int kRecentEventEntries = 2;

// Plain data: everything that a reset returns to its start value by assignment.
struct WatcherFields {
    // Start-up and per-folder file set.
    BoundedText<260> dataDir;
    const char* toolDir = nullptr;  // the "PLDIR" environment value, or null
    int32_t verbose = 0;
    uint32_t userLcid = 0;
    BoundedWText<512> watchedPathW;
    BoundedText<512> watchedPath;
    BoundedText<512> folderKey;
    BoundedText<512> eventListPath;
    BoundedText<512> sendListPath;
    BoundedText<512> errorFilePath;
    BoundedText<1024> getConfigPath;
    BoundedText<1024> putConfigPath;
    BoundedText<512> createdListName;
    BoundedText<512> createdListPath;
    uint32_t processId = 0;
    int32_t dependentMode = 0;
    int32_t noWatchMode = 0;
    int32_t restartMode = 0;

    // Watcher start.
    int32_t networkFolder = 0;
    int32_t noIntervalDownload = 1;
    int64_t intervalStart = 0;

    // Per-folder configuration. Each mode has a switch and a value:
    // thresholdSync (1: count mode on) with syncThreshold (the count that
    // fires), intervalSync (1: interval mode on) with syncInterval (seconds).
    int32_t syncThreshold = 0;  // value: sync_threshold=
    int32_t thresholdSync = 0;  // switch: count mode
    int32_t syncInterval = 0;   // value: sync_timestamp=, seconds
    int32_t intervalSync = 0;   // switch: interval mode
    BoundedText<512> remoteDir;
    int32_t remoteDirSet = 0;
    BoundedText<100> serverAddress;
    BoundedText<10> serverPort;
    int32_t subFolders = 0;
    BoundedText<100> configCmd;
    BoundedText<100> protocol;
    int32_t smbMode = 0;
    int32_t googleDriveMode = 0;
    BoundedText<100> encoding;
    BoundedText<512> password;
    BoundedText<512> userName;
    BoundedText<100> sizeLimit;
    BoundedText<2048> ignorePatterns;
    BoundedText<2048> ignoreDirPatterns;
    int32_t pipeRetries = 0;

    // Change event handler and path helpers.
    BoundedWText<512> recentEventPaths[kRecentEventEntries];
    int32_t recentEventKinds[kRecentEventEntries] = {};  // the SHCNE_* code of each
    int32_t recentEventCount = 0;
    int32_t eventAccepted = 0;
    int32_t eventIsFolder = 0;
    BoundedText<512> newCommand;
    BoundedWText<512> lastEventParent;
    BoundedText<512> itemDir;
    BoundedText<260> eventLeafName;

    // Watched-folder registry.
    int32_t registryEntryTaken = 0;
    BoundedText<512> relativeDir;

    // Command buffer (guarded by bufferMutex).
    CommandBuffer commands;

    // Firing state (guarded by bufferMutex; pendingEvents is in WatcherState).
    int32_t elapsedSeconds = 0;
    int32_t thresholdReached = 0;
    int32_t intervalReached = 0;

    // Transfer tool runs.
    BoundedText<512> toolCommandLine;
    int32_t lastSyncResult = -1;
    int32_t timedDownloadActive = 0;
    int64_t downloadStartedAt = 0;  // calendar seconds: when timedDownloadActive was last set
    int32_t sendListReported = 0;   // a send list in the way was reported this run

    // Changes held while an idle download writes into the folder (dialog
    // thread only): ReplayHeldChanges handles them once it is over.
    struct HeldChange {
        int32_t event = 0;
        std::wstring first;
        std::wstring second;
        bool hasSecond = false;
    };
    std::vector<HeldChange> heldChanges;
    bool heldChangesLost = false;  // lost changes among them, or too many to hold
};

struct WatcherState : WatcherFields {
    // Re-entrant, with timed waits; guards the command buffer, the firing
    // counters and the event list and send list files.
    std::recursive_timed_mutex bufferMutex;

    // Changes counted toward the threshold: raised by the dialog thread, read
    // by the timer thread without the lock, so one whole atomic value.
    std::atomic<int32_t> pendingEvents{0};

    // The sync timer thread and its stop flag: set by the shutdown, tested by
    // the thread between cycles; the shutdown joins before the buffer goes.
    // timerThreadRecorded is set once the dialog thread has stored the thread
    // (the thread reads the flag, never the std::thread object).
    std::thread timerThread;
    std::atomic<bool> timerThreadRecorded{false};
    std::atomic<bool> timerStop{false};
    // Ends the timer thread's wait early: raised when the count reaches the
    // threshold (the change handler) and by the stop; lowered by the timer
    // when a cycle starts deciding.
    std::mutex timerWakeMutex;
    std::condition_variable timerWake;
    bool timerWakeRaised = false;  // under timerWakeMutex

    // Back to the start values (tests call this between cases). The caller
    // makes sure no other thread uses the state.
    void Reset() {
        static_cast<WatcherFields&>(*this) = WatcherFields{};
        pendingEvents = 0;
        timerThreadRecorded = false;
        timerStop = false;
        std::lock_guard<std::mutex> lock(timerWakeMutex);
        timerWakeRaised = false;
    }
};

// The process-wide instance.
WatcherState& State();
