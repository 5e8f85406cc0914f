#pragma once
// The files and the lock one run of plftp keeps for its folder, all named
// after the folder key in the data folder:
//   <key>_plftp.log     one line per action, kept under 1 MB (the older
//                       lines move to <key>_plftp.log.1)
//   <key>_plerror.txt   one line per failed item; written only then
//   <key>_.plftp.swap   "plftp <pid> get" (or put) while the run transfers
// and the named mutex that keeps two runs of the same folder apart.

#include <windows.h>

#include <string>
#include <string_view>

#include "base/win_handles.h"
#include "tools/plftp/transfer_engine.h"

struct RunFileNames {
    std::wstring log;
    std::wstring errors;
    std::wstring swap;
    std::wstring mutex;
};

// The names for the folder key `key` (ANSI) in the data folder `dataDir`.
RunFileNames MakeRunFileNames(const std::wstring& dataDir, const std::string& key);

// The log stays open for the run (a line is written whole as it comes, so a
// crash loses nothing); the error file is opened per line, as it is rare.
class CFileJournal final : public CRunJournal {
public:
    explicit CFileJournal(const RunFileNames& names) : names(names) {}
    void Action(std::string_view action, const std::wstring& localPath,
                const std::wstring& remotePath, std::string_view result) override;
    void Failure(std::string_view item, std::string_view reason) override;

private:
    const RunFileNames& names;
    UniqueFileHandle log;
    uint64_t logSize = 0;
};

// Holds the folder's mutex for its lifetime; Held() is false when another run
// of the same folder has it.
class CFolderLock {
public:
    explicit CFolderLock(const std::wstring& name);
    ~CFolderLock();
    CFolderLock(const CFolderLock&) = delete;
    CFolderLock& operator=(const CFolderLock&) = delete;
    bool Held() const { return held; }

private:
    UniqueHandle mutex;
    bool held = false;
};

// The swap file, there from construction to destruction.
class CSwapFile {
public:
    CSwapFile(std::wstring path, bool download);
    ~CSwapFile();
    CSwapFile(const CSwapFile&) = delete;
    CSwapFile& operator=(const CSwapFile&) = delete;

private:
    std::wstring path;
};
