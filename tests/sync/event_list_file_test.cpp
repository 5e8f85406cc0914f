// Catches: a torn last line taken as a command, a stale event list file kept, lost send lists.
// The buffer's own rules are compared with the plain buffer in the differential test.
#include "sync/event_list_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
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

TEST_F(EventListFileTest, TheBufferRewritesAFileThatIsNotWhatItsLastWriteLeft) {
    Add(Put(1), kEventCreate);
    Add(Put(2), kEventCreate);
    const std::string cases[] = {
        FileOf({Put(1)}) + "-cmd=put|-dir=/|-ldi",  // an append cut short by a kill
        "",                                         // taken away by a firing
        FileOf({Put(9), Put(8), Put(7)}),           // written by someone else
    };
    int next = 3;
    for (const std::string& bytes : cases) {
        WriteFileBytes(eventList, bytes);
        Add(Put(next++), kEventCreate);
        EXPECT_EQ(EventListBytes(), FileOf(Commands()));
    }
    std::filesystem::remove(eventList);
    Add(Put(next), kEventCreate);
    EXPECT_EQ(EventListBytes(), FileOf(Commands()));
    // Refused commands leave slots and file alone.
    WriteFileBytes(eventList, "marker\n");
    for (const std::string& refused : {std::string(), Put(2) + std::string(500, 'x')}) {
        AddCommand(refused.c_str(), kEventCreate);
    }
    EXPECT_EQ(EventListBytes(), "marker\n");
    // A buffer never created or out of shape still takes commands.
    const std::function<void(CommandBuffer&)> damage[] = {
        [](CommandBuffer& b) { b = CommandBuffer{}; },
        [](CommandBuffer& b) { b.commandSlots.resize(10); },
        [](CommandBuffer& b) { b.commandCount = -5; },
        [](CommandBuffer& b) { b.commandCount = b.commandCapacity + 7; },
    };
    for (const auto& hurt : damage) {
        hurt(State().commands);
        Add(Put(next), kEventCreate);
        const CommandBuffer& buffer = State().commands;
        EXPECT_EQ(buffer.commandSlots.size(), static_cast<std::size_t>(buffer.commandCapacity));
        ASSERT_GT(buffer.commandCount, 0);
        ASSERT_LE(buffer.commandCount, buffer.commandCapacity);
        EXPECT_EQ(buffer.commandSlots[buffer.commandCount - 1].Str(), Put(next++));
        EXPECT_EQ(EventListBytes(), FileOf(Commands()));
    }
}

TEST_F(EventListFileTest, ReplaceAndHeldOpenAppend) {
    ASSERT_EQ(ReplaceFileContent(eventList, "one\n", false), ReplaceOutcome::kReplaced);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1);  // no temporary file left
    EventListAppender appender;
    EXPECT_EQ(appender.Append(eventList, 4, "two\n"), AppendResult::kAppended);
    EXPECT_EQ(appender.Append(eventList, 4, "three\n"), AppendResult::kUnexpectedSize);
    EXPECT_EQ(appender.Append(eventList, 8, "three\n"), AppendResult::kAppended);
    // Renamed away while open (a firing): appends go to the fresh file only.
    ASSERT_EQ(std::rename(eventList.c_str(), sendList.c_str()), 0);
    WriteFileBytes(eventList, "");
    EXPECT_EQ(appender.Append(eventList, 14, "four\n"), AppendResult::kUnexpectedSize);
    EXPECT_EQ(appender.Append(eventList, 0, "four\n"), AppendResult::kAppended);
    EXPECT_EQ(ReadFileBytes(sendList), "one\ntwo\nthree\n");
    EXPECT_EQ(EventListBytes(), "four\n");
    appender.Close();
    std::filesystem::create_directory(folder.Path() / "dir.txt");
    EXPECT_EQ(appender.Append(folder.Ansi() + "/dir.txt", 0, "x\n"), AppendResult::kFailed);
}

TEST_F(EventListFileTest, MergeSendListAppendsLeftOverCommandsAndDeletesTheFile) {
    struct {
        const char *what, *send, *event, *merged;  // null: no such file
    } const cases[] = {
        {"behind the event list's own lines", "s1\ns2\n", "e1\n", "e1\ns1\ns2\n"},
        {"into a missing event list", "s1\n", nullptr, "s1\n"},
        {"an empty send list is only deleted", "", "e1\n", "e1\n"},
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
