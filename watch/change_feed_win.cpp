#include "watch/change_feed_win.h"

#include <shlobj.h>

#include <algorithm>
#include <set>
#include <vector>

#include "base/name_case.h"
#include "base/platform_win.h"
#include "watch/shell_item_change_watcher_win.h"

namespace {

constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES;
constexpr DWORD kBufferBytes = 64 * 1024;
constexpr DWORD kServerWaitMs = 5000;

std::wstring ParentOf(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Watches `folder` (not its subfolders) for `filter` while `meanwhile` runs,
// which is given the event the first report sets; then ends the watch.
template <typename Meanwhile>
void WatchBriefly(const std::wstring& folder, DWORD filter, Meanwhile meanwhile) {
    UniqueFileHandle handle(CreateFileW(
        folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!handle || !done) return;
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.Get();
    DWORD changes[64];
    if (!ReadDirectoryChangesW(handle.Get(), changes, sizeof changes, FALSE, filter, nullptr,
                               &overlapped, nullptr)) {
        return;
    }
    meanwhile(done.Get());
    CancelIoEx(handle.Get(), &overlapped);
    DWORD bytes = 0;
    GetOverlappedResult(handle.Get(), &overlapped, &bytes, TRUE);
    // Wine finishes the cancelled read in a call it queues to this thread and
    // runs only in an alertable wait; until then its server keeps the read, and
    // the record below with it, past the handle's close, and a folder opened
    // again at once met the old record and was never watched (13 of 40 runs
    // without this wait, 0 of 40 with it).
    SleepEx(0, TRUE);
}

// Wine keeps a record, by inode, of each folder a recursive watch takes in,
// and when the watch ends it drops only the records of the folders right
// below the watched one: the deeper ones stay for the life of the Wine
// server, also after their folders are deleted. A folder made or moved in
// later that gets a kept record's inode number is then taken for the old one,
// and no watch ever reports its changes. Watching a folder for an instant
// through a handle of its own ties its record to that handle, and closing the
// handle drops the record.
void DropWineRecord(const std::wstring& folder) {
    WatchBriefly(folder, FILE_NOTIFY_CHANGE_DIR_NAME, [](HANDLE) {});
}

// Waits for `event` and lets messages sent to this thread's windows through
// meanwhile (the feed thread may be inside such a send); false on a time-out.
bool WaitLettingSendsThrough(HANDLE event, DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = milliseconds == INFINITE ? INFINITE
                           : now >= end             ? 0
                                                    : static_cast<DWORD>(end - now);
        const DWORD which = MsgWaitForMultipleObjects(1, &event, FALSE, left, QS_SENDMESSAGE);
        if (which == WAIT_OBJECT_0) return true;
        if (which != WAIT_OBJECT_0 + 1) return false;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// Wine's server reads the file system's notifications for every watch from
// one queue, in order, whenever it gets to it. A change of our own in a
// private folder, once reported, says that every change made before it has
// reached the server and waits for the feed's read: the feed stops only then,
// so a change made a moment before the end is announced, not dropped. Bounded:
// without the report the feed stops as before.
void WaitForWineServer() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return;
    const std::wstring folder = std::wstring(temp, length) + L"PellaroCNW-end-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount64());
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return;
    WatchBriefly(folder, FILE_NOTIFY_CHANGE_FILE_NAME, [&](HANDLE reported) {
        UniqueFileHandle marker(CreateFileW((folder + L"\\end").c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (marker) static_cast<void>(WaitLettingSendsThrough(reported, kServerWaitMs));
    });
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

bool ChangeFeed::IsNeeded() { return IsRunningUnderWine(); }

bool ChangeFeed::Start(const std::wstring& folder, HWND lostWindow) {
    Stop();
    root = folder;
    lostChangesWindow = lostWindow;
    while (root.size() > 3 && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    directory.Reset(CreateFileW(
        root.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!directory) return false;
    stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    finishedEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ioEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent || !finishedEvent || !ioEvent) return false;
    buffer.assign(kBufferBytes / sizeof(DWORD), 0);
    folders.clear();
    parentsSeen.clear();
    relinkOwed.clear();
    // The first read is issued before Start returns, so no change made after
    // Start is missed. The scan comes after it: Wine watches a subfolder of a
    // recursive watch only once the folder is opened while the watch exists,
    // and the scan opens every one.
    if (!IssueRead()) return false;
    ScanFolders(root);
    thread = std::thread([this] {
        Run();
        SetEvent(finishedEvent.Get());
    });
    return true;
}

void ChangeFeed::Stop() {
    if (thread.joinable()) {
        WaitForWineServer();
        SetEvent(stopEvent.Get());
        static_cast<void>(WaitLettingSendsThrough(finishedEvent.Get(), INFINITE));
        thread.join();
        for (const std::wstring& folder : folders) DropWineRecord(folder);
        if (!folders.empty()) WaitForWineServer();  // as in Relink: a next watch opens them again
        folders.clear();
    } else if (directory && ioEvent) {
        // A read issued by a Start whose thread never ran.
        DWORD bytes = 0;
        CancelIoEx(directory.Get(), &overlapped);
        GetOverlappedResult(directory.Get(), &overlapped, &bytes, TRUE);
    }
    directory.Reset();
    stopEvent.Reset();
    finishedEvent.Reset();
    ioEvent.Reset();
}

bool ChangeFeed::IssueRead() {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = ioEvent.Get();
    ResetEvent(ioEvent.Get());
    return ReadDirectoryChangesW(directory.Get(), buffer.data(), kBufferBytes, TRUE, kNotifyFilter,
                                 nullptr, &overlapped, nullptr) != FALSE;
}

void ChangeFeed::Run() {
    for (bool first = true, stopping = false; !stopping; first = false) {
        if (!first && !IssueRead()) return;
        HANDLE waits[2] = {ioEvent.Get(), stopEvent.Get()};
        const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        DWORD bytes = 0;
        if (which != WAIT_OBJECT_0) {
            CancelIoEx(directory.Get(), &overlapped);
            // What the read took in before the cancel is announced still: the
            // watch ends after the changes made before it.
            if (!GetOverlappedResult(directory.Get(), &overlapped, &bytes, TRUE) || bytes == 0)
                return;
            stopping = true;
        } else if (!GetOverlappedResult(directory.Get(), &overlapped, &bytes, FALSE)) {
            if (GetLastError() == ERROR_NOTIFY_ENUM_DIR) {
                ReportLostChanges();
                continue;
            }
            return;
        }
        if (bytes == 0) {
            ReportLostChanges();
            continue;
        }
        const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
        std::wstring lastModified;
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
            const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            // One write reaches inotify as several modifications: a run of them
            // for the same item in one read is one change.
            const bool repeat = info->Action == FILE_ACTION_MODIFIED && name == lastModified;
            lastModified = info->Action == FILE_ACTION_MODIFIED ? name : std::wstring();
            if (!repeat) Announce(info->Action, root + L"\\" + name);
            if (info->NextEntryOffset == 0) break;
            at += info->NextEntryOffset;
        }
    }
}

// The shell makes no item of a path past MAX_PATH, and the change would be
// lost: it is reported as lost instead, so the whole folder is sent.
void ChangeFeed::Notify(LONG event, const std::wstring& first, const std::wstring* second) {
    if (first.size() < MAX_PATH && (!second || second->size() < MAX_PATH)) {
        SHChangeNotify(event, SHCNF_PATHW, first.c_str(), second ? second->c_str() : nullptr);
    } else {
        PostLostChanges();
    }
}

bool ChangeFeed::FolderGone(const std::wstring& path) const {
    const std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || slash <= root.size()) return false;
    return !IsDirectory(path.substr(0, slash));
}

void ChangeFeed::PostLostChanges() {
    if (lostChangesWindow) PostMessageW(lostChangesWindow, kLostChangesMessage, 0, 0);
}

void ChangeFeed::ReportLostChanges() {
    // Too many changes for the buffer: which ones is unknown, so the folder as
    // a whole is to be sent. The folders met since are not known either.
    folders.clear();
    ScanFolders(root);
    PostLostChanges();
}

// The path a change reported under a renamed folder's old path has now. The
// renames are applied in the order they were made, each to the path the ones
// before it gave: a folder renamed inside a folder renamed before it is found
// under the outer folder's new name, and one renamed before its outer folder
// under the name it had in there. A name as Wine gave it is the old folder's
// only while no folder of that name is there (one made since takes the name
// back); the part of the path that renames gave is the renamed folder's, also
// when a folder of that name has been made since.
std::wstring ChangeFeed::CurrentPath(const std::wstring& path) const {
    std::wstring current = path;
    std::size_t given = 0;  // the length of the leading part the renames gave
    for (const auto& [from, to] : renamed) {
        if (NameCaseKey(current.substr(0, from.size() + 1)) != NameCaseKey(from + L"\\")) continue;
        if (from.size() > given && IsDirectory(from)) continue;
        given = std::max(given, from.size()) - from.size() + to.size();
        current = to + current.substr(from.size());
    }
    return current;
}

void ChangeFeed::Announce(DWORD action, const std::wstring& reported) {
    const std::wstring path = CurrentPath(reported);
    // A folder made and deleted again before its creation is handled is never
    // scanned; that changes came from inside it still says it was a folder.
    if (const std::size_t slash = path.rfind(L'\\');
        slash != std::wstring::npos && slash > root.size()) {
        if (parentsSeen.size() >= kParentsSeenLimit) parentsSeen.clear();
        parentsSeen.insert(NameCaseKey(path.substr(0, slash)));
    }
    // One look at the item says whether it is there and whether it is a folder.
    const bool looked = action == FILE_ACTION_ADDED || action == FILE_ACTION_MODIFIED ||
                        action == FILE_ACTION_RENAMED_NEW_NAME;
    const DWORD attributes = looked ? GetFileAttributesW(path.c_str()) : INVALID_FILE_ATTRIBUTES;
    const bool isFolder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    // Wine names a changed item by the names its folders had when Wine first
    // met them, and the renames applied since cannot always say what the path
    // is now (a folder renamed before its rename was reported, folders renamed
    // inside renamed folders). A change whose item is not there, in a folder
    // that is not there either, is one such: which item it was is unknown, so
    // the folder as a whole is to be sent rather than a path leading nowhere.
    if (looked && attributes == INVALID_FILE_ATTRIBUTES && FolderGone(path)) {
        if (action == FILE_ACTION_RENAMED_NEW_NAME) {
            // A folder's rename is kept all the same: Wine goes on naming the
            // changes inside it by its old name.
            const std::wstring oldName = std::exchange(pendingOldName, std::wstring());
            if (IsKnownFolder(oldName)) RenameFolders(oldName, path);
        }
        PostLostChanges();
        return;
    }
    switch (action) {
        case FILE_ACTION_ADDED:
            if (isFolder) {
                Relink(path);
                Notify(SHCNE_MKDIR, path);
            } else {
                // Gone already: if it was a folder renamed at once, the rename
                // that finds it gives it the fresh records it arrived without.
                if (attributes == INVALID_FILE_ATTRIBUTES) Owe(path);
                Notify(SHCNE_CREATE, path);
            }
            break;
        case FILE_ACTION_REMOVED: {
            relinkOwed.erase(NameCaseKey(path));
            // A deleted tree's items are reported before the tree, while their folder is still
            // known. A removal in a folder that is gone and unknown is one Wine names by a path
            // the renames cannot give, as for a change above whose item and folder are gone: it
            // reaches nothing as announced, so the whole folder is sent too.
            const bool pathInDoubt = !IsKnownFolder(ParentOf(path)) && FolderGone(path);
            if (IsKnownFolder(path) || parentsSeen.erase(NameCaseKey(path)) != 0) {
                ForgetFolder(path);
                Notify(SHCNE_RMDIR, path);
            } else {
                Notify(SHCNE_DELETE, path);
            }
            if (pathInDoubt) PostLostChanges();
            break;
        }
        case FILE_ACTION_MODIFIED:
            Notify(isFolder ? SHCNE_UPDATEDIR : SHCNE_UPDATEITEM, path);
            break;
        case FILE_ACTION_RENAMED_OLD_NAME:
            pendingOldName = path;
            break;
        case FILE_ACTION_RENAMED_NEW_NAME: {
            const std::wstring oldName = std::exchange(pendingOldName, std::wstring());
            if (oldName.empty()) {
                Announce(FILE_ACTION_ADDED, path);
            } else if (IsKnownFolder(oldName) || isFolder) {
                RenameFolders(oldName, path);
                Notify(SHCNE_RENAMEFOLDER, oldName, &path);
            } else {
                // Gone under its new name too, and owed fresh records or moved
                // to another folder: it may be a folder renamed or moved again
                // at once, which Wine goes on naming by its first name and
                // keeps under its first parent's record. The rename is kept
                // for those names, and the fresh records are owed to the new
                // name (scenarios FolderMadeAndRenamedThriceAtOnce and
                // FolderMovedOutOfAFolderRenamedAndDeleted).
                if (attributes == INVALID_FILE_ATTRIBUTES && OwesFreshRecords(oldName, path)) {
                    RenameFolders(oldName, path);
                } else {
                    relinkOwed.erase(NameCaseKey(oldName));
                }
                Notify(SHCNE_RENAMEITEM, oldName, &path);
                // Whatever took the new name away again may never be reported (a case-only
                // rename made by a name of its own can lose its second rename, and the remote
                // file would keep the in-between name; fixed day 30171). Which change that was
                // is unknown, so the folder as a whole is to be sent after this rename.
                if (attributes == INVALID_FILE_ATTRIBUTES) PostLostChanges();
            }
            break;
        }
        default:
            break;
    }
}

// Wine takes a folder that arrives for any folder it still keeps a record of
// under the same inode number: one renamed (the record keeps the first name)
// and then moved out or deleted, or one of a watch that ended. Its changes are
// then reported under the old folder's path, or not at all. So an arriving
// folder is made known to Wine afresh: the records of it and of every folder in
// it are dropped, deepest first (dropping a folder's record first would cut its
// subfolders' records loose, and an open never links a record again), and
// opening them again, parents first, makes new ones. A change made in between
// is not lost: the folder's creation or move, announced after this, sends all
// of it (a move ends with the remote folder brought up to the local one).
// A folder made in it while this runs (a copy still under way) and met by Wine
// before its parent's record was dropped is cut loose by that drop: the opening
// again finds it, and it is dropped and opened again in turn, until a pass
// finds no new folder (at most kRelinkPasses).
void ChangeFeed::Relink(const std::wstring& folder) {
    std::vector<std::wstring> fresh;
    ScanFolders(folder, &fresh);
    std::set<std::wstring> dropped;
    for (int pass = 0; !fresh.empty() && pass < kRelinkPasses; ++pass) {
        for (auto it = fresh.rbegin(); it != fresh.rend(); ++it) DropWineRecord(*it);
        // Opened again before Wine's server has taken in every change made
        // before the drop, the folder may still meet its old record and stay
        // unwatched (a folder moved out and back in under another name: 7 of
        // 100 runs on a busy machine; 0 of 150 with this wait).
        WaitForWineServer();
        dropped.insert(fresh.begin(), fresh.end());
        std::vector<std::wstring> opened;
        ScanFolders(folder, &opened);
        fresh.clear();
        for (std::wstring& path : opened) {
            if (!dropped.contains(path)) fresh.push_back(std::move(path));
        }
    }
}

void ChangeFeed::ScanFolders(const std::wstring& folder, std::vector<std::wstring>* tree) {
    if (folder != root) folders.insert(NameCaseKey(folder));
    if (tree) tree->push_back(folder);
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        ScanFolders(folder + L"\\" + name, tree);
    } while (FindNextFileW(find.Get(), &data));
}

bool ChangeFeed::IsKnownFolder(const std::wstring& path) const {
    return folders.count(NameCaseKey(path)) != 0;
}

void ChangeFeed::ForgetFolder(const std::wstring& path, std::vector<std::wstring>* forgotten) {
    const std::wstring key = NameCaseKey(path);
    const std::wstring below = key + L"\\";
    for (auto it = folders.lower_bound(key); it != folders.end();) {
        if (*it == key || it->compare(0, below.size(), below) == 0) {
            if (forgotten) forgotten->push_back(*it);
            it = folders.erase(it);
        } else if (it->compare(0, key.size(), key) == 0) {
            ++it;  // a sibling sharing the prefix, such as "a b" after "a"
        } else {
            break;
        }
    }
}

void ChangeFeed::RenameFolders(const std::wstring& from, const std::wstring& to) {
    if (renamed.size() >= 256) renamed.erase(renamed.begin());
    renamed.emplace_back(from, to);
    // The folders known under the old name are known under the new one even
    // when it is gone again (renamed once more, or deleted, before this rename
    // was handled): what is reported later under the new name is a folder's.
    std::vector<std::wstring> moved;
    ForgetFolder(from, &moved);
    const std::wstring key = NameCaseKey(to);
    for (const std::wstring& old : moved) folders.insert(key + old.substr(from.size()));
    // Wine's records keep a folder's first name and parent. A folder moved to another folder
    // would stay the child of its first parent's record, and be cut loose from every watch when
    // that record goes (its folder renamed and deleted leaves it behind, and a new folder on the
    // freed inode number takes it and is made known afresh): a moved folder gets fresh records.
    // One renamed where it is keeps its records, as making them afresh drops, for an instant,
    // what happens inside it. A folder moved or made, and renamed again (or its new parent
    // renamed) before the move or creation was handled, gets them with the rename that finds it.
    const bool relink = OwesFreshRecords(from, to);
    relinkOwed.erase(NameCaseKey(from));
    std::vector<std::wstring> owedBelow;  // owed below the renamed folder, under its new name
    const std::wstring fromBelow = NameCaseKey(from) + L"\\";
    for (auto it = relinkOwed.lower_bound(fromBelow);
         it != relinkOwed.end() && it->first.starts_with(fromBelow);) {
        owedBelow.push_back(to + it->second.substr(from.size()));
        it = relinkOwed.erase(it);
    }
    if (!IsDirectory(to)) {
        if (relink) Owe(to);
        for (const std::wstring& path : owedBelow) Owe(path);
        return;
    }
    if (relink) {
        Relink(to);  // the folders below it too
        return;
    }
    ScanFolders(to);
    for (const std::wstring& path : owedBelow) {
        if (IsDirectory(path)) {
            Relink(path);
        } else {
            Owe(path);
        }
    }
}

bool ChangeFeed::OwesFreshRecords(const std::wstring& from, const std::wstring& to) const {
    return relinkOwed.contains(NameCaseKey(from)) ||
           NameCaseKey(ParentOf(from)) != NameCaseKey(ParentOf(to));
}

void ChangeFeed::Owe(const std::wstring& folder) {
    // Bounded like the other sets: a file made and gone at once whose later
    // events name it otherwise (its folder renamed) stays until then.
    if (relinkOwed.size() >= kParentsSeenLimit) relinkOwed.clear();
    relinkOwed.emplace(NameCaseKey(folder), folder);
}
