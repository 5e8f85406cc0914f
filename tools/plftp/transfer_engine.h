#pragma once
// What plftp does: one transfer command line of a file list, or a whole-folder
// synchronisation, carried out on a local folder and a remote target. Every
// action goes to the run's journal (the transfer log), every failure too (the
// error file), with the item it belongs to. Its own thread decides everything;
// with a pool (EngineSettings::connections), file transfers run on connections
// of their own meanwhile, and what each leaves to the record and the logs is
// written back on the engine's thread (transfer_pool.h has the ordering rule).
//
// Its safety rules, kept here in one place:
// - every path from a command field or a listing is confined below the mapped
//   remote folder or the watched folder (path_guard.h), or the item fails;
// - a target that holds the watched folder, or lies in it, is refused;
// - a delete goes ahead only for an item listed completely, not ignored, not
//   over the size limit, on the receiving side, in a folder where nothing
//   failed in this run; a link is never followed and goes as a link;
// - names are matched the way the receiving side compares them: a case-only
//   difference on a case-insensitive side is a rename;
// - a transfer counts when the target confirmed it and the size matches; the
//   old file is replaced only by a complete new one;
// - with a sync record (sync_record.h), nothing is removed or replaced that
//   plftp did not leave there or that changed there since: an item the
//   receiving side has and the sending side lacks goes only when the record
//   knows it and it is unchanged on the receiving side (it was deleted on the
//   sending side); one the record does not know stays. A file changed on
//   both sides keeps both versions: the local one goes beside the target's
//   under a conflict name (ConflictName), and a download brings both.
//   Without a record every run merges: nothing is removed, equal files are
//   recorded, different ones are conflicts. Without a record object at all
//   (`-replace`) a whole-folder run makes the receiving side a copy.

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/plftp/sync_record.h"
#include "tools/plftp/tool_config.h"
#include "tools/plftp/transfer_pool.h"
#include "tools/plftp/transfer_target.h"

class CRunJournal {
public:
    virtual ~CRunJournal() = default;
    // One line of the transfer log: the action, its two paths (either may be
    // empty) and how it ended.
    virtual void Action(std::string_view action, const std::wstring& localPath,
                        const std::wstring& remotePath, std::string_view result) = 0;
    // One line of the error file: the item (a command line) and the reason.
    virtual void Failure(std::string_view item, std::string_view reason) = 0;
};

struct EngineSettings {
    std::wstring watchedFolder;  // the -path folder, path form
    std::wstring remoteDir;      // the remote folder it maps to, path form
    std::wstring ignore;
    std::wstring ignoreDir;
    uint64_t sizeLimit = 0;
    CSyncRecord* record = nullptr;  // null: the replacing mirror
    std::wstring device;            // this computer's name, for conflict names
    // More than 1 with `connect`: that many files in flight at once, each on
    // a connection `connect` makes (CTransferPool); otherwise one at a time
    // on the remote target itself.
    std::size_t connections = 1;
    CTransferPool::Connect connect{};
};

class CTransferEngine {
public:
    CTransferEngine(CLocalFolderTarget& local, CTransferTarget& remote,
                    const EngineSettings& settings, CRunJournal& journal);
    ~CTransferEngine();
    CTransferEngine(const CTransferEngine&) = delete;
    CTransferEngine& operator=(const CTransferEngine&) = delete;

    // Carries out one line of a file list; 0, or the status of its first
    // failure. A line that is no command of the file list, or whose paths do
    // not stay below the mapped folders, fails with kToolInvalidRequest.
    int32_t RunCommandLine(std::string_view line);

    // Makes the receiving side equal to the sending side: "put" sends the
    // watched folder to remoteDir, "get" the other way. `item` names the run
    // in the error file.
    int32_t Synchronise(TransferDirection direction, std::string_view item);

    // Sends what the record says changed in the watched folder since the last
    // sync (new, changed and deleted items) and nothing else; the target is
    // looked at only where something changed (with an empty record, at
    // every local item: a merge of the folder into the target).
    int32_t SendChanges(std::string_view item);

    // Waits for the transfers still under way and ends their connections:
    // 0, or the status of the first failure that came after its command
    // line had returned (the error file has its line).
    int32_t Finish();

