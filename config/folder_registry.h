#pragma once
// The registry of watched folders: the text file cnwfolder.txt in the data
// directory, shared by every watcher of the user. Each entry is a line
// "<folder>=<owner>\n": a registered folder (a root) and the id of the watcher
// process serving it, or 0. A watcher claims the entry of its folder (or of a
// registered ancestor) at start-up, gives it back at close, and looks up the
// root of every changed item to find the item's remote directory.
//
// Every change to the file is made under one lock shared by all watchers of
// the user, held from the read to the rewrite, and a rewrite replaces the file
// as a whole (ReplaceFileContent: readers see the old or the new content, a
// file another program holds is written in place), so two watchers never undo
// each other's change. A rewrite keeps every entry, however many there are.
// No message is shown while the lock is held: a box stays up for seconds, and
// every other watcher starting or stopping would wait for it.
//
// All of it runs on the dialog thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr char kRegistryPathSuffix[] = "\\cnwfolder.txt";

// ---- The file format (pure text rules) ----

// The lines of the file, each with its line feed (the last one may lack it).
// A line is taken whole however long it is: cut into pieces, a long entry of
// another watcher would become fragments that the next rewrite drops.
std::vector<std::string_view> SplitRegistryLines(std::string_view content);

// A line is an entry when it is not empty, not a bare "\n" and contains "=".
bool IsRegistryEntry(std::string_view line);

// Key and value of an entry split at its last "="; the value keeps its line
// feed.
std::string_view RegistryKey(std::string_view entry);
std::string_view RegistryValue(std::string_view entry);

// Whether key K covers folder P: K equals P, or P begins with K and continues
// with a backslash. Both are ANSI texts; they are compared as UTF-16, so a
// double-byte character whose trail byte is 5C never passes for a backslash.
// Without caseSensitive, letters A to Z match their lower-case forms.
enum class RegistryMatch { CaseSensitive, IgnoreCase };
bool KeyCoversFolder(std::string_view key, std::string_view folder, RegistryMatch match);

// The new content of the file when the owner of the first entry covering
// `folder` (case-sensitive) becomes `owner` ("0" to release): the entries in
// their order, that one replaced by "<key>=<owner>\n", every line that is not
// an entry dropped. A folder in double quotes (with a space, say) is matched
// without them.
std::string RewriteRegistryOwner(std::string_view content, std::string_view folder,
                                 std::string_view owner);

// The content with `line` appended as a line of its own (a last line without
// its line feed gets one first, so the two never run together).
std::string AppendRegistryLine(std::string_view content, std::string_view line);

// The directory of `itemDir` relative to the first root that contains it
// (ignoring case), with "/" separators unless smbMode, and a leading "/" added
// for a network folder whose directory has no root. "/" for an empty rest.
std::string RelativeDirectoryIn(std::string_view content, std::string_view itemDir, bool smbMode,
                                bool networkFolder);

// ---- Operations on the watcher's registry (dataDir + "\\cnwfolder.txt") ----

// Claims the entry of watchedPath or of a registered ancestor, or appends this
// watcher's line. Ends the process when a running watcher already holds the
// entry (message -2001, then CloseAndTerminate on the own id), or with exit
// code 1 after message -2004 when the file cannot be written.
void RegisterWatcher();

// A message to show once the registry's lock is given back.
struct RegistryMessage {
    int32_t code;
    std::string caption;
};

// The start-up scan: claims every stale entry that covers watchedPath and stops
// at the first one a running watcher holds (-2001 is then added to
// `messages`, with the failures of the claims before it). An owner of 0, one
// that is not a number and this process's own id (left by an ended process
// whose id was reused) are stale without a check. True when a covering entry
// was found; registryEntryTaken is 1 when one was claimed. Without
// `messages`, they are shown here once its own lock is given back.
bool ClaimRegistryEntries(const char* registryPath,
                          std::vector<RegistryMessage>* messages = nullptr);

// Writes this process's id (claim) or 0 (release) into the first entry that
// covers `folder`. Message -2007 when the registry cannot be read, -2004 when
// it cannot be written; the file is then unchanged.
void SetRegistryOwner(const char* folder, bool claim);

// relativeDir = the directory of itemDir relative to its registered root.
void RelativeDirectory();

// The silent check of a recorded owner; IsWatcherProcess unless a test
// replaced it (null: IsWatcherProcess again). Returns the previous check.
// Part of the seam table (app/seam_table.h).
using RunningWatcherCheck = bool (*)(const char* processIdText);
RunningWatcherCheck ReplaceRunningWatcherCheck(RunningWatcherCheck check);

// ---- File access ----

// Reads the whole file as text (line ends as "\n"; ReadFileContent, so a
// replacement left pending is what is read). Readers never block a rewrite. A
// missing file is told apart from one that exists but cannot be read, so that
// an append never replaces a file it could not read.
enum class RegistryRead { Ok, Missing, Failed };
RegistryRead ReadRegistryFile(const char* path, std::string& content);

// Replaces the file with `content` (line ends "\n", written as text) through
// ReplaceFileContent, flushed to disk. False when nothing could be written;
// the old file then stays as it was.
bool ReplaceRegistryFile(const char* path, std::string_view content);

// The lock of the registry at `path`, shared by all watchers of the user
// (platform file). It is re-entrant on one thread. A wait that lasts longer
// than `waitMs` (a holder that hangs) gives up, and the caller goes on without
// the lock.
constexpr uint32_t kRegistryLockWaitMs = 30000;
class RegistryLock {
public:
    explicit RegistryLock(const char* path, uint32_t waitMs = kRegistryLockWaitMs);
    ~RegistryLock();
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
    bool Held() const { return held; }

private:
    bool held = false;
    std::intptr_t native = -1;
};
