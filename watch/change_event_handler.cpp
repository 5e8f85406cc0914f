#include "watch/change_event_handler.h"

#include <mutex>
#include <string>
#include <string_view>

#include "app/folder_key.h"
#include "app/seams.h"
#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "config/folder_registry.h"
#include "notify/message_catalogue.h"
#include "sync/command_buffer.h"
#include "sync/sync_timer.h"
#include "sync/transfer_runs.h"
#include "watch/path_helpers.h"
#include "watch/transfer_command.h"

namespace {

using ItemPath = BoundedWText<kItemPathCapacity>;

// The merge rules select on the event code; the stand-in for an over-long
// command is added under a code no rule answers to, since it is not the
// change's own form (a recursive put taken for a new folder could become a
// move).
constexpr int32_t kStandInEvent = 0;

bool NetworkAliveThroughSeam() { return CurrentSeams().isNetworkAlive(); }

ChangeHandlerCalls DefaultCalls() {
    ChangeHandlerCalls calls;
    calls.isFolderPath = IsFolderPath;
    calls.isNetworkAlive = NetworkAliveThroughSeam;
    calls.isDownloadUnderway = IsDownloadUnderway;
    calls.startSyncUpload = RequestSyncUpload;
    return calls;
}

bool IsRename(int32_t event) { return event == kEventRenameItem || event == kEventRenameFolder; }

// The events whose first path names the parent that the repeat filter then
// holds against the folder updates that follow them.
bool SetsLastEventParent(int32_t event) {
    return event == kEventRenameItem || event == kEventCreate || event == kEventDelete ||
           event == kEventMkDir || event == kEventRmDir;
}

// Only the last two first paths are ever compared: entry 0 the older, entry 1
// the newer; a third path pushes the older out.
void RecordRecentPath(WatcherState& state, std::wstring_view path, int32_t event) {
    if (state.recentEventCount < 0) state.recentEventCount = 0;
    if (state.recentEventCount >= kRecentEventEntries) {
        for (int i = 1; i < kRecentEventEntries; ++i) {
            state.recentEventPaths[i - 1] = state.recentEventPaths[i];
            state.recentEventKinds[i - 1] = state.recentEventKinds[i];
        }
        state.recentEventCount = kRecentEventEntries - 1;
    }
    state.recentEventPaths[state.recentEventCount].Assign(path);
    state.recentEventKinds[state.recentEventCount++] = event;
}

bool RemovesOrRenames(int32_t event) {
    return event == kEventDelete || event == kEventRmDir || IsRename(event);
}

// A second notification for the same path repeats the first, unless the first
// took the item away (a deleted file made again, a renamed one given its old
// name back) or the second renames it: those are changes of their own, and
// dropping them would lose them.
bool RepeatsRecentPath(const WatcherState& state, int32_t event) {
    constexpr int newer = kRecentEventEntries - 1;
    constexpr int older = kRecentEventEntries - 2;
    return state.recentEventCount >= kRecentEventEntries &&
           state.recentEventPaths[newer].Str() == state.recentEventPaths[older].Str() &&
           !RemovesOrRenames(state.recentEventKinds[older]) && !IsRename(event);
}

void ForgetRecentPaths(WatcherState& state) {
    for (auto& path : state.recentEventPaths) path.Clear();
    state.recentEventCount = 0;
    state.lastEventParent.Clear();
}

// The text without its last two "\"-led pieces: a folder path with its final
// backslash becomes its parent without one. Cut on the UTF-16 form.
std::string CutTwiceAtLastBackslash(std::string_view text) {
    std::wstring wide = ToWideString(text);
    for (int cut = 0; cut < 2; ++cut) {
        const std::size_t at = wide.rfind(L'\\');
        if (at == std::wstring::npos) break;
        wide.resize(at);
    }
    return ToAnsiString(wide);
}

// The parent of a folder path that ends with its separator ("\" or "/"), with
// its own final separator.
std::string ParentFolder(std::string_view path) {
    std::wstring wide = ToWideString(path);
    if (!wide.empty()) wide.pop_back();
    const std::size_t at = wide.find_last_of(L"\\/");
    if (at == std::wstring::npos) return std::string(path);
    wide.resize(at + 1);
    return ToAnsiString(wide);
}

std::string LeafOf(const wchar_t* path) {
    SetLeafName(path);
    return std::string(State().eventLeafName.Str());
}

// What the composition works from: the event, its paths and its folders.
struct EventPaths {
    int32_t event;
    const wchar_t* first;   // P1
    const wchar_t* second;  // P2, or null
    std::string_view firstAnsi;
    std::string_view secondAnsi;
    std::string localDir;   // L: itemDir before the SMB cuts
    std::string targetDir;  // before the SMB cuts
};

// The recursive put that stands in for a command over 511 bytes. A deleted or
// renamed folder cannot be sent itself: its parent covers the change.
bool ComposeStandIn(CommandText& out, const EventPaths& paths) {
    std::string dir = paths.targetDir;
    std::string ldir = paths.localDir;
    const std::string watchedLdir = std::string(State().watchedPath.Str()) + "\\";
    if ((paths.event == kEventRmDir || paths.event == kEventRenameFolder) &&
        ldir.size() > watchedLdir.size()) {
        dir = ParentFolder(dir);
        ldir = ParentFolder(ldir);
    }
    return ComposeEnclosingPutTree(out, dir, ldir, watchedLdir);
}

enum class Composed { kNoCommand, kOwnForm, kStandIn, kNothingFits };

// The command of each kind of change, or the stand-in for a line over 511 bytes.
Composed ComposeForEvent(CommandText& out, const EventPaths& paths) {
    const WatcherState& state = State();
    const std::string itemDir(state.itemDir.Str());
    const std::string_view target = paths.targetDir;
    bool fits = true;
    switch (paths.event) {
        case kEventRenameItem: {
            const std::string from = LeafOf(paths.first);
            fits = ComposeRenameItem(out, target, itemDir, from, LeafOf(paths.second));
            break;
        }
        case kEventCreate:
            fits = ComposePutFile(out, target, paths.localDir, LeafOf(paths.first));
            break;
        case kEventDelete:
            fits = ComposeDelFile(out, target, itemDir, LeafOf(paths.first));
            break;
        case kEventMkDir:
            fits = ComposePutTree(out, target, paths.localDir);
            break;
        case kEventRmDir:
            fits = ComposeDelTree(out, target, itemDir);
            break;
        case kEventUpdateDir:
            fits = state.subFolders == 0 ? ComposePutFolder(out, target, paths.localDir)
                                         : ComposePutFolderSub(out, target, paths.localDir);
            break;
        case kEventUpdateItem:
            fits = ComposePutFolder(out, target, paths.localDir);
            break;
        case kEventRenameFolder: {
            const std::string oldPath(paths.firstAnsi);
            const std::string newPath(paths.secondAnsi);
            fits = ComposeRenameFolder(oldPath.c_str(), newPath.c_str(), itemDir.c_str());
            out.Assign(state.newCommand.Str());
            break;
        }
        default:
            return Composed::kNoCommand;
    }
    if (fits) return Composed::kOwnForm;
    return ComposeStandIn(out, paths) ? Composed::kStandIn : Composed::kNothingFits;
}

enum class Outcome { kDone, kNoConnection };

// Immediate mode: a whole-folder upload for the change, nothing buffered.
Outcome UploadAtOnce() {
    const ChangeHandlerCalls& calls = CurrentChangeHandlerCalls();
    if (!calls.isNetworkAlive()) return Outcome::kNoConnection;
    calls.startSyncUpload();
    ResetAfterFire();
    return Outcome::kDone;
}

std::string TargetDir() {
    const WatcherState& state = State();
    return state.remoteDirSet == 1 && state.remoteDir.Str() != "/"
               ? std::string(state.remoteDir.Str()) + std::string(state.relativeDir.Str())
               : std::string(state.relativeDir.Str());
}

void CountAdded() {
    WatcherState& state = State();
    CommandBuffer& buffer = state.commands;
    if (buffer.duplicateCommand != 1) {
        if (state.thresholdSync == 1 && ++state.pendingEvents >= state.syncThreshold)
            WakeSyncTimer();
        ++buffer.commandCount;
    }
    buffer.duplicateCommand = 0;
}

bool ImmediateMode() {
    const WatcherState& state = State();
    return state.thresholdSync != 1 && state.intervalSync != 1;
}

void ShowOutcome(Outcome outcome) {
    const WatcherState& state = State();
    if (outcome == Outcome::kNoConnection && state.verbose != 0) {
        ShowMessage(kMsgNoConnection, state.watchedPath.CStr());
    }
}

bool Suppressed() {
    WatcherState& state = State();
    std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
    return state.timedDownloadActive == 1 || state.noWatchMode == 1;
}

// From the recording of the event to its counting, under bufferMutex.
Outcome DecideAndAdd(EventPaths& paths, const ItemPath& first) {
    WatcherState& state = State();
    const ChangeHandlerCalls& calls = CurrentChangeHandlerCalls();
    const int32_t event = paths.event;

    // Recording.
    RecordRecentPath(state, first.Str(), event);
    if (SetsLastEventParent(event)) SetLastEventParent(paths.first);
    if (paths.second && event == kEventRenameFolder) SetLastEventParent(paths.second);

    // Folder test. A deleted item no longer exists: its event says what it was.
    if (event == kEventDelete) {
        state.eventIsFolder = 0;
    } else if (event == kEventRmDir) {
        state.eventIsFolder = 1;
    } else {
        state.eventIsFolder =
            calls.isFolderPath(paths.first) || (paths.second && calls.isFolderPath(paths.second))
                ? 1
                : 0;
    }

    // Top-level filter: only the watched folder itself and what lies directly in it.
    if (state.subFolders == 0) {
        const std::string top = std::string(state.watchedPath.Str()) + "\\";
        for (const wchar_t* path : {paths.first, paths.second}) {
            if (!path) continue;
            SetItemDir(path);
            if (state.itemDir.Str() != top) {
                state.eventAccepted = 0;
                return Outcome::kDone;
            }
        }
    }

    // Repeat and parent filter; deletions while the tool downloads keep the
    // previous decision, so the tool's own deletions are not sent back.
    if (event == kEventDelete || event == kEventRmDir) {
        if (!calls.isDownloadUnderway()) state.eventAccepted = 1;
    } else if (state.recentEventCount < kRecentEventEntries ||
               (!RepeatsRecentPath(state, event) &&
                (state.lastEventParent.Str() != first.Str() || state.networkFolder == 1))) {
        state.eventAccepted = 1;
    } else {
        state.eventAccepted = 0;
        ForgetRecentPaths(state);
        return Outcome::kDone;
    }

    // Name filter: files without a dot in their names are never sent.
    if (state.eventIsFolder == 0) {
        SetLeafName(event == kEventRenameItem ? paths.second : paths.first);
        if (state.eventLeafName.Str().find('.') == std::string_view::npos) {
            state.eventAccepted = 0;
            return Outcome::kDone;
        }
    }

    // Directories: the local folder the command names (kept as it is for the
    // forms that send it) and the remote directory below the configured base.
    if (state.eventAccepted == 0) return Outcome::kDone;
    if (event == kEventRmDir) {
        state.itemDir.Assign(paths.firstAnsi);
    } else {
        SetItemDir(event == kEventRenameFolder ? paths.second : paths.first);
    }
    paths.localDir = std::string(state.itemDir.Str());
    RelativeDirectory();
    paths.targetDir = TargetDir();
    if (ImmediateMode()) return UploadAtOnce();

    // Composition.
    if (state.itemDir.Str().find(kClientFolderMarker) != std::string_view::npos) {
        return Outcome::kDone;
    }
    // On an SMB share a folder is renamed or removed from its parent: the
    // local folder, and for a removal the remote directory, lose the folder.
    EventPaths composed = paths;
    if (state.smbMode == 1 && (event == kEventRenameFolder || event == kEventRmDir)) {
        state.itemDir.Assign(CutTwiceAtLastBackslash(state.itemDir.Str()));
        if (event == kEventRmDir) composed.targetDir = CutTwiceAtLastBackslash(paths.targetDir);
    }
    state.newCommand.Clear();
    CommandText command;
    const Composed composedAs = ComposeForEvent(command, composed);
    if (composedAs == Composed::kNothingFits) {
        // Not even the watched folder's recursive put fits in a line: the
        // change reaches the remote side with a whole-folder upload instead.
        if (calls.isNetworkAlive()) calls.startSyncUpload();
        return Outcome::kDone;
    }
    if (composedAs != Composed::kNoCommand) {
        state.newCommand.Assign(command.Str());
        AddCommand(state.newCommand.CStr(),
                   composedAs == Composed::kStandIn ? kStandInEvent : event);
    }
    if (event == kEventUpdateDir || event == kEventUpdateItem) state.eventAccepted = 0;

    // Counting; a command the buffer already held counts once only.
    CountAdded();
    return Outcome::kDone;
}

}  // namespace

