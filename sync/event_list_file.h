#pragma once
// The event list and send list files: one transfer command per line, in slot
// order. Writes are kill-safe: a whole rewrite goes through ReplaceFileContent
// (base/file_ops.h), and an append adds whole lines with a single write, which
// only ever follow complete earlier steps. A last line without its line end
// (an append cut short) is never read back as a command.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_ops.h"

// What text mode writes for "\n": the line end of every line on disk.
#if defined(_WIN32)
inline constexpr std::string_view kEventLineEnd = "\r\n";
#else
inline constexpr std::string_view kEventLineEnd = "\n";
#endif

enum class AppendResult { kAppended, kUnexpectedSize, kFailed };

// The event list file held open for appending between writes, so that a burst
// costs one write instead of an open, a seek, a write and a close. The firing
// renames the file while it may be open here (it is open with delete sharing),
// so before each append the file found under the path must still be as long
// as the open one, which is what the last write left; otherwise it is reopened
// (and an empty file always is). Guarded by bufferMutex like the buffer that
// owns it.
class EventListAppender {
public:
    // Appends `bytes` with one write when the file at `path` (created if
    // missing) is exactly `expectedSize` bytes long.
    AppendResult Append(const std::string& path, int64_t expectedSize, std::string_view bytes);
    void Close() noexcept { file.Close(); }

private:
    OpenedFile file;
    std::string openPath;
};

// The commands of an event list file (its pending replacement first, see
// ReadFileContent): every complete line less its line end. A last line without
// line end, empty lines and lines over 511 bytes are left out; `tornTail`
// tells whether such a last line was there.
std::vector<std::string> ReadCommandLines(const std::string& path, bool* tornTail = nullptr);
// The same, telling a missing file (kMissing, no lines) from one that could
// not be read (kFailed or kBusy).
FileResult ReadCommandLines(const std::string& path, std::vector<std::string>& lines);

// The file half of MergeSendList (sync/command_buffer.h): puts a send list
// left behind back in front of the event list file's lines and deletes it.
// `wrote` tells whether the event list file now holds `merged`, which the
// buffer must then become (even when the call fails afterwards).
bool MergeSendListFile(bool reportFailure, std::vector<std::string>& merged, bool& wrote);
