#pragma once
// The event list and send list files: one transfer command per line, in slot
// order. Writes are kill-safe: a whole rewrite goes to a temporary file beside
// the target that then replaces it, and an append adds one whole line with a
// single write. A last line without its line end (an append cut short) is
// never read back as a command.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What text mode writes for "\n": the line end of every line on disk.
#if defined(_WIN32)
inline constexpr std::string_view kEventLineEnd = "\r\n";
#else
inline constexpr std::string_view kEventLineEnd = "\n";
#endif

// Replaces the whole file with `bytes` through "<path>.tmp". When the replace
// itself is refused (a reader holding the file without delete sharing), the
// file is rewritten in place instead. False when nothing could be written.
bool ReplaceFileContent(const std::string& path, std::string_view bytes);

enum class AppendResult { kAppended, kUnexpectedSize, kFailed };

// The event list file held open for appending between additions, so that a
// burst of additions costs one write each instead of an open, a seek, a write
// and a close. The firing renames the file while it may be open here: the file
// is opened with delete sharing, and before each append the file found under
// the path must still be as long as the open one, which is what the last
// write left; otherwise it is reopened (and an empty file always is). Platform
// glue; guarded by bufferMutex like the buffer that owns it.
class EventListAppender {
public:
    EventListAppender() noexcept = default;
    ~EventListAppender() { Close(); }
    EventListAppender(const EventListAppender&) = delete;
    EventListAppender& operator=(const EventListAppender&) = delete;

    // Appends `bytes` with one write when the file at `path` (created if
    // missing) is exactly `expectedSize` bytes long.
    AppendResult Append(const std::string& path, int64_t expectedSize, std::string_view bytes);
    void Close() noexcept;

private:
    intptr_t file = -1;  // a HANDLE on Windows, a descriptor elsewhere; -1 when closed
    std::string openPath;
    std::wstring widePath;  // openPath as the platform's calls take it
};

// Moves `source` over `target`, replacing it in one step. Platform glue.
bool ReplaceExistingFile(const std::string& source, const std::string& target);

// The commands of an event list file: every complete line less its line end.
// A last line without line end, empty lines and lines over 511 bytes are left
// out; `tornTail` tells whether such a last line was there.
std::vector<std::string> ReadCommandLines(const std::string& path, bool* tornTail = nullptr);

// Start-up: returns a send list left by an earlier process to the end of the
// event list file (State()'s paths) and deletes it. A send list that cannot be
// read, or an event list that cannot be written, keeps the send list and shows
// -2004 (unless `reportFailure` is false); returns false then.
bool MergeSendList(bool reportFailure = true);
