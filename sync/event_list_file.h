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

// Appends `bytes` with one write, but only when the file (created if missing)
// is exactly `expectedSize` bytes long; otherwise it is left as it is.
AppendResult AppendWhenSize(const std::string& path, int64_t expectedSize, std::string_view bytes);

// Moves `source` over `target`, replacing it in one step. Platform glue.
bool ReplaceExistingFile(const std::string& source, const std::string& target);

// The commands of an event list file: every complete line less its line end.
// A last line without line end, empty lines and lines over 511 bytes are left
// out; `tornTail` tells whether such a last line was there.
std::vector<std::string> ReadCommandLines(const std::string& path, bool* tornTail = nullptr);

// Start-up: returns a send list left by an earlier process to the end of the
// event list file (State()'s paths) and deletes it. A send list that cannot be
// read, or an event list that cannot be written, keeps the send list and shows
// -2004; returns false then.
bool MergeSendList();
