// The real PellaroCNW.exe on a bench of its own, with the transfer tool double as its plftp.exe.
#pragma once
// A private APPDATA, a PLDIR whose bin\plftp.exe is the double, a watched folder, the folder's data
// files, and the double's record of what it was asked to do.

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/process_win.h"
#include "support/temp_dir.h"

// One run of the transfer tool double, from its log.
struct ToolRun {
    int show = -1;
    std::string commandLine;
    bool hasFileList = false;
    std::string fileList;
};
std::vector<ToolRun> ParseToolLog(const std::string& log);

class WatcherBench {
public:
    // `folderName` is created under the bench (it may hold several levels). APPDATA is under the
    // bench too, unless `appDataAt` names a folder (the bench then removes it at the end).
    explicit WatcherBench(const std::wstring& folderName = L"W",
                          const std::filesystem::path& appDataAt = {});
    ~WatcherBench();
    WatcherBench(const WatcherBench&) = delete;
    WatcherBench& operator=(const WatcherBench&) = delete;

    // The folder's put configuration (and the same text as its get configuration).
    void Config(const std::string& text) const;
    // Starts a watcher of the folder (or of `folderArgument`) with these switches before it.
    ChildProcess Start(const std::wstring& switches = L"",
                       const std::wstring& folderArgument = L"") const;
    // The watcher's dialog once it is up ("Watching - <name>"); null if none came.
    HWND Dialog(const ChildProcess& watcher) const;
    // WM_CLOSE to the dialog; the exit code, or -1 when it did not end in time.
    long Close(const ChildProcess& watcher) const;

    std::vector<ToolRun> Runs() const;
    // Waits until the double has been run at least `count` times.
    bool WaitForRuns(std::size_t count, DWORD timeoutMs) const;

    // A data file of the folder: "<key><suffix>" in the data folder (".txt" the event list).
    std::filesystem::path DataFile(const std::string& suffix) const;
    std::string Key() const { return key; }

    TempDir home;
    std::filesystem::path appData;
    std::filesystem::path dataDir;
    std::filesystem::path toolDir;  // PLDIR, with bin\plftp.exe
    std::filesystem::path folder;
    std::string folderAnsi;

private:
    std::string key;
};
