// Fixture for tests of the command buffer: a fresh buffer whose files lie in a temporary folder.
#include "support/buffer_fixture.h"

#include "sync/command_buffer.h"
#include "sync/event_list_file.h"

void BufferTest::SetUp() {
    StateTest::SetUp();
    boxTexts.clear();
    exitCodes.clear();
    CurrentSeams().showTimedBox = [](const std::wstring&, const std::wstring& text, uint32_t) {
        boxTexts.push_back(text);
        return -1;
    };
    CurrentSeams().endProcess = [](uint32_t code) { exitCodes.push_back(code); };
    State().eventListPath.Assign(eventList);
    State().sendListPath.Assign(sendList);
    State().watchedPath.Assign("C:\\W");
    CreateCommandBuffer(State().commands);
}

void BufferTest::Add(const std::string& command, int32_t eventKind) {
    AddCommand(command.c_str(), eventKind);
    CommandBuffer& buffer = State().commands;
    if (buffer.duplicateCommand == 0) ++buffer.commandCount;
    buffer.duplicateCommand = 0;
}

std::vector<std::string> BufferTest::Commands() {
    std::vector<std::string> out;
    for (const auto& slot : State().commands.commandSlots) {
        if (!slot.Empty()) out.emplace_back(slot.Str());
    }
    return out;
}

std::string BufferTest::FileOf(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) bytes += line + std::string(kEventLineEnd);
    return bytes;
}
