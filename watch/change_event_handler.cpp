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
// dropping them would lose them. An empty entry, a path that did not fit,
// repeats nothing.
bool RepeatsRecentPath(const WatcherState& state, int32_t event) {
    constexpr int newer = kRecentEventEntries - 1;
    constexpr int older = kRecentEventEntries - 2;
    return state.recentEventCount >= kRecentEventEntries &&
           !state.recentEventPaths[newer].Empty() &&
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

// Whether a path's ANSI form can stand in a command field: at most 511 bytes,
// and every character held by the code page ("?" stands for one it cannot
// hold, and no file name contains one of its own).
bool NamesInCommand(std::string_view ansi) {
    return ansi.size() <= kMaxCommandBytes && ansi.find('?') == std::string_view::npos;
}

// Where the stand-in of a path that does not fit starts: the folder itself
// for a folder that is there, the folder holding the item otherwise (a
// deleted or renamed folder cannot be sent itself).
std::wstring StandInStart(int32_t event, std::wstring_view path, bool isFolder) {
    if (isFolder && event != kEventRmDir && event != kEventRenameFolder) return std::wstring(path);
    return FolderOfItem(path);
}

// What the decisions and the composition work from: the event, its paths
// whole and its folders.
struct EventPaths {
    int32_t event = 0;
    const wchar_t* first = nullptr;   // P1
    const wchar_t* second = nullptr;  // P2, or null
    std::string_view firstAnsi;
    std::string_view secondAnsi;
    // Both paths fit a working copy and a command field (NamesInCommand).
    // When they do not, the change is recorded as an empty entry and its
    // command is the stand-in; every decision between is the same.
    bool fits = true;
    std::string localDir;   // L, whole: itemDir before the SMB cuts
    std::string targetDir;  // before the SMB cuts
    // A rename whose items lie in different folders: the remote paths of its
    // move.
    bool isMove = false;
    std::string moveFrom;
    std::string moveTo;
};

// A rename whose two items lie in different folders (Explorer's move, a
// "move" command) is a move: the rename form names one folder for both, so the
// remote side kept the item where it was and the new folder never got it.
bool IsMove(const EventPaths& paths) {
    return IsRename(paths.event) &&
           !SameNameIgnoringCase(FolderOfItem(paths.first), FolderOfItem(paths.second));
}

// Fills the move's remote paths from both items' folders.
void SetMoveEnds(EventPaths& paths) {
    const std::wstring fromFolder = FolderOfItem(paths.first);
    const std::wstring toFolder = FolderOfItem(paths.second);
    if (State().eventIsFolder == 1) {
        paths.moveFrom = RemoteDirOf(ToAnsiString(paths.first));
        paths.moveTo = RemoteDirOf(ToAnsiString(paths.second));
    } else {
        const std::string fromLeaf = LeafOf(paths.first);
        const std::string toLeaf = LeafOf(paths.second);
        paths.moveFrom = RemoteDirOf(ToAnsiString(fromFolder)) + fromLeaf;
        paths.moveTo = RemoteDirOf(ToAnsiString(toFolder)) + toLeaf;
    }
}

// The item's local folder, whole, as SetItemDir makes it of a path that fits:
// a folder is its own.
std::wstring ItemFolder(const wchar_t* path) {
    return State().eventIsFolder == 1 ? std::wstring(path) : FolderOfItem(path);
}

// L, the local folder the change's command names: the renamed folder under
// its new name, the folder that holds both ends of a move (its stand-in sends
// that folder), and the item's folder otherwise (the deleted folder itself).
std::wstring LocalFolderOf(const EventPaths& paths) {
    if (paths.isMove) return CommonFolder(FolderOfItem(paths.first), FolderOfItem(paths.second));
    return ItemFolder(paths.event == kEventRenameFolder ? paths.second : paths.first);
}

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

// The stand-in for a change that cannot be named in a command: the recursive
// put of the deepest folder above both items whose path fits a working copy
// and a field, but not above the watched folder (plftp walks the folder in
// UTF-16 and carries every name).
bool ComposeStandInAbove(CommandText& out, const EventPaths& paths) {
    const bool isFolder = State().eventIsFolder == 1;
    std::wstring folder = StandInStart(paths.event, paths.first, isFolder);
    if (paths.second) {
        folder = CommonFolder(folder, StandInStart(paths.event, paths.second, isFolder));
    }
    const std::string watchedLdir = std::string(State().watchedPath.Str()) + "\\";
    std::string ldir = ToAnsiString(folder);
    while ((folder.size() > kItemPathCapacity - 1 || !NamesInCommand(ldir)) &&
           ldir.size() > watchedLdir.size()) {
        folder = FolderOfItem(folder);
        ldir = ToAnsiString(folder);
    }
    // Nothing below the watched folder fits: the watched folder itself (whose
    // own path the code page holds, or the watcher would not have started).
    if (!NamesInCommand(ldir) || folder.empty()) ldir = watchedLdir;
    return ComposeEnclosingPutTree(out, RemoteDirOf(ldir), ldir, watchedLdir);
}

enum class Composed { kNoCommand, kOwnForm, kStandIn, kNothingFits };

// The events with a command; any other (an attribute change) runs through
// every filter and is counted without one.
bool HasCommand(int32_t event) {
    return event == kEventRenameItem || event == kEventCreate || event == kEventDelete ||
           event == kEventMkDir || event == kEventRmDir || event == kEventUpdateDir ||
           event == kEventUpdateItem || event == kEventRenameFolder;
}

// The command of each kind of change, or the stand-in for a line over 511
// bytes or for a path no command can name. The stand-in walks up from L and
// the remote directory of the event, never from the SMB rename's cut itemDir:
// cut again, it named a folder above the change, and its synchronising put
// removed that folder's other contents.
Composed ComposeForEvent(CommandText& out, EventPaths& paths) {
    if (!HasCommand(paths.event)) return Composed::kNoCommand;
    if (!paths.fits) {
        return ComposeStandInAbove(out, paths) ? Composed::kStandIn : Composed::kNothingFits;
    }
    WatcherState& state = State();
    if (paths.isMove) SetMoveEnds(paths);
    paths.targetDir = RemoteDirOf(paths.localDir);
    // On an SMB share a folder is renamed from its parent: the local folder
    // of the rename form is the parent. A recursive delete keeps the folder
    // itself: cut to the parent, it named the parent, and the tool removed
    // the parent with every sibling of the deleted folder.
    if (state.smbMode == 1 && paths.event == kEventRenameFolder && !paths.isMove) {
        state.itemDir.Assign(CutTwiceAtLastBackslash(state.itemDir.Str()));
    }
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

// Recording, where a path that does not fit is told apart (its command is the
// other place): it is recorded as an empty entry, which repeats nothing, and
// the parent is cleared, so neither it nor the events around it are taken for
// repeats ("names the code page cannot hold" in the handler's test).
void RecordEvent(WatcherState& state, const EventPaths& paths) {
    if (!paths.fits) {
        RecordRecentPath(state, L"", paths.event);
        state.lastEventParent.Clear();
        return;
    }
    RecordRecentPath(state, paths.first, paths.event);
    if (SetsLastEventParent(paths.event)) SetLastEventParent(paths.first);
    if (paths.second && paths.event == kEventRenameFolder) SetLastEventParent(paths.second);
}

// Folder test. A deleted item no longer exists: its event says what it was.
// So does a folder's own event: a folder renamed and deleted at once is no
// folder by the time its rename is handled.
bool IsFolderEvent(const EventPaths& paths) {
    if (paths.event == kEventDelete) return false;
    if (paths.event == kEventRmDir || paths.event == kEventRenameFolder ||
        paths.event == kEventMkDir) {
        return true;
    }
    const ChangeHandlerCalls& calls = CurrentChangeHandlerCalls();
    return calls.isFolderPath(paths.first) || (paths.second && calls.isFolderPath(paths.second));
}

// Top-level filter: only the watched folder itself and what lies directly in
// it. Since a folder is its own item folder, a folder below the watched one
// never passes.
bool PassesTopLevelFilter(const EventPaths& paths) {
    const WatcherState& state = State();
    if (state.subFolders != 0) return true;
    const std::string top = std::string(state.watchedPath.Str()) + "\\";
    for (const wchar_t* path : {paths.first, paths.second}) {
        if (path && ToAnsiString(ItemFolder(path)) != top) return false;
    }
    return true;
}

// Repeat and parent filter; deletions while the tool downloads keep the
// previous decision, so the tool's own deletions are not sent back. In
// immediate mode a repeat still asks for an upload: the run under way may
// have read the file before this change, and a request while one is owed
// costs nothing ("immediate, no network: a repeat asks for a run too"). Sets
// eventAccepted and says whether the change goes on.
bool Accepted(WatcherState& state, const EventPaths& paths) {
    if (paths.event == kEventDelete || paths.event == kEventRmDir) {
        if (!CurrentChangeHandlerCalls().isDownloadUnderway()) state.eventAccepted = 1;
    } else if (state.recentEventCount < kRecentEventEntries ||
               ((ImmediateMode() || !RepeatsRecentPath(state, paths.event)) &&
                (state.lastEventParent.Str() != paths.first || state.networkFolder == 1))) {
        state.eventAccepted = 1;
    } else {
        state.eventAccepted = 0;
        ForgetRecentPaths(state);
    }
    return state.eventAccepted == 1;
}

// Changes inside the client's own working folders are never sent: L names
// one, or lies in one, however long its path ("client folder" in the test).
bool InClientFolder(const EventPaths& paths) {
    return paths.localDir.find(kClientFolderMarker) != std::string::npos;
}

// From the recording of the event to its counting, under bufferMutex. A
// change whose paths do not fit goes the same way; only its recording and its
// command (ComposeStandInAbove) differ.
HandlingOutcome DecideAndAdd(EventPaths& paths) {
    WatcherState& state = State();
    const ChangeHandlerCalls& calls = CurrentChangeHandlerCalls();
    RecordEvent(state, paths);
    state.eventIsFolder = IsFolderEvent(paths) ? 1 : 0;
    if (!PassesTopLevelFilter(paths)) {
        state.eventAccepted = 0;
        return HandlingOutcome::kDone;
    }
    if (!Accepted(state, paths)) return HandlingOutcome::kDone;

    paths.isMove = IsMove(paths);
    paths.localDir = ToAnsiString(LocalFolderOf(paths));
    if (ImmediateMode()) return UploadAtOnce();
    if (InClientFolder(paths)) return HandlingOutcome::kDone;

    // Composition.
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
    const int32_t event = paths.event;
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

// Whether an item path fits a working copy (kItemPathCapacity, terminator
// included).
bool FitsWorkingCopy(std::wstring_view path) { return path.size() < kItemPathCapacity; }

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

    EventPaths paths;
    paths.event = event;
    paths.first = firstWide.c_str();
    paths.second = secondPath ? secondWide.c_str() : nullptr;
    paths.firstAnsi = firstAnsi;
    paths.secondAnsi = secondAnsi;
    paths.fits = FitsWorkingCopy(firstWide) && (!secondPath || FitsWorkingCopy(secondWide)) &&
                 NamesInCommand(firstAnsi) && NamesInCommand(secondAnsi);
    HandlingOutcome outcome = HandlingOutcome::kDone;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(state.bufferMutex);
        outcome = DecideAndAdd(paths);
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
