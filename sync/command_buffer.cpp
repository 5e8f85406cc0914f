#include "sync/command_buffer.h"

void CreateCommandBuffer(CommandBuffer& buffer) {
    buffer.commandSlots.assign(kInitialCommandCapacity, CommandSlot{});
    buffer.commandCapacity = kInitialCommandCapacity;
    buffer.commandCount = 0;
    buffer.duplicateCommand = 0;
}
