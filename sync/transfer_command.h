#pragma once
// The transfer command line: one line of "-name=value|" fields in the ANSI
// code page, at most 511 bytes, that the transfer tool reads from the event
// list. This header is its one definition: the forms the watcher writes, the
// folder-rename composition, the parser, and the rules that merge a new command
// with a pending one. All of it takes its input as arguments and may run on
// any thread, except ComposeRenameFolder, which writes State().newCommand
// and belongs to the dialog thread.
//
// Backslashes and "|" are searched for on the UTF-16 form of a text only: in
// code page 932 the second byte of a character can have either value.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bounded_text.h"

// A command line as a buffer slot holds it.
using CommandText = BoundedText<512>;
constexpr std::size_t kMaxCommandBytes = CommandText::MaxLength();

// Shell change event codes (the SHCNE_* values) that the merge rules select on.
enum ChangeEventCode : int32_t {
    kEventRenameItem = 0x00000001,
    kEventCreate = 0x00000002,
    kEventDelete = 0x00000004,
    kEventMkDir = 0x00000008,
    kEventRmDir = 0x00000010,
    kEventUpdateDir = 0x00001000,
    kEventUpdateItem = 0x00002000,
    kEventRenameFolder = 0x00020000,
};

// The fields of a parsed line; a field the line does not give is empty.
struct TransferCommand {
    BoundedText<16> cmd;
    BoundedText<512> dir;
    BoundedText<512> ldir;
    BoundedText<512> filename;
    BoundedText<512> from;
    BoundedText<512> to;
    BoundedText<2> sync;
    BoundedText<2> sub;
};

// Never fails: malformed pieces are ignored. Looks at the first 511 bytes only.
TransferCommand ParseCommand(std::string_view line);

// The forms. Each writes its line into `out` and returns true, or, when the
// line would not fit in 511 bytes, leaves `out` empty and returns false: a
// command is never cut short.
bool ComposePutFile(CommandText& out, std::string_view dir, std::string_view ldir,
                    std::string_view filename);
bool ComposeDelFile(CommandText& out, std::string_view dir, std::string_view ldir,
                    std::string_view filename);
bool ComposeRenameItem(CommandText& out, std::string_view dir, std::string_view ldir,
                       std::string_view oldName, std::string_view newName);
bool ComposePutTree(CommandText& out, std::string_view dir, std::string_view ldir);
bool ComposeDelTree(CommandText& out, std::string_view dir, std::string_view ldir);
bool ComposePutFolder(CommandText& out, std::string_view dir, std::string_view ldir);
bool ComposePutFolderSub(CommandText& out, std::string_view dir, std::string_view ldir);
bool ComposeDelName(CommandText& out, std::string_view dir, std::string_view filename);
bool ComposeMove(CommandText& out, std::string_view fromPath, std::string_view toPath);

// What a folder rename is composed from: the watched folder and the remote
// settings of the per-folder configuration.
struct RenameFolderContext {
    std::string_view watchedPath;
    std::string_view remoteDir;
    int32_t smbMode = 0;
};

// The folder-rename line for the ANSI paths of the old and the new folder (each
// with its final backslash) and the local folder `ldir`.
bool ComposeRenameFolderText(CommandText& out, std::string_view oldPath, std::string_view newPath,
                             std::string_view ldir, const RenameFolderContext& context);

// The same into State().newCommand, with the watched path and the remote
// settings taken from State().
bool ComposeRenameFolder(const char* oldPath, const char* newPath, const char* ldir);

// The stand-in for a command that does not fit in 511 bytes: the recursive
// synchronising put of the nearest enclosing folder whose line fits. `dir` and
// `ldir` name the folder the change happened in (each ends with its
// separator); the walk goes up one folder at a time on both and stops at
// `watchedLdir`, the watched folder with its final backslash. False when even
// that folder's line does not fit.
bool ComposeEnclosingPutTree(CommandText& out, std::string_view dir, std::string_view ldir,
                             std::string_view watchedLdir);