ChangeHandlerCalls& CurrentChangeHandlerCalls() {
    static ChangeHandlerCalls calls = DefaultCalls();
    return calls;
}

void HandleChangeEvent(int32_t event, const wchar_t* firstPath, const wchar_t* secondPath) {
    WatcherState& state = State();

    // Suppression: the tool is writing into the folder, or nothing is watched.
    if (Suppressed()) return;

    if (secondPath && !*secondPath) secondPath = nullptr;
    if (!firstPath || !*firstPath || (IsRename(event) && !secondPath)) return;

    // The paths; a doubled backslash inside a first path that is not a
    // UNC path is made single.
    ItemPath first;
    ItemPath second;
    if (!first.Assign(firstPath) || (secondPath && !second.Assign(secondPath))) return;
    RewriteNetworkPath(first);
    if (!first.Str().starts_with(L"\\\\")) ReplaceFirst(first, L"\\\\", L"\\");
    if (secondPath) RewriteNetworkPath(second);
    const std::string firstAnsi = ToAnsiString(first.Str());
    const std::string secondAnsi = secondPath ? ToAnsiString(second.Str()) : std::string();
    if (firstAnsi.size() > kMaxCommandBytes || secondAnsi.size() > kMaxCommandBytes) return;

    // Unsupported characters: "?" stands for what the code page cannot
    // hold, and no file name contains one of its own.
    const bool firstUnsupported = firstAnsi.find('?') != std::string::npos;
    const bool secondUnsupported = secondAnsi.find('?') != std::string::npos;
    if (firstUnsupported || secondUnsupported) {
        if (state.verbose != 0) {
            if (firstUnsupported) ShowMessage(kMsgUnsupportedCharacter, state.watchedPath.CStr());
            if (secondUnsupported) ShowMessage(kMsgUnsupportedCharacter, state.watchedPath.CStr());
        }
        return;
    }

    EventPaths paths{
        event, first.CStr(), secondPath ? second.CStr() : nullptr, firstAnsi, secondAnsi, {}, {}};
    Outcome outcome = Outcome::kDone;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        outcome = DecideAndAdd(paths, first);
    }
    ShowOutcome(outcome);
}

void HandleLostChanges() {
    if (Suppressed()) return;
    WatcherState& state = State();
    Outcome outcome = Outcome::kDone;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        if (ImmediateMode()) {
            outcome = UploadAtOnce();
        } else {
            const std::string ldir = std::string(state.watchedPath.Str()) + "\\";
            state.itemDir.Assign(ldir);
            RelativeDirectory();
            CommandText command;
            if (ComposePutTree(command, TargetDir(), ldir)) {
                state.newCommand.Assign(command.Str());
                AddCommand(state.newCommand.CStr(), kStandInEvent);
                CountAdded();
                // The changes that overflowed are counted as a full batch: the
                // folder is sent on the timer's next pass, not once enough
                // further changes escape the pending folder-wide send.
                if (state.thresholdSync == 1 && state.pendingEvents.load() < state.syncThreshold) {
                    state.pendingEvents = state.syncThreshold;
                    WakeSyncTimer();
                }
            } else if (CurrentChangeHandlerCalls().isNetworkAlive()) {
                CurrentChangeHandlerCalls().startSyncUpload();
            }
        }
    }
    ShowOutcome(outcome);
}
