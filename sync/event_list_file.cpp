#include "sync/event_list_file.h"

#include "base/watcher_state.h"
#include "notify/message_catalogue.h"

AppendResult EventListAppender::Append(const std::string& path, int64_t expectedSize,
                                       std::string_view bytes) {
    if (file && expectedSize > 0 && openPath == path) {
        if (FileSizeAt(path) != expectedSize) {
            Close();
            return AppendResult::kUnexpectedSize;
        }
    } else {
        Close();
        file = OpenFileAt(path, FileAccess::kAppend);
        if (!file) return AppendResult::kFailed;
        openPath = path;
        if (file.Size() != expectedSize) {
            Close();
            return AppendResult::kUnexpectedSize;
        }
    }
    if (!bytes.empty() && !file.Write(bytes)) {
        Close();
        return AppendResult::kFailed;
    }
    return AppendResult::kAppended;
}

namespace {

std::vector<std::string> CommandLinesOf(std::string_view bytes, bool* tornTail) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) break;
        std::size_t stop = end;
        if (stop > start && bytes[stop - 1] == '\r') --stop;
        const std::size_t length = stop - start;
        if (length > 0 && length <= 511) lines.emplace_back(bytes.substr(start, length));
        start = end + 1;
    }
    if (tornTail) *tornTail = start < bytes.size();
    return lines;
}

// Up to the last line end: a line cut short is no command.
std::string CompleteLines(std::string_view bytes) {
    const std::size_t lastEnd = bytes.rfind('\n');
    return std::string(bytes.substr(0, lastEnd == std::string_view::npos ? 0 : lastEnd + 1));
}

}  // namespace

std::vector<std::string> ReadCommandLines(const std::string& path, bool* tornTail) {
    std::string bytes;
    if (tornTail) *tornTail = false;
    if (ReadFileContent(path, bytes) != FileResult::kOk) return {};
    return CommandLinesOf(bytes, tornTail);
}

FileResult ReadCommandLines(const std::string& path, std::vector<std::string>& lines) {
    std::string bytes;
    const FileResult result = ReadFileContent(path, bytes);
    lines = result == FileResult::kOk ? CommandLinesOf(bytes, nullptr) : std::vector<std::string>();
    return result;
}

bool MergeSendListFile(bool reportFailure, std::vector<std::string>& merged, bool& wrote) {
    wrote = false;
    WatcherState& state = State();
    const std::string sendPath(state.sendListPath.Str());
    const std::string eventPath(state.eventListPath.Str());
    const auto fail = [&] {
        if (reportFailure) ShowMessage(kMsgFileOpenFailed, state.watchedPath.CStr());
        return false;
    };
    if (!SettlePendingReplacement(eventPath)) return fail();
    std::string sendBytes;
    const FileResult sendRead = ReadWholeFile(sendPath, sendBytes);
    if (sendRead == FileResult::kMissing) return true;
    if (sendRead != FileResult::kOk) return fail();
    // Written, but whole only in the pending replacement: the firing must not
    // take the file over until that is settled.
    bool pendingLeft = false;
    if (!sendBytes.empty()) {
        // The send list's commands were taken before any change the event
        // list holds was made, and the tool carries lines out in order: they
        // go first (a delete kept there must not follow the put of the file
        // made again since). Complete lines of both, written as one
        // replacement: a kill leaves either file intact.
        std::string eventBytes;
        const FileResult eventRead = ReadWholeFile(eventPath, eventBytes);
        if (eventRead != FileResult::kOk && eventRead != FileResult::kMissing) return fail();
        std::string bytes = CompleteLines(sendBytes);
        bytes += CompleteLines(eventBytes);
        const ReplaceOutcome outcome = ReplaceFileContent(eventPath, bytes, false);
        if (outcome == ReplaceOutcome::kFailed) return fail();
        pendingLeft = outcome == ReplaceOutcome::kPending;
        merged = CommandLinesOf(bytes, nullptr);
        wrote = true;
    }
    // Merged: a send list left behind would come back with the next merge.
    // One that cannot be deleted is emptied, which the next merge only deletes.
    if (RemoveFile(sendPath) != FileResult::kOk) {
        OpenedFile emptied = OpenFileAt(sendPath, FileAccess::kRewrite);
        if (!emptied || !emptied.CutHere()) return fail();
    }
    return pendingLeft ? fail() : true;
}
