#pragma once
// A folder on a Windows file system as a transfer target: the watched folder
// itself, a local or UNC folder (protocol=file, its root= folder standing for
// "/"), or an SMB share whose remote paths are Windows paths already (an
// empty root).

#include <string>

#include "tools/plftp/transfer_target.h"

class CFolderTarget final : public CLocalFolderTarget {
public:
    explicit CFolderTarget(std::wstring root) : root(std::move(root)) {}

    Outcome List(const std::wstring& folder, std::vector<TreeEntry>& entries) override;
    Outcome Stat(const std::wstring& path, TreeEntry& entry) override;
    Outcome ExactTime(const std::wstring& path, int64_t& modified) override;
    int64_t TimeStep() const override;
    Outcome MakeFolder(const std::wstring& folder) override;
    std::wstring LocalFolder(const std::wstring& path) const override;
    Outcome Store(const std::wstring& localFile, const std::wstring& partPath,
                  TreeEntry& written) override;
    Outcome Fetch(const std::wstring& path, const std::wstring& localFile) override;
    Outcome PlaceFile(const std::wstring& partPath, const std::wstring& path,
                      int64_t modified) override;
    Outcome RemoveFile(const std::wstring& path) override;
    Outcome RemoveFolder(const std::wstring& folder) override;
    Outcome Rename(const std::wstring& from, const std::wstring& to) override;
    std::wstring Describe(const std::wstring& path) const override { return NativePath(path); }

    std::wstring NativePath(const std::wstring& path) const override;
    int64_t Now() const override;
    std::wstring StoredName(const std::wstring& path) const override;

private:
    std::wstring root;
    mutable int64_t timeStep = 0;  // found on first use
};

// "cannot <what> <path> (error <code>)" in the ANSI code page, for the
// error file and the log.
std::string SystemReason(const char* what, const std::wstring& path, unsigned long error);
