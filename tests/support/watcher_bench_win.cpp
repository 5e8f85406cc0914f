#include "support/watcher_bench_win.h"

#include "app/bounded_text.h"
#include "app/folder_key.h"
#include "app/text_conversion.h"

namespace fs = std::filesystem;

namespace {
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kEndTimeoutMs = 60000;
}  // namespace

std::vector<ToolRun> ParseToolLog(const std::string& log) {
    std::vector<ToolRun> runs;
    std::size_t pos = 0;
    const auto line = [&] {
        const std::size_t end = log.find('\n', pos);
        std::string text = end == std::string::npos ? "" : log.substr(pos, end - pos);
        pos = end == std::string::npos ? log.size() : end + 1;
        return text;
    };
    const auto sized = [&](bool& present) {
        const std::string header = line();
        const std::size_t blank = header.find(' ');
        const long length = blank == std::string::npos ? -1 : std::stol(header.substr(blank + 1));
        present = length >= 0;
        std::string bytes = present ? log.substr(pos, static_cast<std::size_t>(length)) : "";
        pos += bytes.size() + 1;
        return bytes;
    };
    while (pos < log.size() && line().rfind("run ", 0) == 0) {
        ToolRun run;
        run.show = std::stoi(line().substr(5));
        run.commandLine = sized(run.hasFileList);
        run.fileList = sized(run.hasFileList);
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

void WatcherBench::Control(const std::string& text) const {
    WriteFileBytes(toolDir / "bin" / "plftp-control.txt", text);
}

ChildProcess WatcherBench::Start(const std::wstring& switches,
                                 const std::wstring& folderArgument) const {
    const std::wstring exe = ProgramFolder() + L"\\PellaroCNW.exe";
    const std::wstring target = folderArgument.empty() ? folder.wstring() : folderArgument;
    return StartProcess(L"\"" + exe + L"\" " + switches + L" \"" + target + L"\"",
                        {{L"APPDATA", appData.wstring()},
                         {L"PLDIR", toolDir.wstring() + L"\\"},
                         {L"gVerbose", L""}});
}

HWND WatcherBench::Dialog(const ChildProcess& watcher) const {
    // The title is cut to fit, so a long folder name shows only in part.
    const std::wstring title = L"Watching - " + folder.filename().wstring();
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : TopLevelWindowsOf(watcher.id)) {
                const std::wstring text = WindowText(w);
                if (WindowClass(w) == kDialogClass && text.size() > 11 &&
                    title.compare(0, text.size(), text) == 0) {
                    found = w;
                }
            }
            return found != nullptr;
        },
        kStartTimeoutMs);
    return found;
}

long WatcherBench::Close(const ChildProcess& watcher) const {
    HWND dialog = Dialog(watcher);
    if (!dialog || !PostMessageW(dialog, WM_CLOSE, 0, 0)) return -1;
    DWORD code = 0;
    if (!WaitForExit(watcher, kEndTimeoutMs, &code)) return -1;
    return static_cast<long>(code);
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
