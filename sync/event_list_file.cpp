#include "sync/event_list_file.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "app/watcher_state.h"
#include "notify/message_catalogue.h"

namespace {


struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

UniqueFile Open(const std::string& path, const char* mode) {
    return UniqueFile(std::fopen(path.c_str(), mode));
}

// Writes everything and closes; false when any part failed.
bool WriteAndClose(UniqueFile file, std::string_view bytes) {
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    return std::fclose(file.release()) == 0 && written;
}

bool WriteWhole(const std::string& path, std::string_view bytes) {
    UniqueFile file = Open(path, "wb");
    return file && WriteAndClose(std::move(file), bytes);
}

// The whole file, or false when it cannot be opened or read.
bool ReadWhole(const std::string& path, std::string& bytes) {
    UniqueFile file = Open(path, "rb");
    if (!file) return false;
    bytes.clear();
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
    return std::ferror(file.get()) == 0;
}

}  // namespace

bool ReplaceFileContent(const std::string& path, std::string_view bytes) {
    const std::string temp = path + ".tmp";
    if (WriteWhole(temp, bytes)) {
        if (ReplaceExistingFile(temp, path)) return true;
        std::remove(temp.c_str());
    }
    return WriteWhole(path, bytes);
}

std::vector<std::string> ReadCommandLines(const std::string& path, bool* tornTail) {
    std::vector<std::string> lines;
    std::string bytes;
    if (tornTail) *tornTail = false;
    if (!ReadWhole(path, bytes)) return lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) break;
        std::size_t stop = end;
        if (stop > start && bytes[stop - 1] == '\r') --stop;
        const std::size_t length = stop - start;
        if (length > 0 && length <= 511) lines.emplace_back(bytes, start, length);
        start = end + 1;
    }
    if (tornTail) *tornTail = start < bytes.size();
    return lines;
}

bool MergeSendList(bool reportFailure) {
    WatcherState& state = State();
    const std::string sendPath(state.sendListPath.Str());
    const std::string eventPath(state.eventListPath.Str());
    std::string sendBytes;
    errno = 0;
    if (!ReadWhole(sendPath, sendBytes)) {
        // Missing: nothing to merge. Present but unreadable: keep it.
        if (errno == ENOENT) return true;
        if (reportFailure) ShowMessage(kMsgFileOpenFailed, state.watchedPath.CStr());
        return false;
    }
    if (!sendBytes.empty()) {
        // The event list's complete lines, then the send list as it stands,
        // written as one replacement: a kill leaves either file intact.
        std::string merged;
        errno = 0;
        const bool eventRead = ReadWhole(eventPath, merged);
        const bool eventMissing = !eventRead && errno == ENOENT;
        const std::size_t lastEnd = merged.rfind('\n');
        merged.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
        merged += sendBytes;
        if ((!eventRead && !eventMissing) || !ReplaceFileContent(eventPath, merged)) {
            if (reportFailure) ShowMessage(kMsgFileOpenFailed, state.watchedPath.CStr());
            return false;
        }
    }
    std::remove(sendPath.c_str());
    return true;
}
