#pragma once
// What plftp does: one transfer command line of a file list, or a whole-folder
// synchronisation, carried out on a local folder and a remote target. Every
// action goes to the run's journal (the transfer log), every failure too (the
// error file), with the item it belongs to. Single-threaded.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "tools/plftp/tool_config.h"
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
};

class CTransferEngine {
public:
    CTransferEngine(CLocalFolderTarget& local, CTransferTarget& remote,
                    const EngineSettings& settings, CRunJournal& journal);

    // Carries out one line of a file list; 0, or the status of its first
    // failure. A line that is no command of the file list fails with
    // kToolInvalidRequest.
    int32_t RunCommandLine(std::string_view line);

    // Makes the receiving side equal to the sending side: "put" sends the
    // watched folder to remoteDir, "get" the other way. `item` names the run
    // in the error file.
    int32_t Synchronise(TransferDirection direction, std::string_view item);

    // Whether a file was left out for being over the size limit.
    bool SkippedForSize() const { return skippedForSize; }

private:
    enum class Walk : uint8_t { kFilesOnly, kRecursive };
    enum class Extras : uint8_t { kKeep, kRemove };

    // Records a failed operation; false when the run cannot go on with this
    // item (the server is gone or refused the login).
    bool Failed(const Outcome& outcome);

    void PutFile(const std::wstring& remoteFolder, const std::wstring& localFolder,
                 const std::wstring& name);
    void Delete(const std::wstring& remotePath);
    // Renames on the remote side. When the source is not there, or when
    // `reconcile` is set (a move merged from a delete and a create), the local
    // item is sent to the new place as well.
    void RenameRemote(const std::wstring& from, const std::wstring& to,
                      const std::wstring& localPath, bool reconcile);
    // Removes what is at `path` on the remote side, or makes its parent.
    bool ClearWayTo(const std::wstring& path);
    void SendLocalItem(const std::wstring& localPath, const std::wstring& remotePath,
                       bool onlyWhenDifferent);

    // The walk of both folders. A missing sending folder fails with
    // `missingSource`, or is skipped when that is kToolSuccess.
    bool Mirror(TransferDirection direction, const std::wstring& localFolder,
                const std::wstring& remoteFolder, Walk walk, Extras extras,
                int32_t missingSource);
    bool TransferFile(TransferDirection direction, const std::wstring& localPath,
                  const std::wstring& remotePath, TreeEntry& source);
    bool SameFile(CTransferTarget& sourceSide, const std::wstring& sourcePath, TreeEntry& source,
                  CTransferTarget& targetSide, const std::wstring& targetPath, TreeEntry& target);
    bool RemoveItem(CTransferTarget& side, const std::wstring& path, bool folder);
    bool MakeFolders(CTransferTarget& side, const std::wstring& folder);

    std::wstring LocalFor(const std::wstring& remotePath) const;
    void Log(std::string_view action, const std::wstring& localPath,
             const std::wstring& remotePath, const Outcome& outcome);

    CLocalFolderTarget& local;
    CTransferTarget& remote;
    EngineSettings settings;
    CRunJournal& journal;

    std::string item;         // the item being carried out, for the error file
    int32_t itemStatus = kToolSuccess;
    bool skippedForSize = false;
    std::set<std::wstring> knownRemoteFolders;  // made or seen in this run
};
