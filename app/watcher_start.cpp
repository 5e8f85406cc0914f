#include "app/watcher_start.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/seams.h"
#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "config/folder_config.h"
#include "config/folder_registry.h"
#include "notify/message_catalogue.h"
#include "notify/process_coordination.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/sync_timer.h"
#include "sync/transfer_report.h"
#include "sync/transfer_runs.h"

namespace {

constexpr wchar_t kAskDownload[] = L"Local <= Remote Syncing ?";
constexpr wchar_t kAskDownloadJa[] = L"本機 <= 遠隔からの同期を行いますか ?";
constexpr wchar_t kAskUpload[] = L"Local => Remote Syncing ?";
constexpr wchar_t kAskUploadJa[] = L"本機 => 遠隔への同期を行いますか ?";
constexpr int32_t kMsgSyncingFinished = 220;
constexpr char kGuestPrefix[] = "guest";
// How long the shutdown waits for immediate-mode uploads still running.
constexpr uint32_t kUploadWaitMs = 30000;

// Set once the start has claimed the folder: the shutdown then has something
// to release and save.
bool started = false;

// A file is created by opening it for appending; a failure is not reported.
void CreateIfMissing(const char* path) {
    if (std::FILE* file = std::fopen(path, "a")) std::fclose(file);
}

bool FileExists(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    std::fclose(file);
    return true;
}

bool FileHasContent(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    const bool content = std::fgetc(file) != EOF;
    std::fclose(file);
    return content;
}

// True at the folder's first start: the created-file list was missing. It is
// created then, dated 1980-12-31 18:30:00 UTC.
bool MarkFirstStart() {
    const char* path = State().createdListPath.CStr();
    const bool first = !FileExists(path);
    CreateIfMissing(path);
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
        CreateIfMissing(state.eventListPath.CStr());
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
    const char* eventList = State().eventListPath.CStr();
    CreateIfMissing(eventList);
    MergeSendList();
    if (FileHasContent(eventList) && FireEventList() == kTransferNothingSent) {
        ReadBackEventList();
    }
}

}  // namespace

void StartWatcher() {
    WatcherState& state = State();
    if (std::strchr(state.watchedPath.CStr(), '?')) {
        ShowMessage(kMsgUnsupportedFolderName, state.watchedPath.CStr());
        CloseAndTerminate(CurrentProcessId());
        return;
    }
    ReadFolderConfig();
    if (state.intervalSync == 1) state.noIntervalDownload = 0;
    state.networkFolder = IsNetworkFolder() ? 1 : 0;
    RegisterWatcher();
    started = true;
    const bool firstStart = MarkFirstStart();
    // bufferMutex lives in the state record from the start.
    if (state.noWatchMode == 0) RestoreLeftOvers();
    if (state.intervalSync == 1) StartUpSynchronisation(firstStart);
    if (state.intervalSync == 1 || state.thresholdSync == 1) {
        if (state.syncInterval > 0) state.intervalStart = CurrentSeams().now();
        if (!StartSyncTimer()) CurrentSeams().endProcess(1);
    }
}

void StopWatcher() {
    if (!started) return;
    started = false;
    WatcherState& state = State();
    SetRegistryOwner(state.watchedPath.CStr(), false);
    // The timer goes first (a firing under way is let to finish): the last
    // firing below must be the only one.
    StopSyncTimer();
    if (state.commands.commandCount > 0) SaveAndClearBuffer();
    if (FileHasContent(state.eventListPath.CStr())) FireEventList();
    WaitForUploadThreads(kUploadWaitMs);
    ReleaseCommandBuffer();
}

void EndWatcherSession() {
    if (!started) return;
    started = false;  // nothing is sent while the session goes
    WatcherState& state = State();
    SetRegistryOwner(state.watchedPath.CStr(), false);
    state.timerStop = true;
    if (state.commands.commandCount > 0) SaveAndClearBuffer();
}
