// The command buffer taken literally: the yardstick for the real one's slots, counts and bytes.
#pragma once
// Every addition scans every pending slot (parsing each again) and rewrites the whole event list
// file. Header-only, so the benchmark and the fuzz target can use it.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/transfer_command.h"

struct ReferenceBuffer {
    std::vector<CommandSlot> slots;
    int32_t capacity = 0;
    int32_t count = 0;
    int32_t duplicate = 0;
    std::string path;  // its event list file; empty: kept in `fileBytes` only
    std::string fileBytes;
    int32_t smbMode = 0;
};

inline void ReferenceCreate(ReferenceBuffer& buffer, std::string path, int32_t smbMode) {
    buffer = ReferenceBuffer{};
    buffer.slots.resize(kInitialCommandCapacity);
    buffer.capacity = kInitialCommandCapacity;
    buffer.path = std::move(path);
    buffer.smbMode = smbMode;
}

// Truncate and write every non-empty slot 0..through.
inline void ReferenceWrite(ReferenceBuffer& buffer, int32_t through) {
    buffer.fileBytes.clear();
    for (int32_t i = 0; i <= through && i < buffer.capacity; ++i) {
        const CommandSlot& slot = buffer.slots[static_cast<std::size_t>(i)];
        if (slot.Empty()) continue;
        buffer.fileBytes.append(slot.Str());
        buffer.fileBytes.append(kEventLineEnd);
    }
    if (buffer.path.empty()) return;
    if (std::FILE* file = std::fopen(buffer.path.c_str(), "wb")) {
        std::fwrite(buffer.fileBytes.data(), 1, buffer.fileBytes.size(), file);
        std::fclose(file);
    }
}

inline void ReferenceAdd(ReferenceBuffer& buffer, const char* command, int32_t eventKind) {
    for (;;) {
        if (buffer.count >= buffer.capacity) {
            buffer.capacity =
                buffer.capacity == 0 ? kInitialCommandCapacity : 2 * buffer.capacity + 1;
            buffer.slots.resize(static_cast<std::size_t>(buffer.capacity));
            continue;
        }
        if (buffer.slots[static_cast<std::size_t>(buffer.count)].Empty()) break;
        ++buffer.count;
    }
    std::string_view text = command ? std::string_view(command) : std::string_view();
    if (text.size() > kMaxCommandBytes) text = std::string_view();  // refused, never cut
    // A repeat of any pending command; a rename only of the last one.
    buffer.duplicate = 0;
    int32_t lastUsed = -1;
    for (int32_t i = 0; i < buffer.count; ++i) {
        const CommandSlot& slot = buffer.slots[static_cast<std::size_t>(i)];
        if (slot.Empty()) continue;
        lastUsed = i;
        if (slot.Str() == text) buffer.duplicate = 1;
    }
    if (buffer.duplicate != 0 && RepeatsOnlyAsLast(text) &&
        buffer.slots[static_cast<std::size_t>(lastUsed)].Str() != text) {
        buffer.duplicate = 0;
    }
    if (buffer.duplicate != 0) return;
    CommandSlot& added = buffer.slots[static_cast<std::size_t>(buffer.count)];
    added.Assign(text);
    if (text.empty()) return;
    // Every pending command against the new one, in slot order; a new file's move
    // takes the last pending deletion of its name only.
    const TransferCommand n = ParseCommand(added.Str());
    const auto decide = [&](int32_t i) {
        return DecideCoalesce(eventKind,
                              ParseCommand(buffer.slots[static_cast<std::size_t>(i)].Str()), n,
                              buffer.smbMode);
    };
    int32_t moveSource = -1;
    for (int32_t i = 0; i < buffer.count; ++i) {
        if (!buffer.slots[static_cast<std::size_t>(i)].Empty() &&
            decide(i).rule == CoalesceRule::kCreateAfterDelete) {
            moveSource = i;
        }
    }
    bool dropped = false;
    bool stays = false;
    for (int32_t i = 0; i < buffer.count; ++i) {
        CommandSlot& slot = buffer.slots[static_cast<std::size_t>(i)];
        if (slot.Empty()) continue;
        const CoalesceOutcome outcome = decide(i);
        if (outcome.rule == CoalesceRule::kCreateAfterDelete && i != moveSource) continue;
        if (outcome.dropPending) slot.Clear();
        if (outcome.pendingBecomes) slot.Assign(outcome.pendingText.Str());
        if (outcome.newEffect == NewCommandEffect::kStay) stays = true;
        if (outcome.newEffect == NewCommandEffect::kDrop) dropped = true;
        if (outcome.newEffect == NewCommandEffect::kBecome) {
            dropped = false;
            added.Assign(outcome.newText.Str());
        }
    }
    if (dropped && !stays) added.Clear();
    ReferenceWrite(buffer, buffer.count);
}

// What the change event handler does after each addition.
inline void ReferenceCount(ReferenceBuffer& buffer) {
    if (buffer.duplicate == 0) ++buffer.count;
    buffer.duplicate = 0;
}

inline void ReferenceEmpty(ReferenceBuffer& buffer) {
    for (CommandSlot& slot : buffer.slots) slot.Clear();
    buffer.count = 0;
    buffer.duplicate = 0;
}

inline void ReferenceSaveAndClear(ReferenceBuffer& buffer) {
    ReferenceWrite(buffer, buffer.count - 1);
    ReferenceEmpty(buffer);
}
