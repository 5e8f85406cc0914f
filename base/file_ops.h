#pragma once
// The watcher's own files (the event list, the send list, the registry, the
// created-file list) are opened, written, flushed, renamed, replaced and
// deleted only through these calls. They keep in one place the sharing rules of
// the platform, the wait for a file that another program holds for a moment,
// the one routine that replaces a file's content without ever leaving it cut,
// and the check that lets tests make any of these operations fail.
//
// Paths are ANSI texts as the watcher forms them (backslashes; the native
// build takes them as "/"). Any thread; the only shared data are the fault
// check (set by tests while no other thread runs) and the note of held files
// (under a mutex of its own).

#include <cstdint>
#include <string>
#include <string_view>

enum class FileOp : uint8_t { kOpen, kAppend, kWrite, kFlush, kRename, kReplace, kDelete };
constexpr int kFileOpCount = 7;
const char* FileOpName(FileOp op);

// Tests: asked before every operation; true makes it fail as it fails on a
// file another program holds (a sharing violation). Returns the previous one.
// Part of the seam table (app/seam_table.h).
using FileFaultCheck = bool (*)(FileOp op, std::string_view path);
FileFaultCheck ReplaceFileFaultCheck(FileFaultCheck check);
// For the platform files: whether the operation is to fail now.
bool FileFaultInjected(FileOp op, std::string_view path);

enum class FileResult {
    kOk,
    kMissing,  // no such file (or folder on the way)
    kBusy,     // held by another program, or refused for a moment
    kFailed,   // anything else
};

enum class FileAccess {
    kRead,     // an existing file; shared for all, so a writer may rename over it meanwhile
    kAppend,   // created when missing, every write at its end; shared for all, so a
               // firing can rename it while it is open here
    kCreate,   // a file of this process only (a temporary file): created or emptied
    kRewrite,  // an existing file written over from its start, in place (shared for all)
};

// An open file; closed when the owner goes. Writes of a kAppend file count as
// the append operation, all others as the write operation.
class OpenedFile {
public:
    OpenedFile() noexcept = default;
    OpenedFile(OpenedFile&& other) noexcept;
    OpenedFile& operator=(OpenedFile&& other) noexcept;
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    ~OpenedFile() { Close(); }

    explicit operator bool() const noexcept { return native != -1; }
    // Writes all of `bytes` at the file's position (its end for kAppend).
    bool Write(std::string_view bytes);
    // Makes the current position the end of the file (part of a write).
    bool CutHere();
    // To the disk.
    bool Flush();
    // The rest of the file from its position.
    bool ReadAll(std::string& bytes);
    // Its size now; -1 when it cannot be told.
    int64_t Size() const;
    void Close() noexcept;

private:
    friend OpenedFile OpenFileAt(const std::string& path, FileAccess access, FileResult* result);
    intptr_t native = -1;  // a HANDLE on Windows, a descriptor elsewhere
    bool appending = false;
    std::string path;
};

OpenedFile OpenFileAt(const std::string& path, FileAccess access, FileResult* result = nullptr);

// The whole file. A file held without read sharing is tried a few times.
FileResult ReadWholeFile(const std::string& path, std::string& bytes);

// Moves `from` to `to`: kRename refuses an existing `to`; kReplace replaces it
// in one step (a reader sees the old file or the new one).
enum class MoveKind { kRename, kReplace };
FileResult MoveFileTo(const std::string& from, const std::string& to, MoveKind kind);

FileResult RemoveFile(const std::string& path);

// The size of the file at `path`; -1 when there is none or it cannot be told.
// Asks the file system only: no fault is injected here.
int64_t FileSizeAt(const std::string& path);

// Creates an empty file when there is none, as opening for appending and
// closing does; an existing file is left as it is. False when it cannot be
// made.
bool CreateIfMissing(const std::string& path);

// Creates the folder `path` and every missing parent (levels that exist, such
// as the drive or a share, are passed over); true when it exists afterwards.
[[nodiscard]] bool CreateFolderWithParents(const std::string& path);

// ---- Replacing a file's content whole ----

// The name that holds a replacement still being written in place:
// "<path>.new". Readers (ReadFileContent) take it first.
std::string PendingReplacementPath(const std::string& path);

enum class ReplaceOutcome {
    kReplaced,  // the file was replaced in one step
    kInPlace,   // another program held it: written over in place
    kPending,   // the new content is whole only in "<path>.new" (held and not writable,
                // or that name could not be removed): readers see it, appends must wait
    kFailed,    // nothing changed
};

// Replaces the content of `path` with `bytes` so that no reader and no kill at
// any moment ever finds it cut: the bytes go to a temporary file of this
// process beside it ("<path>.<pid>.tmp"; flushed to disk first when
// `durable`), which then replaces it. A file another program holds open
// without delete sharing (as the C runtime's fopen does) refuses the replace:
// that is retried for about half a second (once per held spell: a path found
// held is tried once until a replace succeeds again), then the temporary file
// becomes "<path>.new" and the file is written over in place; "<path>.new" is
// removed once that is done, so a kill in between leaves the new content
// whole there.
ReplaceOutcome ReplaceFileContent(const std::string& path, std::string_view bytes, bool durable);

// The content as the last ReplaceFileContent left it: "<path>.new" when it is
// there, else the file itself. kMissing when neither exists.
FileResult ReadFileContent(const std::string& path, std::string& bytes);

// Finishes a replacement a kill or a held file left in "<path>.new" (when
// there is one). True when none is left.
bool SettlePendingReplacement(const std::string& path);
