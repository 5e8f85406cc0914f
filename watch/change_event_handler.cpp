#include "watch/change_event_handler.h"

#include <cwchar>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/name_case.h"
#include "base/seams.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "config/folder_registry.h"
#include "notify/message_catalogue.h"
#include "sync/command_buffer.h"
#include "sync/sync_timer.h"
#include "sync/transfer_runs.h"
#include "watch/path_helpers.h"
#include "sync/transfer_command.h"

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
    calls.lastWriteTime = ItemLastWriteTime;
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
    int32_t event = 0;
    const wchar_t* first = nullptr;   // P1
    const wchar_t* second = nullptr;  // P2, or null
    std::string_view firstAnsi;
    std::string_view secondAnsi;
    std::string localDir;   // L: itemDir before the SMB cuts
    std::string targetDir;  // before the SMB cuts
    // A rename whose items lie in different folders: the remote paths of its
    // move, and the folder that holds both, as the stand-in's start.
    bool isMove = false;
    std::string moveFrom;
    std::string moveTo;
    std::string moveLdir;
};

// The recursive put that stands in for a command over 511 bytes. A deleted or
// renamed folder cannot be sent itself: its parent covers the change.
bool ComposeStandIn(CommandText& out, const EventPaths& paths) {
    std::string dir = paths.targetDir;
    std::string ldir = paths.localDir;
    const std::string watchedLdir = std::string(State().watchedPath.Str()) + "\\";
    if (!paths.isMove && (paths.event == kEventRmDir || paths.event == kEventRenameFolder) &&
        ldir.size() > watchedLdir.size()) {
        dir = ParentFolder(dir);
        ldir = ParentFolder(ldir);
    }
    return ComposeEnclosingPutTree(out, dir, ldir, watchedLdir);
}

enum class Composed { kNoCommand, kOwnForm, kStandIn, kNothingFits };

// The command of each kind of change, or the stand-in for a line over 511
// bytes. The stand-in walks up from L and the remote directory of the event,
// never from the SMB rename's cut itemDir: cut again, it named a folder
// above the change, and its synchronising put removed that folder's other
// contents.
Composed ComposeForEvent(CommandText& out, const EventPaths& paths) {
    const WatcherState& state = State();
    const std::string itemDir(state.itemDir.Str());
    const std::string_view target = paths.targetDir;
    bool fits = true;
    if (paths.isMove) {
        if (ComposeMove(out, paths.moveFrom, paths.moveTo)) return Composed::kOwnForm;
        return ComposeStandIn(out, paths) ? Composed::kStandIn : Composed::kNothingFits;
    }
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
            // A file's own put: a send of its folder compares sizes and times, and at FTP's
            // one-second step a file written again at the same size within the second looked
            // unchanged and kept its older content on the server.
            fits = state.eventIsFolder == 1
                       ? ComposePutFolder(out, target, paths.localDir)
                       : ComposePutFile(out, target, paths.localDir, LeafOf(paths.first));
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

enum class HandlingOutcome { kDone, kNoConnection };

// Immediate mode: a whole-folder upload for the change, nothing buffered.
HandlingOutcome UploadAtOnce() {
    const ChangeHandlerCalls& calls = CurrentChangeHandlerCalls();
    if (!calls.isNetworkAlive()) return HandlingOutcome::kNoConnection;
    calls.startSyncUpload();
    ResetAfterFire();
    return HandlingOutcome::kDone;
}

std::string TargetDir() {
    const WatcherState& state = State();
    return state.remoteDirSet == 1 && state.remoteDir.Str() != "/"
               ? std::string(state.remoteDir.Str()) + std::string(state.relativeDir.Str())
               : std::string(state.relativeDir.Str());
}

// The remote directory of a local folder (ANSI, with its final backslash).
// Sets itemDir and relativeDir on the way.
std::string RemoteDirOf(std::string_view localFolder) {
    State().itemDir.Assign(localFolder);
    RelativeDirectory();
    return TargetDir();
}

// The folder holding an item path, with its final backslash
// ("C:\W\a\x.txt\" gives "C:\W\a\"); empty when there is none.
std::wstring FolderOfItem(std::wstring_view item) {
    if (!item.empty() && item.back() == L'\\') item.remove_suffix(1);
    const std::size_t at = item.rfind(L'\\');
    return at == std::wstring_view::npos ? std::wstring() : std::wstring(item.substr(0, at + 1));
}

// The longest folder (with its final backslash) that holds both folders.
std::wstring CommonFolder(std::wstring_view a, std::wstring_view b) {
    std::size_t common = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i] && NameUpper(a[i]) != NameUpper(b[i])) break;
        if (a[i] == L'\\') common = i + 1;
    }
    return std::wstring(a.substr(0, common));
}

