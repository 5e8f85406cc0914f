#include "config/folder_registry.h"

#include <algorithm>

#include "base/bounded_text.h"
#include "base/file_ops.h"
#include "base/seams.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "notify/message_catalogue.h"
#include "notify/process_coordination.h"

namespace {

RunningWatcherCheck runningWatcherCheck = IsWatcherProcess;

// The file is a text file of the C runtime's text mode: "\r\n" on disk on
// Windows, "\n" in memory.
#if defined(_WIN32)
constexpr bool kCrLfOnDisk = true;
#else
constexpr bool kCrLfOnDisk = false;
#endif

std::string FromTextMode(const std::string& bytes) {
    if (!kCrLfOnDisk) return bytes;
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += bytes[i];
    }
    return text;
}

std::string ToTextMode(std::string_view text) {
    if (!kCrLfOnDisk) return std::string(text);
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char ch : text) {
        if (ch == '\n') bytes += '\r';
        bytes += ch;
    }
    return bytes;
}

wchar_t FoldAscii(wchar_t ch) {
    return (ch >= L'A' && ch <= L'Z') ? static_cast<wchar_t>(ch - L'A' + L'a') : ch;
}

bool SameText(std::wstring_view a, std::wstring_view b, RegistryMatch match) {
    if (match == RegistryMatch::CaseSensitive) return a == b;
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](wchar_t x, wchar_t y) { return FoldAscii(x) == FoldAscii(y); });
}

bool IsAncestor(std::wstring_view key, std::wstring_view folder, RegistryMatch match) {
    // An empty key (a line "=<owner>") names no folder.
    return !key.empty() && folder.size() > key.size() && folder[key.size()] == L'\\' &&
           SameText(key, folder.substr(0, key.size()), match);
}

BoundedText<512> RegistryPath() {
    BoundedText<512> path(State().dataDir.Str());
    path.Append(kRegistryPathSuffix);
    return path;
}

std::string OwnProcessIdText() { return std::to_string(State().processId); }

void ShowAll(const std::vector<RegistryMessage>& messages) {
    for (const RegistryMessage& message : messages)
        ShowMessage(message.code, message.caption.c_str());
}

// Writes the owner of the first entry covering `folder` under the lock; the
// failure to show once the lock is given back (code 0: none).
RegistryMessage UpdateOwner(const char* path, std::string_view folder, bool claim) {
    const RegistryLock lock(path);
    std::string content;
    int32_t code = 0;
    if (ReadRegistryFile(path, content) != RegistryRead::Ok) {
        code = kMsgRegistryMissing;
    } else if (!ReplaceRegistryFile(
                   path, RewriteRegistryOwner(content, folder, claim ? OwnProcessIdText() : "0"))) {
        code = kMsgFileOpenFailed;
    }
    return {code, std::string(folder)};
}

// A folder given in quotes (as a command line may hold it) is matched without
// them.
std::string_view Unquoted(std::string_view folder) {
    if (folder.find(' ') == folder.npos && (folder.empty() || folder.front() != '"')) return folder;
    if (!folder.empty() && folder.front() == '"') folder.remove_prefix(1);
    if (!folder.empty() && folder.back() == '"') folder.remove_suffix(1);
    return folder;
}

}  // namespace

std::vector<std::string_view> SplitRegistryLines(std::string_view content) {
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at < content.size()) {
        const std::size_t feed = content.find('\n', at);
        const std::size_t end = feed == content.npos ? content.size() : feed + 1;
        lines.push_back(content.substr(at, end - at));
        at = end;
    }
    return lines;
}

bool IsRegistryEntry(std::string_view line) {
    return !line.empty() && line != "\n" && line.find('=') != line.npos;
}

std::string_view RegistryKey(std::string_view entry) {
    const std::size_t at = entry.rfind('=');
    return at == entry.npos ? entry : entry.substr(0, at);
}

std::string_view RegistryValue(std::string_view entry) {
    const std::size_t at = entry.rfind('=');
    return at == entry.npos ? std::string_view() : entry.substr(at + 1);
}

bool KeyCoversFolder(std::string_view key, std::string_view folder, RegistryMatch match) {
    const std::wstring wideKey = ToWideString(key);
    const std::wstring wideFolder = ToWideString(folder);
    if (!wideKey.empty() && SameText(wideKey, wideFolder, match)) return true;
    return IsAncestor(wideKey, wideFolder, match);
}

std::string RewriteRegistryOwner(std::string_view content, std::string_view folder,
                                 std::string_view owner) {
    folder = Unquoted(folder);
    std::string rewritten;
    rewritten.reserve(content.size() + owner.size() + 1);
    bool done = false;
    for (std::string_view line : SplitRegistryLines(content)) {
        if (!IsRegistryEntry(line)) continue;
        const std::string_view key = RegistryKey(line);
        if (!done && KeyCoversFolder(key, folder, RegistryMatch::CaseSensitive)) {
            rewritten.append(key).append("=").append(owner).append("\n");
            done = true;
        } else {
            rewritten.append(line);
        }
    }
    return rewritten;
}

std::string AppendRegistryLine(std::string_view content, std::string_view line) {
    std::string result(content);
    if (!result.empty() && result.back() != '\n') result += '\n';
    result.append(line);
    return result;
}