    // Whether a file was left out for being over the size limit.
    bool SkippedForSize() const { return skippedForSize; }

private:
    enum class Walk : uint8_t { kFilesOnly, kRecursive };
    enum class Extras : uint8_t { kKeep, kRemove };

    // Records a failed operation; false when the run cannot go on with this
    // item (the server is gone or refused the login).
    bool Failed(const Outcome& outcome);
    bool Refused(int32_t status, const std::string& why);
    // False (and a failure) when the target and the watched folder overlap.
    bool FoldersApart();

    void PutFile(const std::wstring& remoteFolder, const std::wstring& localFolder,
                 const std::wstring& name);
    void Delete(const std::wstring& remotePath);
    // Renames on the remote side, then brings the renamed item up to the
    // local one: a change to it or below it whose put found the old path gone
    // (the rename came while that put was being sent) is sent here, as is the
    // whole item when the source is not there. A move (`reconcile`, merged
    // from a delete and a create) also removes what the local item lacks; a
    // plain rename does so only with a record (what plftp put there and is
    // unchanged since), and without one removes nothing. A file already at
    // the target is never replaced by the renamed copy: it is brought up to
    // the local file and the source removed instead.
    void RenameRemote(const std::wstring& from, const std::wstring& to,
                      const std::wstring& localPath, bool reconcile);
    // Where the target does not tell case apart, the item found at `path`
    // may keep another case: it is renamed to the case of `path`.
    void TakeCaseOf(const std::wstring& path);
    // Whether the local item and the item already at the rename's target are
    // both files (not links).
    bool FileAlreadyAtTarget(const std::wstring& to, const std::wstring& localPath);
    void SendLocalItem(const std::wstring& localPath, const std::wstring& remotePath,
                       bool onlyWhenDifferent, Extras extras = Extras::kRemove);

    // The walk of both folders; false when the run must stop (the server is
    // gone). A missing sending folder fails with `missingSource`, or is
    // skipped when that is kToolSuccess.
    // A receiving folder that is missing is made at once, or (`makeTarget`
    // false: the record knows it, so the other side deleted it) only when
    // something is to be written into it.
    // A receiving folder made just now (`targetMade`) is known empty: it is not listed.
    bool Mirror(TransferDirection direction, const std::wstring& localFolder,
                const std::wstring& remoteFolder, Walk walk, Extras extras, int32_t missingSource,
                bool makeTarget = true, bool targetMade = false);
    // Whether a file's name came from a command (its case may be out of date)
    // or from a listing of its folder.
    enum class Named : uint8_t { kByCommand, kByListing };
    // One file sent or fetched, verified and put in place.
    // `remember`: the record takes the result as the two sides' new equal
    // state (not for a conflict's copy, which has no local item of its name).
    // `mayDefer`: with a pool, the transfer is handed to it and Ok returned;
    // a failure then goes to the error file when the transfer ends.
    Outcome TransferFile(TransferDirection direction, const std::wstring& localPath,
                         const std::wstring& remotePath, TreeEntry& source, Named named,
                         bool remember = true, bool mayDefer = false);
    struct FileTransfer;
    class CWaitingTarget;
    // The transfer itself, on `remoteSide` (a pool's connection or the
    // engine's own): only the targets are touched, and `transfer`.
    Outcome CarryOut(FileTransfer& transfer, CTransferTarget& remoteSide) const;
    // What the transfer leaves to the record and the transfer log.
    Outcome Complete(FileTransfer& transfer, Outcome outcome);
    // The failure of a transfer that ended after it was handed to the pool.
    void FailedLater(const FileTransfer& transfer, const Outcome& outcome);
    // The transfers of the items of `localFolder` have ended; `troubled` when one failed.
    void Settle(const std::wstring& localFolder, bool& troubled);
    bool SameFile(CTransferTarget& sourceSide, const std::wstring& sourcePath, TreeEntry& source,
                  CTransferTarget& targetSide, const std::wstring& targetPath, TreeEntry& target);
    bool ServerCopyIsNewer(const std::wstring& remotePath, TreeEntry& source,
                           const TreeEntry& target);