// A rename whose two items lie in different folders (Explorer's move, a
// "move" command) is a move: the rename form names one folder for both, so the
// remote side kept the item where it was and the new folder never got it.
// Fills the move's remote paths from both items' folders.
void PrepareMove(EventPaths& paths) {
    WatcherState& state = State();
    const std::wstring fromFolder = FolderOfItem(paths.first);
    const std::wstring toFolder = FolderOfItem(paths.second);
    if (SameNameIgnoringCase(fromFolder, toFolder)) return;
    paths.isMove = true;
    if (state.eventIsFolder == 1) {
        paths.moveFrom = RemoteDirOf(ToAnsiString(paths.first));
        paths.moveTo = RemoteDirOf(ToAnsiString(paths.second));
    } else {
        const std::string fromLeaf = LeafOf(paths.first);
        const std::string toLeaf = LeafOf(paths.second);
        paths.moveFrom = RemoteDirOf(ToAnsiString(fromFolder)) + fromLeaf;
        paths.moveTo = RemoteDirOf(ToAnsiString(toFolder)) + toLeaf;
    }
    paths.moveLdir = ToAnsiString(CommonFolder(fromFolder, toFolder));
}

// An accepted change counts toward the threshold (AddCommand counted it in the
// buffer), with or without a command; a repeat of a pending one does not.
void CountAdded(AddResult added) {
    WatcherState& state = State();
    if (added != AddResult::kAdded && added != AddResult::kEmpty) return;
    if (state.thresholdSync == 1 && ++state.pendingEvents >= state.syncThreshold) WakeSyncTimer();
}

bool ImmediateMode() {
    const WatcherState& state = State();
    return state.thresholdSync != 1 && state.intervalSync != 1;
}

void ShowOutcome(HandlingOutcome outcome) {
    ReportOwedEventListFailure();  // bufferMutex is free here
    const WatcherState& state = State();
    if (outcome == HandlingOutcome::kNoConnection && state.verbose != 0) {
        ShowMessage(kMsgNoConnection, state.watchedPath.CStr());
    }
}

// What becomes of a change now: nothing is watched, a download is writing
// into the folder, or it is handled.
enum class Intake { kDrop, kHold, kHandle };

Intake CurrentIntake() {
    WatcherState& state = State();
    std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
    if (state.noWatchMode == 1) return Intake::kDrop;
    return state.timedDownloadActive == 1 ? Intake::kHold : Intake::kHandle;
}

using HeldChange = WatcherFields::HeldChange;

// Dialog thread only, as the handler: heldChanges are not under bufferMutex.
void Hold(int32_t event, const wchar_t* firstPath, const wchar_t* secondPath) {
    WatcherState& state = State();
    if (state.heldChanges.size() >= kMaxHeldChanges) {
        state.heldChangesLost = true;
        return;
    }
    HeldChange change;
    change.event = event;
    change.first = firstPath ? firstPath : L"";
    change.hasSecond = secondPath != nullptr;
    change.second = secondPath ? secondPath : L"";
    state.heldChanges.push_back(std::move(change));
}

// plftp's temporary names: a download's part file and a replaced file's old copy.
bool IsTransferTemp(std::wstring_view itemPath) {
    while (!itemPath.empty() && itemPath.back() == L'\\') itemPath.remove_suffix(1);
    return itemPath.ends_with(L".plftp-part") || itemPath.ends_with(L".plftp-old");
}

bool DownloadsOwn(const HeldChange& change, int64_t downloadStartedAt) {
    if (IsTransferTemp(change.first) || (change.hasSecond && IsTransferTemp(change.second))) {
        return true;
    }
    if (change.event != kEventCreate && change.event != kEventUpdateItem) return false;
    const int64_t written = CurrentChangeHandlerCalls().lastWriteTime(change.first.c_str());
    return written >= 0 && written < downloadStartedAt;
}

