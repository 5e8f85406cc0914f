// Fixture for tests of the command buffer: a fresh buffer whose files lie in a temporary folder.
#pragma once
// The message boxes and the process end are recorded instead of shown or done. The free functions
// serve every test that works on the buffer, with or without the fixture.

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"

// Whether bufferMutex is held: another thread tries it, as this thread's own (re-entrant) hold
// would let it in.
inline bool HeldElsewhere() {
    bool held = false;
    std::thread([&] { held = !std::unique_lock(State().bufferMutex, std::try_to_lock); }).join();
    return held;
}

// The bytes a file holding `lines` has.
inline std::string FileOf(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) bytes += line + std::string(kEventLineEnd);
    return bytes;
}

// The put of a file directly in the watched folder C:\W, at the remote root.
inline std::string PutInW(const std::string& name) {
    return "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=" + name + "|";
}

// A change as the handler takes it: added and counted.
inline AddResult AddCounted(const std::string& command, int32_t eventKind) {
    std::lock_guard<std::recursive_timed_mutex> lock(State().bufferMutex);
    const AddResult added = AddCommand(command.c_str(), eventKind);
    ++State().pendingEvents;
    return added;
}

// The slots below the count, a free one as "".
inline std::vector<std::string> CountedSlots() {
    const CommandBuffer& buffer = State().commands;
    std::vector<std::string> slots;
    for (int32_t i = 0; i < buffer.commandCount; ++i) {
        slots.emplace_back(buffer.commandSlots[static_cast<std::size_t>(i)].Str());
    }
    return slots;
}

class BufferTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        exitCodes.clear();
        CurrentSeams().endProcess = [](uint32_t code) { exitCodes.push_back(code); };
        State().eventListPath.Assign(eventList);
        State().sendListPath.Assign(sendList);
        State().watchedPath.Assign("C:\\W");
        CreateCommandBuffer(State().commands);
    }
    // AddCommand, which counts what it stored.
    AddResult Add(const std::string& command, int32_t eventKind) {
        return AddCommand(command.c_str(), eventKind);
    }
    // The non-empty slots, in slot order.
    static std::vector<std::string> Commands() {
        std::vector<std::string> out;
        for (const auto& slot : State().commands.commandSlots) {
            if (!slot.Empty()) out.emplace_back(slot.Str());
        }
        return out;
    }
    std::string EventListBytes() const { return ReadFileBytes(eventList); }

    BoxRecorder boxes;
    TempDir folder;
    std::string eventList = folder.Ansi() + "/key.txt";
    std::string sendList = folder.Ansi() + "/~~key.txt";

public:
    static inline std::vector<uint32_t> exitCodes;  // what the fake end of the process saw
};
