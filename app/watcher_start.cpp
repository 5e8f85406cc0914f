#include "app/watcher_start.h"

#include <cstring>
#include <mutex>
#include <string>

#include "base/file_ops.h"
#include "base/seams.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "config/folder_config.h"
#include "config/folder_registry.h"
#include "notify/message_catalogue.h"
#include "notify/process_coordination.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/sync_timer.h"
#include "sync/transfer_report.h"
#include "sync/transfer_runs.h"
#include "sync/transfer_command.h"

namespace {

constexpr wchar_t kAskDownload[] = L"Local <= Remote Syncing ?";
constexpr wchar_t kAskDownloadJa[] = L"本機 <= 遠隔からの同期を行いますか ?";
constexpr wchar_t kAskUpload[] = L"Local => Remote Syncing ?";
constexpr wchar_t kAskUploadJa[] = L"本機 => 遠隔への同期を行いますか ?";
constexpr char kGuestPrefix[] = "guest";

// Set once the start has claimed the folder: the shutdown then has something
// to release and save.
bool started = false;

// The start reads and creates its files through the file layer: a file that
// another program holds open (without read sharing) is still found with its
// size, and a failure to create one is not reported.
bool FileExists(const char* path) { return FileSizeAt(path) >= 0; }

// Whether the event list holds commands: in the file, or, when a write was cut
// short or the file is held, whole only in its pending replacement
// ("<file>.new"), which the read-back takes first.
bool EventListHasContent() {
    const std::string path(State().eventListPath.Str());
    return FileSizeAt(path) > 0 || FileSizeAt(PendingReplacementPath(path)) > 0;
}

// True at the folder's first start: the created-file list was missing. It is
// created then, dated 1980-12-31 18:30:00 UTC.
bool MarkFirstStart() {
    const char* path = State().createdListPath.CStr();
    const bool first = !FileExists(path);
    static_cast<void>(CreateIfMissing(path));
    if (first) SetFileTimes(path, kFirstStartMarkerTime);
    return first;
}

bool IsNetworkFolder() {
    const std::wstring wide = ToWideString(State().watchedPath.Str());
    return wide.find(L"\\\\") != std::wstring::npos || IsRemoteDrive();
}

bool Ask(const wchar_t* english, const wchar_t* japanese) {
    const WatcherState& state = State();
    const wchar_t* text = state.userLcid == kJapaneseLcid ? japanese : english;
    return CurrentSeams().askYesNo(state.watchedPathW.CStr(), text);
}

void StartUpSynchronisation(bool firstStart) {
    WatcherState& state = State();
    if (!CurrentSeams().isNetworkAlive()) {
        static_cast<void>(CreateIfMissing(state.eventListPath.CStr()));
        return;
    }
    if (firstStart) {
        if (std::strncmp(state.userName.CStr(), kGuestPrefix, 5) == 0) {
            SyncUpload();
        } else if (Ask(kAskDownload, kAskDownloadJa)) {
            SyncDownload();
        } else if (state.noWatchMode == 0 && Ask(kAskUpload, kAskUploadJa)) {
            SyncUpload();
        }
    } else {
        if (state.restartMode == 1) return;
        SyncDownload();
    }
    if (state.restartMode != 1) ShowMessage(kMsgSyncingFinished, state.watchedPath.CStr());
}

// The commands an earlier run left: a send list goes back into the event list,
// which is then sent, or read back into the buffer when nothing could be sent.
void RestoreLeftOvers() {
    static_cast<void>(CreateIfMissing(State().eventListPath.CStr()));
    // Settles a replacement an interrupted write left in "<file>.new" first.
    MergeSendList();
    if (EventListHasContent() && FireEventList() == kTransferNothingSent) {
        ReadBackEventList();
    }
    ReportOwedEventListFailure();
}

// An immediate-mode upload still owed when no tool may run any more: the
// watched folder's recursive synchronising put is kept as a pending command,
// so the next start sends the folder (the next start of an immediate-mode
// watcher makes no whole-folder synchronisation of its own).
void KeepOwedUpload() {
    WatcherState& state = State();
    std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
    const std::string ldir = std::string(state.watchedPath.Str()) + "\\";
    state.itemDir.Assign(ldir);
    RelativeDirectory();
    const std::string target =
        state.remoteDirSet == 1 && state.remoteDir.Str() != "/"
            ? std::string(state.remoteDir.Str()) + std::string(state.relativeDir.Str())
            : std::string(state.relativeDir.Str());
    CommandText command;
    if (!ComposePutTree(command, target, ldir)) return;
    static_cast<void>(AddCommand(command.CStr(), 0));  // a repeat is already pending
}

}  // namespace

void StartWatcher() {
    WatcherState& state = State();
    if (std::strchr(state.watchedPath.CStr(), '?')) {
        ShowMessage(kMsgUnsupportedFolderName, state.watchedPath.CStr());
        CloseAndTerminate(CurrentProcessId());
        return;
    }
    CloseTransfers(false);
    ReadFolderConfig();
    if (state.intervalSync == 1) state.noIntervalDownload = 0;
    state.networkFolder = IsNetworkFolder() ? 1 : 0;
    RegisterWatcher();
    started = true;
    const bool firstStart = MarkFirstStart();
    // bufferMutex lives in the state record from the start.
    if (state.noWatchMode == 0) RestoreLeftOvers();
    // What changed while no watcher ran goes now, after the left-over commands
    // and before the start's download: the shell reports only what happens
    // from here on. A first start has its questions instead.
    if (state.noWatchMode == 0 && !firstStart) SyncChanges();
    if (state.intervalSync == 1) StartUpSynchronisation(firstStart);
    // A dependent watcher gets the thread in immediate mode too: its cycles
    // are idle, and each ends with the test for the tray application.
    if (state.intervalSync == 1 || state.thresholdSync == 1 || state.dependentMode == 1) {
        if (state.syncInterval > 0) state.intervalStart = CurrentSeams().now();
        if (!StartSyncTimer()) CurrentSeams().endProcess(1);
    }
}

void StopWatcher() {
    if (!started) return;
    started = false;
    WatcherState& state = State();
    // The timer and the upload worker go first (a run under way is let to
    // finish, an upload still owed is made): the last firing below must be
    // the only transfer.
    StopSyncTimer();
    static_cast<void>(StopSyncUploads(true));
    if (state.commands.commandCount > 0) SaveAndClearBuffer();
    if (EventListHasContent()) FireEventList();
    ReportOwedEventListFailure();
    // The entry is released only now: a watcher started again for the folder
    // meanwhile ends itself instead of working on the same files as this
    // last firing.
    SetRegistryOwner(state.watchedPath.CStr(), false);
    ReleaseCommandBuffer();
}

void EndWatcherSession() {
    if (!started) return;
    started = false;
    WatcherState& state = State();
    // No transfer starts any more; one under way is waited for, so that its
    // send list is either sent or kept for the next start.
    CloseTransfers(true);
    StopSyncTimer();
    if (StopSyncUploads(false)) KeepOwedUpload();
    ReportOwedEventListFailure();
    if (state.commands.commandCount > 0) SaveAndClearBuffer();
    SetRegistryOwner(state.watchedPath.CStr(), false);
}