// From the recording of the event to its counting, under bufferMutex.
HandlingOutcome DecideAndAdd(EventPaths& paths, const ItemPath& first) {
    WatcherState& state = State();
    const ChangeHandlerCalls& calls = CurrentChangeHandlerCalls();
    const int32_t event = paths.event;

    // Recording.
    RecordRecentPath(state, first.Str(), event);
    if (SetsLastEventParent(event)) SetLastEventParent(paths.first);
    if (paths.second && event == kEventRenameFolder) SetLastEventParent(paths.second);

    // Folder test. A deleted item no longer exists: its event says what it was.
    // So does a folder's own event: a folder renamed and deleted at once is no
    // folder by the time its rename is handled.
    if (event == kEventDelete) {
        state.eventIsFolder = 0;
    } else if (event == kEventRmDir || event == kEventRenameFolder || event == kEventMkDir) {
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
                return HandlingOutcome::kDone;
            }
        }
    }

    // Repeat and parent filter; deletions while the tool downloads keep the
    // previous decision, so the tool's own deletions are not sent back. In
    // immediate mode a repeat still asks for an upload: the run under way may
    // have read the file before this change, and a request while one is owed
    // costs nothing.
    if (event == kEventDelete || event == kEventRmDir) {
        if (!calls.isDownloadUnderway()) state.eventAccepted = 1;
    } else if (state.recentEventCount < kRecentEventEntries ||
               ((ImmediateMode() || !RepeatsRecentPath(state, event)) &&
                (state.lastEventParent.Str() != first.Str() || state.networkFolder == 1))) {
        state.eventAccepted = 1;
    } else {
        state.eventAccepted = 0;
        ForgetRecentPaths(state);
        return HandlingOutcome::kDone;
    }

    // Directories: the local folder the command names (kept as it is for the
    // forms that send it) and the remote directory below the configured base.
    if (state.eventAccepted == 0) return HandlingOutcome::kDone;
    if (IsRename(event)) PrepareMove(paths);
    if (event == kEventRmDir) {
        state.itemDir.Assign(paths.firstAnsi);
    } else {
        SetItemDir(event == kEventRenameFolder ? paths.second : paths.first);
    }
    paths.localDir = std::string(state.itemDir.Str());
    RelativeDirectory();
    paths.targetDir = TargetDir();
    if (paths.isMove) {
        // The stand-in of a move sends the folder that holds both ends.
        paths.localDir = paths.moveLdir;
        paths.targetDir = RemoteDirOf(paths.moveLdir);
        state.itemDir.Assign(paths.localDir);
        RelativeDirectory();
    }
    if (ImmediateMode()) return UploadAtOnce();

    // Composition.
    if (state.itemDir.Str().find(kClientFolderMarker) != std::string_view::npos) {
        return HandlingOutcome::kDone;
    }
    // On an SMB share a folder is renamed from its parent: the local folder
    // of the rename form is the parent. A recursive delete keeps the folder
    // itself: cut to the parent, it named the parent, and the tool removed
    // the parent with every sibling of the deleted folder.
    if (state.smbMode == 1 && event == kEventRenameFolder && !paths.isMove) {
        state.itemDir.Assign(CutTwiceAtLastBackslash(state.itemDir.Str()));
    }
    state.newCommand.Clear();
    CommandText command;
    const Composed composedAs = ComposeForEvent(command, paths);
    if (composedAs == Composed::kNothingFits) {
        // Not even the watched folder's recursive put fits in a line: the
        // change reaches the remote side with a whole-folder upload instead.
        if (calls.isNetworkAlive()) calls.startSyncUpload();
        return HandlingOutcome::kDone;
    }
    if (composedAs != Composed::kNoCommand) state.newCommand.Assign(command.Str());
    const AddResult added = AddCommand(state.newCommand.CStr(),
                                       composedAs == Composed::kStandIn ? kStandInEvent : event);
    if (event == kEventUpdateDir || event == kEventUpdateItem) state.eventAccepted = 0;

    // Counting; a command the buffer already held counts once only.
    CountAdded(added);
    return HandlingOutcome::kDone;
}

// An item path as the handler works on it: under the shell's Network folder
// in UNC form, and, for a first path, a doubled backslash made single unless
// it is a UNC path.
std::wstring PreparedPath(const wchar_t* path, bool isFirst) {
    std::wstring text(path);
    RewriteNetworkPath(text.data());
    text.resize(std::wcslen(text.c_str()));
    if (isFirst && !text.starts_with(L"\\\\")) {
        const std::size_t pair = text.find(L"\\\\");
        if (pair != std::wstring::npos) text.erase(pair, 1);
    }
    return text;
}

// Whether an item path lies below the watched folder (Windows names: in
// either case).
bool InsideWatchedFolder(std::wstring_view path) {
    const std::wstring folder = ToWideString(State().watchedPath.Str()) + L"\\";
    return path.size() > folder.size() &&
           SameNameIgnoringCase(path.substr(0, folder.size()), folder);
}

