// Event list and send list files as a crash, a full disk or another program
// may leave them: the read-back of their commands into a fresh buffer and the
// start-up merge of a left-over send list.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/watcher_state.h"
#include "fuzz/fuzz_support.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"

namespace {

// Complete lines of 1 to 511 bytes less their "\n" and one "\r" before it.
std::vector<std::string> PlainLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t at = bytes.find('\n'); at != std::string_view::npos;
         start = at + 1, at = bytes.find('\n', start)) {
        std::string_view line = bytes.substr(start, at - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!line.empty() && line.size() <= 511) lines.emplace_back(line);
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string eventList = FuzzFolder() + "/key.txt";
    static const std::string sendList = FuzzFolder() + "/~~key.txt";
    QuietSeams();
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const std::size_t eventLength = in.Byte() | (std::size_t{in.Byte()} << 8);
    const std::string eventBytes(in.Take(eventLength));
    const std::string sendBytes(in.Rest());
    const bool eventExists = (flags & 1) == 0;
    const bool sendExists = (flags & 2) == 0;
    std::remove(eventList.c_str());
    std::remove(sendList.c_str());
    if (eventExists) WriteBytes(eventList, eventBytes);
    if (sendExists) WriteBytes(sendList, sendBytes);

    const std::string_view shown = eventExists ? std::string_view(eventBytes) : std::string_view();
    const std::vector<std::string> expected = PlainLines(shown);
    bool torn = true;
    FUZZ_CHECK(ReadCommandLines(eventList, &torn) == expected);
    FUZZ_CHECK(torn == (!shown.empty() && shown.back() != '\n'));

    WatcherState& state = State();
    state.Reset();
    state.eventListPath.Assign(eventList);
    state.sendListPath.Assign(sendList);
    CreateCommandBuffer(state.commands);
    FUZZ_CHECK(ReadBackEventList() == static_cast<int32_t>(expected.size()));
    const CommandBuffer& buffer = state.commands;
    FUZZ_CHECK(buffer.commandCount == static_cast<int32_t>(expected.size()));
    for (std::size_t i = 0; i < buffer.commandSlots.size(); ++i) {
        const std::string_view slot = buffer.commandSlots[i].Str();
        FUZZ_CHECK(slot == (i < expected.size() ? std::string_view(expected[i]) : ""));
    }
    ReleaseCommandBuffer();

    // The merge: the send list's complete lines, then the event list's; the
    // send list goes. A missing or empty send list changes nothing.
    FUZZ_CHECK(MergeSendList(false));
    bool sendLeft = true;
    ReadBytes(sendList, &sendLeft);
    FUZZ_CHECK(!sendLeft);
    bool eventAfterExists = false;
    const std::string after = ReadBytes(eventList, &eventAfterExists);
    if (!sendExists || sendBytes.empty()) {
        FUZZ_CHECK(eventAfterExists == eventExists && after == shown);
    } else {
        const auto complete = [](std::string_view bytes) {
            const std::size_t lastEnd = bytes.rfind('\n');
            return std::string(
                bytes.substr(0, lastEnd == std::string_view::npos ? 0 : lastEnd + 1));
        };
        FUZZ_CHECK(eventAfterExists && after == complete(sendBytes) + complete(shown));
        // The buffer mirrors the merged file.
        const std::vector<std::string> mergedLines = PlainLines(after);
        FUZZ_CHECK(buffer.commandCount == static_cast<int32_t>(mergedLines.size()));
        for (std::size_t i = 0; i < mergedLines.size(); ++i) {
            FUZZ_CHECK(buffer.commandSlots[i].Str() == mergedLines[i]);
        }
    }
    return 0;
}
