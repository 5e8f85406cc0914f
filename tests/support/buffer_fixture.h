#pragma once
// Fixture for tests of the command buffer: a fresh buffer in State(), the event
// list and send list files in a temporary folder, and fakes for the message box
// and the process end that record what they were asked to do.

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
    std::string EventListBytes() const;

    std::string eventList;
    std::string sendList;
    TempDir folder;

public:
    // What the fakes saw.
    static std::vector<std::wstring> boxTexts;
    static std::vector<uint32_t> exitCodes;
};