// Whether a path's ANSI form can stand in a command field: at most 511 bytes,
// and every character held by the code page ("?" stands for one it cannot
// hold, and no file name contains one of its own).
bool NamesInCommand(std::string_view ansi) {
    return ansi.size() <= kMaxCommandBytes && ansi.find('?') == std::string_view::npos;
}

// An event whose path does not fit a working copy (511 UTF-16 code units) or
// a command field (NamesInCommand): the deep folders of a long path, names in
// a double-byte code page, or names the code page cannot hold.
struct LongEvent {
    int32_t event;
    const std::wstring& first;
    const std::wstring* second;  // null without a second item
    const std::string& firstAnsi;
    const std::string& secondAnsi;
};

// The folder a long path's event starts its stand-in from: the folder
// itself for a folder that is there, the folder holding the item otherwise
// (a deleted or renamed folder cannot be sent itself).
std::wstring StandInStart(int32_t event, const std::wstring& path, bool isFolder) {
    if (isFolder && event != kEventRmDir && event != kEventRenameFolder) return path;
    return FolderOfItem(path);
}

// Such a change cannot be named in a command: the recursive put of the
// deepest folder above it whose path fits and the code page holds stands in
// for it, as it does for a command over 511 bytes (plftp walks the folder in
// UTF-16 and carries every name). The filters that can judge the event without
// a working copy of its path run as for any event; the repeat filter sees an
// empty entry, so the events around it are never taken for repeats.
HandlingOutcome DecideAndAddLong(const LongEvent& e) {
    WatcherState& state = State();
    const ChangeHandlerCalls& calls = CurrentChangeHandlerCalls();
    RecordRecentPath(state, L"", e.event);
    state.lastEventParent.Clear();

    if (e.event == kEventDelete) {
        state.eventIsFolder = 0;
    } else if (e.event == kEventRmDir || e.event == kEventRenameFolder || e.event == kEventMkDir) {
        state.eventIsFolder = 1;
    } else {
        state.eventIsFolder = calls.isFolderPath(e.first.c_str()) ||
                                      (e.second && calls.isFolderPath(e.second->c_str()))
                                  ? 1
                                  : 0;
    }
    const bool isFolder = state.eventIsFolder == 1;

    // Top-level filter: a folder is its own item folder, so a long path
    // passes only as a file directly in the watched folder.
    if (state.subFolders == 0) {
        const std::string top = std::string(state.watchedPath.Str()) + "\\";
        for (const std::wstring* path : {&e.first, e.second}) {
            if (!path) continue;
            if (isFolder || ToAnsiString(FolderOfItem(*path)) != top) {
                state.eventAccepted = 0;
                return HandlingOutcome::kDone;
            }
        }
    }
    if (e.event == kEventDelete || e.event == kEventRmDir) {
        if (!calls.isDownloadUnderway()) state.eventAccepted = 1;
    } else {
        state.eventAccepted = 1;
    }
    if (state.eventAccepted == 0) return HandlingOutcome::kDone;

    // The deepest folder above both items whose path fits a working copy and
    // a field, but not above the watched folder.
    std::wstring folder = StandInStart(e.event, e.first, isFolder);
    if (e.second) folder = CommonFolder(folder, StandInStart(e.event, *e.second, isFolder));
    const std::string watchedLdir = std::string(state.watchedPath.Str()) + "\\";
    std::string ldir = ToAnsiString(folder);
    while ((folder.size() > kItemPathCapacity - 1 || !NamesInCommand(ldir)) &&
           ldir.size() > watchedLdir.size()) {
        folder = FolderOfItem(folder);
        ldir = ToAnsiString(folder);
    }
    // Nothing below the watched folder fits: the watched folder itself (whose
    // own path the code page holds, or the watcher would not have started).
    if (!NamesInCommand(ldir) || folder.empty()) ldir = watchedLdir;
    const std::string targetDir = RemoteDirOf(ldir);
    if (ImmediateMode()) return UploadAtOnce();
    if (e.firstAnsi.find(kClientFolderMarker) != std::string::npos ||
        e.secondAnsi.find(kClientFolderMarker) != std::string::npos) {
        return HandlingOutcome::kDone;
    }
    const bool known = e.event == kEventRenameItem || e.event == kEventCreate ||
                       e.event == kEventDelete || e.event == kEventMkDir ||
                       e.event == kEventRmDir || e.event == kEventUpdateDir ||
                       e.event == kEventUpdateItem || e.event == kEventRenameFolder;
    state.newCommand.Clear();
    if (known) {
        CommandText command;
        if (!ComposeEnclosingPutTree(command, targetDir, ldir, watchedLdir)) {
            if (calls.isNetworkAlive()) calls.startSyncUpload();
            return HandlingOutcome::kDone;
        }
        state.newCommand.Assign(command.Str());
    }
    const AddResult added = AddCommand(state.newCommand.CStr(), kStandInEvent);
    if (e.event == kEventUpdateDir || e.event == kEventUpdateItem) state.eventAccepted = 0;
    CountAdded(added);
    return HandlingOutcome::kDone;
}

