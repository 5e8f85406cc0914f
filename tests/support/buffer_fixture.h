// Fixture for tests of the command buffer: a fresh buffer whose files lie in a temporary folder.
#pragma once
// The message box and the process end are fakes that record what they were asked to do.

#include <cstdint>
#include <string>
#include <vector>

#include "support/state_fixture.h"
#include "support/temp_dir.h"

class BufferTest : public StateTest {
protected:
    void SetUp() override;
    // AddCommand, then the count as the change event handler does it.
    void Add(const std::string& command, int32_t eventKind);
    // The non-empty slots, in slot order.
    static std::vector<std::string> Commands();
    // The bytes a file holding `lines` has.
    static std::string FileOf(const std::vector<std::string>& lines);
    std::string EventListBytes() const { return ReadFileBytes(eventList); }

    TempDir folder;
    std::string eventList = folder.Ansi() + "/key.txt";
    std::string sendList = folder.Ansi() + "/~~key.txt";

public:
    // What the fakes saw.
    static inline std::vector<std::wstring> boxTexts;
    static inline std::vector<uint32_t> exitCodes;
};