// The last non-empty component of `text` between "/" characters, or empty.
std::string_view LastComponent(std::string_view text);

// The merge rules for one pending command P and the new command N.
// clang-format off
enum class CoalesceRule : uint8_t {
    kNone,
    // A new deletion drops a pending put of the file, adds a deletion by the
    // old name to a pending rename to the file, or yields to a pending
    // recursive delete of the folder.
    kDeleteDropsPut, kDeleteFollowsRename, kDeleteUnderTreeDelete,
    // A new creation makes a move of a pending deletion of the name, or
    // yields to a pending send of the whole folder.
    kCreateAfterDelete, kCreateUnderFolderSend,
    // A new file rename renames a pending put (and deletes the old name) or
    // yields to a folder send, but stays beside it where a pending rename or
    // move brings the old name back after the send;
    // a file moved to another folder drops a pending put of its source
    // (the move sends the file when the remote side lacks it).
    kRenameCarriesPut, kRenameUnderFolderSend, kRenameOfRenamedStays, kMoveDropsPut,
    // A new folder makes a move of a pending recursive delete of the name,
    // or yields to a pending recursive send of an enclosing folder.
    kFolderAfterTreeDelete, kFolderUnderTreeSend,
    // A new recursive delete drops a pending put in the folder, or a
    // pending delete there; the delete itself always stays.
    kTreeDeleteDropsPut, kTreeDeleteDropsDelete,
    // A new folder-wide send replaces pending puts and renames in the folder.
    kFolderSendReplaces,
    // A new folder rename or move with a pending command at or below the old
    // folder makes it a move (renamed, then made equal to the local
    // folder) and drops the pending puts in it; the other commands stay.
    kFolderMoveTakesPending,
};
// clang-format on

// kStay: the new command stays whatever another pending command's rule says.
enum class NewCommandEffect : uint8_t { kKeep, kDrop, kBecome, kStay };

struct CoalesceOutcome {
    CoalesceRule rule = CoalesceRule::kNone;
    bool dropPending = false;
    bool pendingBecomes = false;  // P's slot receives pendingText
    CommandText pendingText;
    NewCommandEffect newEffect = NewCommandEffect::kKeep;
    CommandText newText;  // with kBecome
};

// A command equal to a pending one is refused as its repeat. A rename or a
// move ("rn") is a repeat only of the last pending command: with others after
// it, it undoes them (a.txt to A.txt, back, and to A.txt again), and refused it
// would leave the remote name behind the local one. So is a folder-wide send
// ("put" without a file name): it makes the remote folder equal to the local
// one as it is when it runs, and the renames and deletions pending after an
// earlier one run on what it made, under names that may be gone (a file
// renamed twice at once, the second rename never reported: the folder's send
// for the lost report ran before the first rename, which then took the file's
// remote name away).
bool RepeatsOnlyAsLast(std::string_view command);

// The first rule of the event's list whose condition holds for P and whose
// resulting line fits in a slot, with its effects. A rule whose result would
// not fit is passed over: both commands then stay as they are, which sends
// the same changes, only in more steps.
CoalesceOutcome DecideCoalesce(int32_t eventCode, const TransferCommand& pending,
                               const TransferCommand& added, int32_t smbMode);

// Texts the rules derive from N, shared with the buffer's lookups.
// The old and the new remote folder of a folder rename (each with its final
// separator): N.dir followed by the bare old or new name (its backslashes
// removed) and N.dir's own separator, or, for a move (empty dir), N.from and
// N.to. False when they name no folder (no final separator, or empty).
bool FolderRenamePaths(const TransferCommand& added, std::string& oldFolder,
                       std::string& newFolder);
// A remote file path cut at its last "/" or "\" (on the UTF-16 form): the
// folder with its separator, and the name. False without a separator or a name.
bool SplitRemotePath(std::string_view path, std::string& folder, std::string& name);
// `text` without its last character (cut on the UTF-16 form).
std::string DropLastCharacter(std::string_view text);
