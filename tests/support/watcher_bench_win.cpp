// The real PellaroCNW.exe on a bench of its own, with the transfer tool double as its plftp.exe.
#include "support/watcher_bench_win.h"

#include <algorithm>
#include <sstream>

#include "app/bounded_text.h"
#include "app/folder_key.h"
#include "app/text_conversion.h"

namespace fs = std::filesystem;

namespace {

// Reads "<name> <length>\n<bytes>\n" (length -1: none); false on a record not yet whole.
bool ReadSized(std::istream& in, std::string& bytes, bool& present) {
    std::string name;
    long length = 0;
    if (!(in >> name >> length) || in.get() != '\n') return false;
    present = length >= 0;
    bytes.assign(static_cast<std::size_t>(std::max(length, 0L)), '\0');
    return in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())) && in.get() == '\n';
}

}  // namespace

std::vector<ToolRun> ParseToolLog(const std::string& log) {
    std::istringstream in(log);
    std::vector<ToolRun> runs;
    std::string word;
    for (ToolRun run; in >> word >> word >> word >> run.show &&
                      ReadSized(in, run.commandLine, run.hasFileList) &&
                      ReadSized(in, run.fileList, run.hasFileList);) {
        runs.push_back(run);
    }
    return runs;
}

WatcherBench::WatcherBench(const std::wstring& folderName, const fs::path& appDataAt)
    : appData(appDataAt.empty() ? home / "AppData" : appDataAt),
      dataDir(appData / "xq" / "pellaro"),
      toolDir(home / "pl"),
      folder(home.Path() / folderName) {
    fs::create_directories(dataDir);
    fs::create_directories(toolDir / "bin");
    fs::create_directories(folder);
    fs::copy_file(fs::path(ProgramFolder()) / "doubles" / "transfer_tool" / "plftp.exe",
                  toolDir / "bin" / "plftp.exe");
    folderAnsi = ToAnsiString(folder.wstring());
    BoundedText<512> derived;
    DeriveFolderKey(folder.wstring().c_str(), derived);
    key = std::string(derived.Str());
}

WatcherBench::~WatcherBench() {
    std::error_code ignored;
    if (appData.parent_path() != home.Path()) fs::remove_all(appData, ignored);
}

void WatcherBench::Config(const std::string& text) const {
    WriteFileBytes(DataFile("_put.config"), text);
    WriteFileBytes(DataFile("_get.config"), text);
}

ChildProcess WatcherBench::Start(const std::wstring& switches,
                                 const std::wstring& folderArgument) const {
    const std::wstring target = folderArgument.empty() ? folder.wstring() : folderArgument;
    return StartProcess(
        L"\"" + ProgramFolder() + L"\\PellaroCNW.exe\" " + switches + L" \"" + target + L"\"",
        {{L"APPDATA", appData.wstring()},
         {L"PLDIR", toolDir.wstring() + L"\\"},
         {L"gVerbose", L""}});
}

HWND WatcherBench::Dialog(const ChildProcess& watcher) const {
    // The title is cut to fit, so a long folder name shows only in part.
    const std::wstring title = L"Watching - " + folder.filename().wstring();
    return WaitForWindow(watcher.id, 30000, [&](HWND window) {
        const std::wstring text = WindowText(window);
        return WindowClass(window) == L"#32770" && text.size() > 11 &&
               title.compare(0, text.size(), text) == 0;
    });
}

long WatcherBench::Close(const ChildProcess& watcher) const {
    HWND dialog = Dialog(watcher);
    DWORD code = 0;
    return dialog && PostMessageW(dialog, WM_CLOSE, 0, 0) && WaitForExit(watcher, 60000, &code)
               ? static_cast<long>(code)
               : -1;
}

std::vector<ToolRun> WatcherBench::Runs() const {
    return ParseToolLog(ReadFileBytes(toolDir / "bin" / "plftp-log.txt"));
}

bool WatcherBench::WaitForRuns(std::size_t count, DWORD timeoutMs) const {
    return WaitUntil([&] { return Runs().size() >= count; }, timeoutMs);
}

fs::path WatcherBench::DataFile(const std::string& suffix) const {
    return dataDir / (key + suffix);
}
