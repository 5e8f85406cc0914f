#pragma once
// The buffered transfer commands, in order of arrival, and the operations that
// fill, merge, save and empty them. The buffer lives in State().commands and is
// guarded by State().bufferMutex; every operation below takes that lock itself
// (it is re-entrant, so callers that already hold it may call them).
//
// The event list file mirrors the buffer after every added command. Lookup
// tables keyed by the fields the merge rules compare keep an addition cheap
// however many commands are pending, and a step that only added a line appends
// that line instead of rewriting the file; the slots and the file's bytes are
// exactly what a plain scan-and-rewrite gives.

#include <cstdint>
#include <memory>
#include <vector>

#include "app/bounded_text.h"

// One buffered command line (at most 511 bytes), or empty for a free slot.
using CommandSlot = BoundedText<512>;

constexpr int32_t kInitialCommandCapacity = 100;

// The lookup tables and what the event list file is known to hold. Private to
// the operations below; a copy starts empty and is rebuilt from the slots when
// next used, so code that copies or resets the state stays correct.
struct CommandIndex;
class CommandIndexHandle {
public:
    CommandIndexHandle() noexcept;
    CommandIndexHandle(const CommandIndexHandle&) noexcept;
    CommandIndexHandle& operator=(const CommandIndexHandle&) noexcept;
    CommandIndexHandle(CommandIndexHandle&&) noexcept;
    CommandIndexHandle& operator=(CommandIndexHandle&&) noexcept;
    ~CommandIndexHandle();

    std::unique_ptr<CommandIndex> index;
};

struct CommandBuffer {
    std::vector<CommandSlot> commandSlots;  // commandCapacity slots
    int32_t commandCapacity = 0;
    int32_t commandCount = 0;      // slots 0 .. commandCount-1 are in use
    int32_t duplicateCommand = 0;  // the last AddCommand found its command already buffered
    CommandIndexHandle lookup;
};

// A fresh buffer: 100 empty slots, none in use.
void CreateCommandBuffer(CommandBuffer& buffer);

// Stores `command` (a line over 511 bytes is refused like an empty one: it is
// never cut; compose ComposeEnclosingPutTree's stand-in instead) in the slot at
// commandCount unless an equal command is pending, merges it with the pending
// commands (`eventKind` is the SHCNE_* code of its change) and writes the event
// list file. Afterwards duplicateCommand says whether it was refused as a
// duplicate. The caller then counts it: unless duplicateCommand is 1 it raises
// commandCount by one, then it clears duplicateCommand, all under bufferMutex.
// An event list file that cannot be written shows -2004 and ends the process
// with exit code 1 (through CurrentSeams().endProcess).
void AddCommand(const char* command, int32_t eventKind);

// Merges the command in slot `newSlot` (= commandCount) with the pending ones
// and writes the event list file. AddCommand calls it.
void CoalesceCommands(int32_t newSlot, int32_t eventKind);

// Rewrites the event list file from the buffer: every non-empty slot up to and
// including commandCount, one per line.
void WriteEventList();

// Shutdown: writes the pending commands (slots below commandCount) to the event
// list file, one per line, and empties the buffer; a file that cannot be
// written is left as it is, silently. Returns 0.
int32_t SaveAndClearBuffer();

// Empties every slot and sets commandCount and duplicateCommand to 0, keeping
// the slots. The firing calls this after it took the event list file away.
void EmptyCommandBuffer();

// Start-up: reads the event list file's commands into the next slots (growing
// the buffer as needed). A last line cut short by a kill is not read. Returns
// the number of commands read. Slots are filled only through these operations:
// one written directly would be missing from the lookup tables, so later merges
// and the duplicate test would not see it.
int32_t ReadBackEventList();

// Shutdown: releases the slots.
void ReleaseCommandBuffer();
