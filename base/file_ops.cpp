#include "base/file_ops.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "base/process_id.h"
#include "base/seams.h"

namespace {

std::atomic<FileFaultCheck> faultCheck{nullptr};

// Temporary files are retried at once; a move over a held file waits between
// tries, about half a second in all.
constexpr int kWriteAttempts = 3;
// A file opened for reading by another program without read sharing.
constexpr int kReadAttempts = 3;
constexpr uint32_t kMovePausesMs[] = {10, 20, 40, 80, 150, 200};

// Paths whose last replace found them held: the next replace tries once and
// goes in place at once, so a program that keeps the file open does not cost
// every write half a second. Cleared by the next replace that succeeds.
struct HeldPaths {
    std::mutex mutex;
    std::vector<std::string> paths;

    bool Contains(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::find(paths.begin(), paths.end(), path) != paths.end();
    }
    void Note(const std::string& path, bool held) {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = std::find(paths.begin(), paths.end(), path);
        if (held && found == paths.end()) paths.push_back(path);
        if (!held && found != paths.end()) paths.erase(found);
    }
};

HeldPaths& Held() {
    static HeldPaths* const held = new HeldPaths;  // never destroyed: used until exit
    return *held;
}

std::string TemporaryPath(const std::string& path) {
    return path + "." + std::to_string(CurrentProcessId()) + ".tmp";
}

bool WriteNewFile(const std::string& path, std::string_view bytes, bool durable) {
    OpenedFile file = OpenFileAt(path, FileAccess::kCreate);
    if (!file || !file.Write(bytes) || (durable && !file.Flush())) return false;
    file.Close();
    return true;
}

}  // namespace

const char* FileOpName(FileOp op) {
    switch (op) {
        case FileOp::kOpen:
            return "open";
        case FileOp::kAppend:
            return "append";
        case FileOp::kWrite:
            return "write";
        case FileOp::kFlush:
            return "flush";
        case FileOp::kRename:
            return "rename";
        case FileOp::kReplace:
            return "replace";
        case FileOp::kDelete:
            return "delete";
    }
    return "?";
}

FileFaultCheck ReplaceFileFaultCheck(FileFaultCheck check) { return faultCheck.exchange(check); }

bool FileFaultInjected(FileOp op, std::string_view path) {
    const FileFaultCheck check = faultCheck.load();
    return check != nullptr && check(op, path);
}

OpenedFile::OpenedFile(OpenedFile&& other) noexcept
    : native(std::exchange(other.native, -1)),
      appending(other.appending),
      path(std::move(other.path)) {}

OpenedFile& OpenedFile::operator=(OpenedFile&& other) noexcept {
    if (this != &other) {
        Close();
        native = std::exchange(other.native, -1);
        appending = other.appending;
        path = std::move(other.path);
    }
    return *this;
}

bool CreateIfMissing(const std::string& path) {
    return static_cast<bool>(OpenFileAt(path, FileAccess::kAppend));
}

std::string PendingReplacementPath(const std::string& path) { return path + ".new"; }

ReplaceOutcome ReplaceFileContent(const std::string& path, std::string_view bytes, bool durable) {
    const std::string temporary = TemporaryPath(path);
    const std::string pending = PendingReplacementPath(path);
    bool written = false;
    for (int attempt = 0; attempt < kWriteAttempts && !written; ++attempt) {
        written = WriteNewFile(temporary, bytes, durable);
    }
    if (!written) {
        RemoveFile(temporary);
        return ReplaceOutcome::kFailed;
    }
    // An earlier replacement left in "<path>.new" is newer than the file: the
    // new content takes its place first, so that it never shows the older one.
    std::string source = temporary;
    if (FileSizeAt(pending) >= 0) {
        if (MoveFileTo(temporary, pending, MoveKind::kReplace) != FileResult::kOk) {
            RemoveFile(temporary);
            return ReplaceOutcome::kFailed;
        }
        source = pending;
    }
    HeldPaths& held = Held();
    const int attempts = held.Contains(path) ? 1 : 1 + static_cast<int>(std::size(kMovePausesMs));
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) CurrentSeams().sleepMs(kMovePausesMs[attempt - 1]);
        if (MoveFileTo(source, path, MoveKind::kReplace) == FileResult::kOk) {
            held.Note(path, false);
            return ReplaceOutcome::kReplaced;
        }
    }
    // Only a file that is there can be held; anything else (a folder in the
    // way, a missing folder) is a failure.
    if (FileSizeAt(path) < 0) {
        if (source == temporary) RemoveFile(temporary);
        return source == pending ? ReplaceOutcome::kPending : ReplaceOutcome::kFailed;
    }
    held.Note(path, true);
    if (source == temporary &&
        MoveFileTo(temporary, pending, MoveKind::kReplace) != FileResult::kOk) {
        RemoveFile(temporary);
        return ReplaceOutcome::kFailed;
    }
    OpenedFile file = OpenFileAt(path, FileAccess::kRewrite);
    if (!file || !file.Write(bytes) || !file.CutHere() || (durable && !file.Flush())) {
        return ReplaceOutcome::kPending;
    }
    file.Close();
    return RemoveFile(pending) == FileResult::kOk ? ReplaceOutcome::kInPlace
                                                  : ReplaceOutcome::kPending;
}

FileResult ReadWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    FileResult result = FileResult::kFailed;
    OpenedFile file;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (attempt > 0) CurrentSeams().sleepMs(kMovePausesMs[attempt - 1]);
        file = OpenFileAt(path, FileAccess::kRead, &result);
        if (file || result != FileResult::kBusy) break;
    }
    if (!file) return result;
    return file.ReadAll(bytes) ? FileResult::kOk : FileResult::kFailed;
}

FileResult ReadFileContent(const std::string& path, std::string& bytes) {
    const std::string pending = PendingReplacementPath(path);
    if (FileSizeAt(pending) >= 0 && ReadWholeFile(pending, bytes) == FileResult::kOk) {
        return FileResult::kOk;
    }
    const FileResult result = ReadWholeFile(path, bytes);
    // A replacement written in place meanwhile: its whole content is beside.
    if (result == FileResult::kOk && FileSizeAt(pending) >= 0 &&
        ReadWholeFile(pending, bytes) == FileResult::kOk) {
        return FileResult::kOk;
    }
    return result;
}

bool SettlePendingReplacement(const std::string& path) {
    const std::string pending = PendingReplacementPath(path);
    if (FileSizeAt(pending) < 0) return true;
    std::string bytes;
    if (ReadWholeFile(pending, bytes) != FileResult::kOk) return false;
    const ReplaceOutcome outcome = ReplaceFileContent(path, bytes, true);
    return outcome == ReplaceOutcome::kReplaced || outcome == ReplaceOutcome::kInPlace;
}
