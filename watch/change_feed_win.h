#pragma once
// The change feed: where the shell does not deliver interrupt-level
// notifications (Wine announces only what SHChangeNotify reports inside the same
// process), a thread of ours watches the folder with ReadDirectoryChangesW and
// announces every change with SHChangeNotify(event, SHCNF_PATHW, ...), so the
// watcher's registration receives it exactly as the shell would post it.
//
// Threads: Start and Stop run on the owner's thread (the dialog thread); the
// feed thread owns every other member until Stop has joined it. It never
// blocks the owner and holds no lock of the watcher.

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/win_handles.h"

class ChangeFeed {
public:
    ChangeFeed() = default;
    ~ChangeFeed() { Stop(); }
    ChangeFeed(const ChangeFeed&) = delete;
    ChangeFeed& operator=(const ChangeFeed&) = delete;

    // Only where the shell lacks interrupt-level delivery.
    static bool IsNeeded();

    // Starts watching `folder` recursively; false when it cannot be opened.
    // When changes are lost (more than the read buffer holds), or one is
    // reported under a path whose item and folder are not there, the feed posts
    // kLostChangesMessage to `lostChangesWindow`: no notification can say what
    // they were.
    bool Start(const std::wstring& folder, HWND lostChangesWindow);
    // Stops and joins the thread; harmless when not started. While it waits it
    // lets messages sent to this thread's windows through: the shell delivers an
    // announcement by sending a message to the registered window, and the feed
    // thread may be inside such a send. It first waits (at most 5 s) until
    // Wine's server has read every change made so far, so that a change made a
    // moment before the end is announced. Then it has Wine forget the folders
    // the watch took in.
    void Stop();

private:
    bool IssueRead();
    void Run();
    void Announce(DWORD action, const std::wstring& path);
    void ReportLostChanges();
    void PostLostChanges();
    // Whether a missing item's folder is missing too (below the root).
    bool FolderGone(const std::wstring& path) const;
    void Notify(LONG event, const std::wstring& first, const std::wstring* second = nullptr);
    // Knows `folder` and every folder below it and opens each, parents first (Wine
    // watches a folder below a recursive watch once it is opened); `tree`, when
    // given, receives them in that order.
    void ScanFolders(const std::wstring& folder, std::vector<std::wstring>* tree = nullptr);
    static constexpr int kRelinkPasses = 16;
    void Relink(const std::wstring& folder);
    bool IsKnownFolder(const std::wstring& path) const;
    // Forgets the folder and those below it; `forgotten` takes their keys.
    void ForgetFolder(const std::wstring& path, std::vector<std::wstring>* forgotten = nullptr);
    void RenameFolders(const std::wstring& from, const std::wstring& to);

    std::wstring root;
    HWND lostChangesWindow = nullptr;
    UniqueFileHandle directory;
    UniqueHandle stopEvent;
    UniqueHandle finishedEvent;  // set by the feed thread as it ends
    UniqueHandle ioEvent;
    OVERLAPPED overlapped{};
    std::vector<DWORD> buffer;  // DWORD-aligned, as ReadDirectoryChangesW requires
    std::thread thread;
    // Case keys (NameCaseKey) of the folders below root; feed thread only (after Start).
    std::set<std::wstring> folders;
    // Case keys of the parents of the paths announced (feed thread only), at most
    // kParentsSeenLimit: a path that had a child was a folder.
    static constexpr std::size_t kParentsSeenLimit = 4096;
    std::set<std::wstring> parentsSeen;
    std::wstring pendingOldName;
    // Folder renames and moves in the order they were made: (old path, new
    // path), each as the folders above it were named then. Wine keeps naming the
    // changes inside such a folder by the path it had when it was first watched.
    std::vector<std::pair<std::wstring, std::wstring>> renamed;
    // Folders moved to another folder, or made, and gone again (renamed, or a folder above them
    // renamed) before the move or creation was handled, by case key: the rename that
    // finds them gives them their fresh records. Also items made and gone at once that may have
    // been files: their deletion, or a rename that finds them, forgets them.
    std::map<std::wstring, std::wstring> relinkOwed;
    void Owe(const std::wstring& folder);
    // Whether a folder renamed from `from` to `to` needs fresh records: they
    // were owed to it, or it moved to another folder.
    bool OwesFreshRecords(const std::wstring& from, const std::wstring& to) const;
    std::wstring CurrentPath(const std::wstring& path) const;
};
