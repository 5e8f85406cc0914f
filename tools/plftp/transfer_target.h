#pragma once
// The two sides of a transfer as plftp sees them. Every path here is in one
// form whatever the target: UTF-16, "/" between components, no separator at
// the end ("/" alone is the root). A target maps it to its own form: a folder
// target to a Windows path below its root, the FTP target to the server's
// bytes (UTF-8 or the ANSI code page). Paths reach a target only through the
// engine, which confines them first (path_guard.h).

#include <cstdint>
#include <string>
#include <vector>

#include "tools/plftp/path_guard.h"
#include "tools/plftp/tool_status.h"

struct TreeEntry {
    std::wstring name;
    bool folder = false;
    bool link = false;  // a symbolic link or junction: never followed
    uint64_t size = 0;
    int64_t modified = 0;    // UTC, 100-ns ticks since 1601 (FILETIME); 0 unknown
    bool exactTime = false;  // `modified` is known to the second
};

class CTransferTarget {
public:
    virtual ~CTransferTarget() = default;

    // The entries of a folder, all of them or a failure: a folder that does
    // not exist fails with kToolInvalidRemoteDir, one that cannot be read
    // with another status; never an incomplete list.
    virtual Outcome List(const std::wstring& folder, std::vector<TreeEntry>& entries) = 0;
    // One entry; a path that does not exist fails with kToolRemoteNotFound.
    virtual Outcome Stat(const std::wstring& path, TreeEntry& entry) = 0;
    // Asks for the time to the second of an entry whose exactTime is false.
    virtual Outcome ExactTime(const std::wstring& path, int64_t& modified) = 0;
    // The step of the times the target keeps, in 100-ns ticks.
    virtual int64_t TimeStep() const { return 1; }
    // Whether the time PlaceFile gives a file is kept; where it is not, a
    // file holds the time it was written at.
    virtual bool KeepsTimes() const { return true; }
    // Whether two names that differ only in case are two items here.
    virtual bool CaseSensitive() const { return false; }
    // Why a file or folder named `name` cannot be kept here as it is named,
    // or empty when it can.
    virtual std::string CannotHold(const std::wstring& name) const {
        return UnsafeNameReason(name);
    }
    // The folder of this machine's file systems that `path` is, in path form,
    // for the overlap check; empty for a server.
    virtual std::wstring LocalFolder(const std::wstring& /*path*/) const { return {}; }

    // One level; an existing folder is fine.
    virtual Outcome MakeFolder(const std::wstring& folder) = 0;
    // Writes the local file (a Windows path) to `partPath`, a temporary name,
    // and gives what the target now holds there (its size at least); fails
    // unless the target confirmed the whole transfer. A local file that is
    // gone fails with kToolFileNotFound, one that cannot be read with
    // kToolReadError.
    virtual Outcome Store(const std::wstring& localFile, const std::wstring& partPath,
                          TreeEntry& written) = 0;
    // Copies `path` into the local file (a Windows path), which it creates;
    // fails unless the end of the transfer was confirmed.
    virtual Outcome Fetch(const std::wstring& path, const std::wstring& localFile) = 0;
    // Renames a complete temporary file over `path` and gives it `modified`
    // (when not 0). The old version at `path` stays until the new one is in
    // place: a failure leaves it as it was.
    virtual Outcome PlaceFile(const std::wstring& partPath, const std::wstring& path,
                              int64_t modified) = 0;
    virtual Outcome RemoveFile(const std::wstring& path) = 0;
    // An empty folder, or a link to a folder (the link alone).
    virtual Outcome RemoveFolder(const std::wstring& folder) = 0;
    // Fails when `to` exists as another item; a rename that changes only the
    // case of a name is fine.
    virtual Outcome Rename(const std::wstring& from, const std::wstring& to) = 0;

    // The path as the user knows it, for the log.
    virtual std::wstring Describe(const std::wstring& path) const = 0;
    // False when the target can take no more commands (its connection closed).
    virtual bool Usable() const { return true; }
};

// A folder on a Windows file system: the watched folder, or a file or SMB
// target. Downloads are written to its Windows paths.
class CLocalFolderTarget : public CTransferTarget {
public:
    virtual std::wstring NativePath(const std::wstring& path) const = 0;
    // This machine's clock, as a FILETIME.
    virtual int64_t Now() const = 0;
    // The name an existing item is kept under here, whose case may differ from
    // the one asked for; empty when it is not there.
    virtual std::wstring StoredName(const std::wstring& path) const = 0;
};
