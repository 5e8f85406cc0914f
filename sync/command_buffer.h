#pragma once
// The buffered transfer commands, in order of arrival. Guarded by
// WatcherState::bufferMutex; operated on by the command buffer operations.

#include <cstdint>
#include <vector>

#include "app/bounded_text.h"

// One buffered command line (at most 511 bytes), or empty for a free slot.
using CommandSlot = BoundedText<512>;

constexpr int32_t kInitialCommandCapacity = 100;

struct CommandBuffer {
    std::vector<CommandSlot> commandSlots;  // commandCapacity slots
    int32_t commandCapacity = 0;
    int32_t commandCount = 0;      // slots 0 .. commandCount-1 are in use
    int32_t duplicateCommand = 0;  // the last AddCommand found its command already buffered
};

// A fresh buffer: 100 empty slots, none in use.
void CreateCommandBuffer(CommandBuffer& buffer);