    // The delete policy. Whether an entry of a walk is one plftp may remove
    // at all: not ignored, not over the size limit. Links are removable (as
    // links), temporary files of plftp always.
    bool Removable(const TreeEntry& entry) const;
    bool Ignored(const TreeEntry& entry) const;
    // Removes the entry at `path` on the receiving side `side`: a link as a
    // link, a folder with what of it is removable (a folder that keeps
    // something stays). Returns the outcome of the failure, or Ok; `kept` is
    // set when something stayed on purpose.
    Outcome RemoveItem(CTransferTarget& side, const std::wstring& path, const TreeEntry& entry,
                       bool& kept);
    // The removal itself, once the record allowed it; `keepIfEmpty` keeps an
    // empty folder (one the record does not know).
    Outcome RemoveUnrecorded(CTransferTarget& side, const std::wstring& path,
                             const TreeEntry& entry, bool& kept, bool keepIfEmpty = false);
    // Whether the record knows items and the target's mapped folder is empty or missing.
    bool TargetEmptied();
    bool MakeFolders(CTransferTarget& side, const std::wstring& folder);

    // The sync record's side of the rules (no record object: none of them).
    bool Recording() const { return settings.record != nullptr; }
    // The path below the watched folder that `path` of a side stands for.
    std::wstring RecordPath(const std::wstring& path, bool remoteSide) const;
    const RecordEntry* Recorded(const std::wstring& path, bool remoteSide) const;
    // Whether the item at `path` of `side` is as the record last saw it.
    bool Unchanged(CTransferTarget& side, const std::wstring& path, TreeEntry& entry,
                   const RecordEntry& recorded);
    // Records the two sides as equal now.
    void Remember(const std::wstring& localPath, const TreeEntry& localEntry,
                  const TreeEntry& remoteEntry);
    // Both sides changed a file since the record (or, without a record, the
    // two differ): the local version goes beside the target's under a
    // conflict name; a get also brings both down.
    void Conflict(TransferDirection direction, const std::wstring& localPath,
                  const std::wstring& remotePath, TreeEntry& localEntry, TreeEntry& remoteEntry);
    // What a file found on both sides comes to in a run of `direction`
    // (record rules): sent, kept, recorded as equal or a conflict.
    void Reconcile(TransferDirection direction, const std::wstring& localPath,
                   const std::wstring& remotePath, TreeEntry& localEntry, TreeEntry& remoteEntry);
    void SendChangesIn(const std::wstring& localFolder, const std::wstring& remoteFolder);
    // The item and run checks every whole-folder run starts with; false when it cannot go on.
    bool BeginWholeFolderRun(std::string_view runItem);
    // The record's paths of the items of `localFolder` whose names are not in `namesHere`.
    std::vector<std::wstring> RecordedAndGone(const std::wstring& localFolder,
                                              const std::set<std::wstring>& namesHere) const;

    std::wstring LocalFor(const std::wstring& remotePath) const;
    void Log(std::string_view action, const std::wstring& localPath, const std::wstring& remotePath,
             const Outcome& outcome);
    std::wstring LocalText(const std::wstring& path) const;

    CLocalFolderTarget& localInner;  // the sides themselves, for the transfers and their ends
    CTransferTarget& remoteInner;
    std::unique_ptr<CTransferPool> pool;
    std::unique_ptr<CWaitingTarget> waitingLocal, waitingRemote;
    // What the engine's thread uses: with a pool, each call first waits for
    // the transfers under way that its path meets.
    CLocalFolderTarget& local;
    CTransferTarget& remote;
    EngineSettings settings;
    CRunJournal& journal;

    std::string item;  // the item being carried out, for the error file
    int32_t itemStatus = kToolSuccess;
    bool fatal = false;  // the server is gone: nothing more is tried
    bool skippedForSize = false;
    std::set<std::wstring> knownRemoteFolders;  // made or seen in this run
    std::set<std::wstring> linkFreeFolders;     // remote folders found to be no link
    std::atomic<bool> stopTransfers{false};     // fatal: transfers not begun are not tried
    uint64_t itemSerial = 0;                    // the item being carried out, by number
    int32_t lateStatus = kToolSuccess;          // the first failure after its item returned
    std::set<std::wstring> failedFolders;  // local folders (NameCaseKey) with a failed transfer
};
