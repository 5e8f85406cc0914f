#pragma once
// The command buffer's data: the slots, the count and the state of the event
// list file, as WatcherState holds them (State().commands, guarded by
// bufferMutex). The operations on it are in sync/command_buffer.h; the lookup
// tables behind CommandIndexHandle are defined there too, so this floor knows
// them only by name.

#include <cstdint>
#include <memory>
#include <vector>

#include "base/bounded_text.h"

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
    int32_t commandCount = 0;  // slots 0 .. commandCount-1 are in use
    // Group commit: a flush message is queued with the dialog (set by
    // RequestEventListFlush, cleared by EventListFlushArrived), and the event
    // list file lacks changes of the slots.
    bool flushQueued = false;
    bool fileBehind = false;
    // The read-back found the event list file but could not read it: its
    // commands come before the buffer's, and it is not written (only read
    // again) until they are in the buffer.
    bool fileUnread = false;
    CommandIndexHandle lookup;
};