void HandleChangeNow(int32_t event, const wchar_t* firstPath, const wchar_t* secondPath) {
    WatcherState& state = State();

    if (secondPath && !*secondPath) secondPath = nullptr;
    if (!firstPath || !*firstPath || (IsRename(event) && !secondPath)) return;

    // The paths, whole; a doubled backslash inside a first path that is not a
    // UNC path is made single.
    std::wstring firstWide = PreparedPath(firstPath, true);
    std::wstring secondWide = secondPath ? PreparedPath(secondPath, false) : std::wstring();
    if (IsRename(event)) {
        // A move out of the watched folder takes the item away, a move into
        // it brings one: as a rename the remote side would have kept the item
        // under its new name, or renamed it to a place outside its folder.
        const bool fromInside = InsideWatchedFolder(firstWide);
        const bool toInside = InsideWatchedFolder(secondWide);
        if (fromInside && !toInside) {
            event = event == kEventRenameFolder ? kEventRmDir : kEventDelete;
            secondPath = nullptr;
        } else if (!fromInside && toInside) {
            event = event == kEventRenameFolder ? kEventMkDir : kEventCreate;
            firstWide = secondWide;
            secondPath = nullptr;
        }
    }
    const std::string firstAnsi = ToAnsiString(firstWide);
    const std::string secondAnsi = secondPath ? ToAnsiString(secondWide) : std::string();

    ItemPath first;
    ItemPath second;
    const bool fits = first.Assign(firstWide) && (!secondPath || second.Assign(secondWide)) &&
                      NamesInCommand(firstAnsi) && NamesInCommand(secondAnsi);
    HandlingOutcome outcome = HandlingOutcome::kDone;
    if (fits) {
        EventPaths paths;
        paths.event = event;
        paths.first = first.CStr();
        paths.second = secondPath ? second.CStr() : nullptr;
        paths.firstAnsi = firstAnsi;
        paths.secondAnsi = secondAnsi;
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        outcome = DecideAndAdd(paths, first);
    } else {
        const LongEvent longEvent{event, firstWide, secondPath ? &secondWide : nullptr, firstAnsi,
                                  secondAnsi};
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        outcome = DecideAndAddLong(longEvent);
    }
    ShowOutcome(outcome);
}

void HandleLostChangesNow() {
    WatcherState& state = State();
    HandlingOutcome outcome = HandlingOutcome::kDone;
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
                CountAdded(AddCommand(state.newCommand.CStr(), kStandInEvent));
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

}  // namespace

ChangeHandlerCalls& CurrentChangeHandlerCalls() {
    static ChangeHandlerCalls calls = DefaultCalls();
    return calls;
}

void HandleChangeEvent(int32_t event, const wchar_t* firstPath, const wchar_t* secondPath) {
    switch (CurrentIntake()) {
        case Intake::kDrop:
            return;
        case Intake::kHold:
            Hold(event, firstPath, secondPath);
            return;
        case Intake::kHandle:
            break;
    }
    HandleChangeNow(event, firstPath, secondPath);
}

void HandleLostChanges() {
    switch (CurrentIntake()) {
        case Intake::kDrop:
            return;
        case Intake::kHold:
            State().heldChangesLost = true;
            return;
        case Intake::kHandle:
            break;
    }
    HandleLostChangesNow();
}

void ReplayHeldChanges(bool closing) {
    const Intake intake = CurrentIntake();
    if (intake == Intake::kDrop || (intake == Intake::kHold && !closing)) return;
    WatcherState& state = State();
    const std::vector<HeldChange> held = std::exchange(state.heldChanges, {});
    if (std::exchange(state.heldChangesLost, false)) {
        // The whole folder goes, and carries every held change with it.
        HandleLostChangesNow();
        return;
    }
    int64_t downloadStartedAt = 0;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        downloadStartedAt = state.downloadStartedAt;
    }
    for (const HeldChange& change : held) {
        if (DownloadsOwn(change, downloadStartedAt)) continue;
        HandleChangeNow(change.event, change.first.c_str(),
                        change.hasSecond ? change.second.c_str() : nullptr);
    }
}
