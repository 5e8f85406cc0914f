// Catches: a torn last line taken as a command, a read-back that loses lines, lost send lists.
// The buffer's rules, appends and rewrites: the differential test, against the plain buffer.
#include "sync/event_list_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/buffer_fixture.h"
#include "sync/command_buffer.h"
#include "watch/transfer_command.h"

namespace {

std::string Put(int n) {
    return "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=f" + std::to_string(n) + "|";
}

class EventListFileTest : public BufferTest {};

TEST_F(EventListFileTest, ReadsCompleteLinesOnlyAndTheBufferGrowsToWhatItReadsBack) {
    const std::string long511(511, 'x');
    const struct {
        std::string bytes;
        std::vector<std::string> lines;
        bool torn;
    } cases[] = {
        {"a\nb\n", {"a", "b"}, false},     {"a\r\nb\r\n", {"a", "b"}, false},
        {"a\nb", {"a"}, true},             {"a\nb\r", {"a"}, true},
        {"\n\r\na\n", {"a"}, false},       {"", {}, false},
        {long511 + "\n" + long511 + "y\n", {long511}, false},
    };
    for (const auto& c : cases) {
        WriteFileBytes(eventList, c.bytes);
        bool torn = false;
        EXPECT_EQ(ReadCommandLines(eventList, &torn), c.lines) << c.bytes.size();
        EXPECT_EQ(torn, c.torn) << c.bytes.size();
    }
    std::filesystem::remove(eventList);
    EXPECT_TRUE(ReadCommandLines(eventList).empty());

    std::vector<std::string> lines;
    for (int i = 0; i < 151; ++i) lines.push_back(Put(i));
    WriteFileBytes(eventList, FileOf(lines) + "\r\n-cmd=put|-dir=/|-ld");
    EXPECT_EQ(ReadBackEventList(), 151);
    EXPECT_EQ(State().commands.commandCount, 151);
    EXPECT_EQ(State().commands.commandCapacity, 201);
    EXPECT_EQ(Commands(), lines);
    Add(Put(3), kEventCreate);  // a duplicate of a restored command
    EXPECT_EQ(State().commands.commandCount, 151);
}

TEST_F(EventListFileTest, MergeSendListAppendsLeftOverCommandsAndDeletesTheFile) {
    struct {
        const char *what, *send, *event, *merged;  // null: no such file
    } const cases[] = {
        {"behind the event list's own lines", "s1\ns2\n", "e1\n", "e1\ns1\ns2\n"},
        {"into a missing event list", "s1\n", nullptr, "s1\n"},
        {"no send list: nothing changes", nullptr, "e1\n", "e1\n"},
        {"a line cut short in the event list is dropped first", "s1\n", "e1\ne2", "e1\ns1\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(eventList);
        std::filesystem::remove(sendList);
        if (c.send) WriteFileBytes(sendList, c.send);
        if (c.event) WriteFileBytes(eventList, c.event);
        EXPECT_TRUE(MergeSendList()) << c.what;
        EXPECT_FALSE(std::filesystem::exists(sendList)) << c.what;
        EXPECT_EQ(EventListBytes(), c.merged) << c.what;
    }
    EXPECT_TRUE(boxTexts.empty());
}

}  // namespace