std::string RelativeDirectoryIn(std::string_view content, std::string_view itemDir, bool smbMode,
                                bool networkFolder) {
    const std::wstring item = ToWideString(itemDir);
    std::size_t rootLength = 0;
    for (std::string_view line : SplitRegistryLines(content)) {
        if (!IsRegistryEntry(line)) continue;
        const std::wstring key = ToWideString(RegistryKey(line));
        if (IsAncestor(key, item, RegistryMatch::IgnoreCase)) {
            rootLength = key.size();
            break;
        }
    }
    std::wstring rest = item.substr(rootLength);
    if (rest.empty()) return "/";
    if (smbMode) return ToAnsiString(rest);
    // On the UTF-16 characters: a trail byte 5C in the ANSI form stays put.
    std::replace(rest.begin(), rest.end(), L'\\', L'/');
    if (networkFolder && rest.front() != L'/') rest.insert(rest.begin(), L'/');
    return ToAnsiString(rest);
}

RunningWatcherCheck ReplaceRunningWatcherCheck(RunningWatcherCheck check) {
    const RunningWatcherCheck previous = runningWatcherCheck;
    runningWatcherCheck = check ? check : IsWatcherProcess;
    return previous;
}

RegistryRead ReadRegistryFile(const char* path, std::string& content) {
    std::string bytes;
    switch (ReadFileContent(path ? path : "", bytes)) {
        case FileResult::kOk:
            content = FromTextMode(bytes);
            return RegistryRead::Ok;
        case FileResult::kMissing:
            content.clear();
            return RegistryRead::Missing;
        default:
            content.clear();
            return RegistryRead::Failed;
    }
}

bool ReplaceRegistryFile(const char* path, std::string_view content) {
    return ReplaceFileContent(path ? path : "", ToTextMode(content), true) !=
           ReplaceOutcome::kFailed;
}

void RegisterWatcher() {
    WatcherState& state = State();
    const BoundedText<512> path = RegistryPath();
    std::string line(state.watchedPath.Str());
    line.append("=").append(OwnProcessIdText()).append("\n");

    std::vector<RegistryMessage> messages;
    bool found = false;
    bool appended = true;
    {
        // Held from the scan to the append: a watcher starting at the same
        // moment sees this watcher's entry or none of its changes.
        const RegistryLock lock(path.CStr());
        found = ClaimRegistryEntries(path.CStr(), &messages);
        if (!found) {
            std::string content;
            const RegistryRead read = ReadRegistryFile(path.CStr(), content);
            appended = read != RegistryRead::Failed &&
                       ReplaceRegistryFile(path.CStr(), AppendRegistryLine(content, line));
        }
    }
    ShowAll(messages);
    if (!appended) {
        ShowMessage(kMsgFileOpenFailed, state.watchedPath.CStr());
        CurrentSeams().endProcess(1);
        return;
    }
    // A running watcher holds the entry and none was claimed in this scan.
    if (found && state.registryEntryTaken == 0) CloseAndTerminate(state.processId);
}

bool ClaimRegistryEntries(const char* registryPath, std::vector<RegistryMessage>* messages) {
    WatcherState& state = State();
    std::vector<RegistryMessage> own;
    std::vector<RegistryMessage>& shown = messages ? *messages : own;
    bool found = false;
    {
        const RegistryLock lock(registryPath);
        // The lines as they stand now; the claims below rewrite the file but
        // not this copy.
        std::string content;
        if (ReadRegistryFile(registryPath, content) != RegistryRead::Ok) return false;
        const std::string watched(state.watchedPath.Str());
        for (std::string_view line : SplitRegistryLines(content)) {
            if (!IsRegistryEntry(line)) continue;
            const std::string_view key = RegistryKey(line);
            if (!KeyCoversFolder(key, watched, RegistryMatch::CaseSensitive)) continue;
            found = true;
            const std::string value(RegistryValue(line));
            // This process's own id can only be left over from an ended process
            // whose id was reused for this one: that entry is stale too.
            const uint32_t owner = ParseProcessId(value);
            if (owner != 0 && owner != state.processId && runningWatcherCheck(value.c_str())) {
                shown.push_back({kMsgAlreadyWatched, watched});
                break;
            }
            // Stale: no watcher serves it any more.
            state.registryEntryTaken = 1;
            const bool exact = key.size() == watched.size();
            const RegistryMessage failure =
                UpdateOwner(registryPath, exact ? std::string_view(watched) : key, true);
            if (failure.code != 0) shown.push_back(failure);
        }
    }
    if (!messages) ShowAll(own);
    return found;
}

void SetRegistryOwner(const char* folder, bool claim) {
    const BoundedText<512> path = RegistryPath();
    const RegistryMessage failure =
        UpdateOwner(path.CStr(), folder ? std::string_view(folder) : std::string_view(), claim);
    if (failure.code != 0) ShowMessage(failure.code, failure.caption.c_str());
}

void RelativeDirectory() {
    WatcherState& state = State();
    state.relativeDir.Clear();
    // Read without the lock: a rewrite replaces the file whole, so this sees
    // the old or the new content, never a mix.
    std::string content;
    if (ReadRegistryFile(RegistryPath().CStr(), content) != RegistryRead::Ok) content.clear();
    const std::string relative = RelativeDirectoryIn(content, state.itemDir.Str(),
                                                     state.smbMode != 0, state.networkFolder != 0);
    state.relativeDir.Assign(std::string_view(relative).substr(
        0, AnsiPrefixLength(relative, state.relativeDir.MaxLength())));
}
