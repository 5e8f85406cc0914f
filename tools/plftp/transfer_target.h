#pragma once
// The two sides of a transfer as plftp sees them. Every path here is in one
// form whatever the target: UTF-16, "/" between components, no separator at
// the end ("/" alone is the root). A target maps it to its own form: a folder
// target to a Windows path below its root, the FTP target to the server's
// bytes (UTF-8 or the ANSI code page).

#include <cstdint>
#include <string>
#include <vector>

#include "tools/plftp/tool_status.h"

struct TreeEntry {
    std::wstring name;
    bool folder = false;
    uint64_t size = 0;
    int64_t modified = 0;  // UTC, 100-ns ticks since 1601 (FILETIME); 0 unknown
    bool exactTime = false;  // `modified` is known to the second
};

class CTransferTarget {
public:
    virtual ~CTransferTarget() = default;

    // The entries of a folder. A folder that does not exist fails with
    // kToolInvalidRemoteDir; the caller decides what that means.
    virtual Outcome List(const std::wstring& folder, std::vector<TreeEntry>& entries) = 0;
    // One entry; a path that does not exist fails with kToolRemoteNotFound.
    virtual Outcome Stat(const std::wstring& path, TreeEntry& entry) = 0;
    // Asks for the time to the second of an entry whose exactTime is false.
    virtual Outcome ExactTime(const std::wstring& path, int64_t& modified) = 0;
    // The step of the times the target keeps, in 100-ns ticks.
    virtual int64_t TimeStep() const { return 1; }

    // One level; an existing folder is fine.
    virtual Outcome MakeFolder(const std::wstring& folder) = 0;
    // Sends the local file (a Windows path) to `path` through a temporary name
    // beside it, then keeps `modified` as its time where the target allows. A
    // local file that is gone fails with kToolFileNotFound.
    virtual Outcome Store(const std::wstring& localFile, const std::wstring& path,
                          int64_t modified) = 0;
    // Copies `path` into the local file (a Windows path), which it creates.
    virtual Outcome Fetch(const std::wstring& path, const std::wstring& localFile) = 0;
    virtual Outcome RemoveFile(const std::wstring& path) = 0;
    virtual Outcome RemoveFolder(const std::wstring& folder) = 0;  // an empty one
    // Fails when `to` exists; the caller replaces it on purpose.
    virtual Outcome Rename(const std::wstring& from, const std::wstring& to) = 0;

    // The path as the user knows it, for the log.
    virtual std::wstring Describe(const std::wstring& path) const = 0;
};

// A folder on a Windows file system: the watched folder, or a file or SMB
// target. It can also take a finished download into place.
class CLocalFolderTarget : public CTransferTarget {
public:
    virtual std::wstring NativePath(const std::wstring& path) const = 0;
    // A temporary name beside `path` for a download in progress.
    virtual std::wstring PartPath(const std::wstring& path) const = 0;
    // Renames a finished download over `path` and gives it the time `modified`
    // (when not 0); the part file is removed when that fails.
    virtual Outcome Commit(const std::wstring& partFile, const std::wstring& path,
                           int64_t modified) = 0;
};
