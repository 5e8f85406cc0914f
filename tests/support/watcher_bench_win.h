// The real PellaroCNW.exe on a bench of its own, with the transfer tool double as its plftp.exe.
#pragma once
// A private APPDATA, a PLDIR whose bin\plftp.exe is the double, a watched folder, the folder's data
// files, and the double's record of what it was asked to do.

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/bounded_text.h"
#include "app/folder_key.h"
#include "base/text_conversion.h"
#include "support/process_win.h"
#include "support/temp_dir.h"

// One run of the transfer tool double, from its log.
struct ToolRun {
    int show = -1;
    std::string commandLine;
    std::string fileList;  // empty when there was none
};

// Reads "<name> <length>\n<bytes>\n" (length -1: none); false on a record not yet whole.
inline bool ReadSizedRecord(std::istream& in, std::string& bytes) {
    std::string name;
    long length = 0;
    if (!(in >> name >> length) || in.get() != '\n') return false;
    bytes.assign(static_cast<std::size_t>(std::max(length, 0L)), '\0');
    return in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())) && in.get() == '\n';
}

inline std::vector<ToolRun> ParseToolLog(const std::string& log) {
    std::istringstream in(log);
    std::vector<ToolRun> runs;
    std::string word;
    for (ToolRun run; in >> word >> word >> word >> run.show &&
                      ReadSizedRecord(in, run.commandLine) && ReadSizedRecord(in, run.fileList);) {
        runs.push_back(run);
    }
    return runs;
}

class WatcherBench {
public:
    // `folderName` is created under the bench (it may hold several levels). APPDATA is under the
    // bench too, unless `appDataAt` names a folder (the bench then removes it at the end).
    explicit WatcherBench(const std::wstring& folderName = L"W",
                          const std::filesystem::path& appDataAt = {})
        : appData(appDataAt.empty() ? home / "AppData" : appDataAt),
          dataDir(appData / "xq" / "pellaro"),
          toolDir(home / "pl"),
          folder(home.Path() / folderName),
          folderAnsi(ToAnsiString(folder.wstring())) {
        std::filesystem::create_directories(dataDir);
        std::filesystem::create_directories(toolDir / "bin");
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(DoublePath("transfer_tool", "plftp.exe"),
                                   toolDir / "bin" / "plftp.exe");
        BoundedText<512> derived;
        DeriveFolderKey(folder.wstring().c_str(), derived);
        key = std::string(derived.Str());
    }
    ~WatcherBench() {
        std::error_code ignored;
        if (appData.parent_path() != home.Path()) std::filesystem::remove_all(appData, ignored);
    }
    WatcherBench(const WatcherBench&) = delete;
    WatcherBench& operator=(const WatcherBench&) = delete;

    // The folder's put configuration (and the same text as its get configuration).
    void Config(const std::string& text) const {
        WriteFileBytes(DataFile("_put.config"), text);
        WriteFileBytes(DataFile("_get.config"), text);
    }
    // Starts a watcher of the folder with these switches before it.
    ChildProcess Start(const std::wstring& switches = L"") const {
        return StartProcess(L"\"" + ProgramFolder() + L"\\PellaroCNW.exe\" " + switches + L" \"" +
                                folder.wstring() + L"\"",
                            {{L"APPDATA", appData.wstring()},
                             {L"PLDIR", toolDir.wstring() + L"\\"},
                             {L"gVerbose", L""}});
    }
    // The watcher's dialog once it is up ("Watching - <name>", cut to fit); null if none came.
    HWND Dialog(const ChildProcess& watcher) const {
        const std::wstring title = L"Watching - " + folder.filename().wstring();
        return WaitForWindow(watcher.id, 30000, [&](HWND window) {
            const std::wstring text = WindowText(window);
            return WindowClass(window) == L"#32770" && text.size() > 11 &&
                   title.compare(0, text.size(), text) == 0;
        });
    }
    // WM_CLOSE to the dialog; the exit code, or -1 when it did not end in time.
    long Close(const ChildProcess& watcher) const {
        HWND dialog = Dialog(watcher);
        DWORD code = 0;
        return dialog && PostMessageW(dialog, WM_CLOSE, 0, 0) && WaitForExit(watcher, 60000, &code)
                   ? static_cast<long>(code)
                   : -1;
    }

    std::vector<ToolRun> Runs() const {
        return ParseToolLog(ReadFileBytes(toolDir / "bin" / "plftp-log.txt"));
    }
    bool WaitForRuns(std::size_t count, DWORD timeoutMs) const {
        return WaitUntil([&] { return Runs().size() >= count; }, timeoutMs);
    }

    // A data file of the folder: "<key><suffix>" in the data folder (".txt" the event list).
    std::filesystem::path DataFile(const std::string& suffix) const {
        return dataDir / (key + suffix);
    }
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
