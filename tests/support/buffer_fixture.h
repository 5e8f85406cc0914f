// Fixture for tests of the command buffer: a fresh buffer whose files lie in a temporary folder.
#pragma once
// The message boxes and the process end are recorded instead of shown or done.

#include <cstdint>
#include <string>
#include <vector>

#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"

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
    // The bytes a file holding `lines` has.
    static std::string FileOf(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& line : lines) bytes += line + std::string(kEventLineEnd);
        return bytes;
    }
    std::string EventListBytes() const { return ReadFileBytes(eventList); }

    BoxRecorder boxes;
    TempDir folder;
    std::string eventList = folder.Ansi() + "/key.txt";
    std::string sendList = folder.Ansi() + "/~~key.txt";

public:
    static inline std::vector<uint32_t> exitCodes;  // what the fake end of the process saw
};
