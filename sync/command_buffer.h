#pragma once
// The buffered transfer commands, in order of arrival, and the operations that
// fill, merge, save and empty them. The buffer lives in State().commands and is
// guarded by State().bufferMutex; every operation below takes that lock itself
// (it is re-entrant, so callers that already hold it may call them).
//
// The event list file mirrors the buffer after every added command, or, while
// the dialog has a flush message queued, once that message arrives (group
// commit: a burst of notifications is written once, and a kill loses at most
// the notifications not yet written, as if they were still queued). Lookup
// tables keyed by the fields the merge rules compare keep an addition cheap
// however many commands are pending, and steps that only added lines append
// those lines instead of rewriting the file; the slots and the file's bytes
// are exactly what a plain scan-and-rewrite gives.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/command_buffer_data.h"

// A fresh buffer: 100 empty slots, none in use.
void CreateCommandBuffer(CommandBuffer& buffer);

// What AddCommand did with a command.
enum class AddResult {
    kAdded,      // stored in the slot at commandCount (merged with the pending ones), counted
    kDuplicate,  // an equal command is pending: not stored, not counted
    kEmpty,      // no command (empty, or over 511 bytes): counted, its slot left free, as
                 // every accepted change is counted
    kRefused,    // no memory or no lock: not stored, not counted
};

// Stores `command` (a line over 511 bytes is refused like an empty one: it is
// never cut; compose ComposeEnclosingPutTree's stand-in instead) in the slot at
// commandCount unless an equal command is pending, merges it with the pending
// commands (`eventKind` is the SHCNE_* code of its change), raises
// commandCount by one (unless it is a duplicate) and writes the event list
// file, unless a flush message is queued. Every count of an accepted change
// happens here: a change that composes no command is added as an empty one. An event list file that
// cannot be written keeps the command in the buffer and owes the report of -2004
// (ReportOwedEventListFailure).
[[nodiscard]] AddResult AddCommand(const char* command, int32_t eventKind);

// Shutdown: writes the pending commands (slots below commandCount) to the event
// list file, one per line, and empties the buffer. A file that cannot be
// written is left as it is, silently when it already holds every command,
// else with -2004 (shown once bufferMutex is released).
void SaveAndClearBuffer();

// Empties every slot and sets commandCount to 0, keeping
// the slots. The firing calls this after it took the event list file away.
void EmptyCommandBuffer();

// Start-up: the buffer becomes the event list file's commands (growing as
// needed). A last line cut short by a kill is not read. A file that is there
// but cannot be read shows -2004 (once bufferMutex is released) and is read again before the buffer
// next writes it (fileUnread). Returns the number of commands read. Slots are filled only through
// these operations: one written directly would be missing from the lookup tables, so later merges
// and the duplicate test would not see it.
int32_t ReadBackEventList();

// MergeSendList wrote these lines (the send list's, then the event list's) as
// the event list file: the buffer becomes them, so that it mirrors the file.
// The file must have held the buffer before the merge (FlushEventList, or
// nothing buffered yet at start-up).
void AdoptMergedLines(const std::vector<std::string>& lines);

// Returns a send list left by an earlier process or an earlier pass to the
// event list file (State()'s paths), in front of the event list's own lines
// (they were made later), and deletes it (empties it when it cannot be
// deleted); the buffer becomes the merged lines. A replacement of the event
// list left pending is settled first; at run time the caller brings the file
// level with the buffer (FlushEventList) before. Runs under bufferMutex or before other threads
// exist. A send list that cannot be read, or an event list that cannot be written, keeps the send
// list and shows -2004 (unless `reportFailure` is false); returns false then.
bool MergeSendList(bool reportFailure = true);

// The pending slots (below commandCount, ascending) that the lookup tables offer the merge rules
// of a new `command` of `eventKind` under the current SMB mode: AddCommand asks DecideCoalesce
// about these only, so every pending command a rule applies to must be among them
// (CommandIndexTest holds the tables to the rules). Changes no slot; empty without the lock.
std::vector<int32_t> MergeCandidates(std::string_view command, int32_t eventKind);

// ---- Group commit (the dialog thread and the firing) ----
//
// After adding, the change handling asks RequestEventListFlush; on true it
// posts the dialog one private message (if the post fails, it calls
// EventListFlushArrived at once). The message arrives after every notification
// already queued, and its handling calls EventListFlushArrived. Until then
// AddCommand leaves the file behind the buffer; FlushEventList brings it level,
// and the firing calls it (under bufferMutex) before it renames the file, as
// SaveAndClearBuffer writes everything at shutdown.

// True when no flush message is queued: one is then noted as queued and the
// caller must post it.
bool RequestEventListFlush();
// The queued message arrived: none is queued any more; FlushEventList.
void EventListFlushArrived();
// Writes what the event list file lacks of the buffer (nothing when it lacks
// nothing). True when the file then holds the buffer; false when it could not
// be written: the buffer keeps its commands and the report is owed, as for
// AddCommand.
bool FlushEventList();

// No message box is shown while bufferMutex is held (the timer and the dialog
// would wait for its whole time-out). An operation above that could not write
// the event list file owes the report instead; whoever released the lock last
// calls this: -2004, then the end of the process with exit code 1 (through
// CurrentSeams().endProcess), once. Nothing when nothing is owed. Called by
// the change handling, the flush message, the timer cycle and the shutdown.
void ReportOwedEventListFailure();

// Shutdown: releases the slots.
void ReleaseCommandBuffer();
