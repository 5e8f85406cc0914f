#pragma once
// The change event handler: for every change notification of the watched
// folder it decides whether the remote side must learn of the change and, if
// so, adds one transfer command to the buffer, or, with neither count nor
// interval mode configured, starts a whole-folder upload at once.
//
// It takes the item paths as texts (UTF-16, each with its final backslash, as
// GetItemPathName gives them), so every decision runs without the shell; what
// it asks of the system goes through ChangeHandlerCalls.
//
// Dialog thread only, one event at a time. bufferMutex is held from the
// recording of an event to its counting, so a firing on the timer thread and
// its ResetAfterFire see all of an event or none of it; no message box is
// shown while it is held.

#include <cstddef>
#include <cstdint>

// What the handler asks of the system. Starts with IsFolderPath, the
// isNetworkAlive seam, IsDownloadUnderway, RequestSyncUpload and
// ItemLastWriteTime; tests replace them. Part of the seam table (app/seam_table.h).
struct ChangeHandlerCalls {
    bool (*isFolderPath)(const wchar_t* itemPath) = nullptr;
    bool (*isNetworkAlive)() = nullptr;
    bool (*isDownloadUnderway)() = nullptr;
    bool (*startSyncUpload)() = nullptr;
    // The item's last write time in calendar seconds, -1 when there is none.
    int64_t (*lastWriteTime)(const wchar_t* itemPath) = nullptr;
};
ChangeHandlerCalls& CurrentChangeHandlerCalls();

// The marker of the client's own working folders: changes inside them are
// never sent.
constexpr char kClientFolderMarker[] = "(!plkSep!)pellaro(!plkSep!)";

// Handles one change. `event` is the SHCNE_* code; `firstPath` and
// `secondPath` are the item path texts, null when the notification has no such
// item. An event without a first path, or a rename without a second one, is
// skipped: nothing the rules do could name the item. A path longer than a
// working copy holds (511 UTF-16 code units, or 511 bytes in the ANSI code
// page) is never cut, which would name another item, and a path with a
// character the ANSI code page cannot hold cannot be named in a command at all:
// the recursive put of the deepest folder above it that fits and that the code
// page holds stands in for its command.
//
// A file's name decides nothing: a file without a dot (Makefile, LICENSE,
// git's index and refs, a program's temporary file) has its own command like
// any other. A temporary file does not travel for that: its put is merged away
// by its rename or deletion in the same batch, and plftp skips the put of a
// file gone by the time it runs. A folder whose deletion arrives as a file's
// goes too, as a file's deletion removes whatever the remote side has under
// that name.
void HandleChangeEvent(int32_t event, const wchar_t* firstPath, const wchar_t* secondPath);

// Changes were lost before they could be told apart (the feed's buffer
// overflowed): the whole folder goes to the remote side. In count or interval
// mode a recursive put of the watched folder is buffered and counted; it passes
// no filter, since no filter can judge changes nobody saw. In immediate mode a
// whole-folder upload starts.
void HandleLostChanges();

// While an idle download writes into the folder, and for its pause after,
// changes are held rather than handled: the download's own writes must not go
// back as local changes, and a change of the user's in that moment must not be
// lost. Once the download is over this handles the held changes that are not
// the download's: those of its temporary files (".plftp-part", ".plftp-old"),
// and a file's creation or update when the file was last written before the
// download began (a download gives each file the server's time). More than
// kMaxHeldChanges, or lost changes among them, are handled as lost changes.
// Does nothing while the download is still on, unless `closing`: the watch
// has ended and the final send is next.
void ReplayHeldChanges(bool closing = false);
constexpr std::size_t kMaxHeldChanges = 10000;
