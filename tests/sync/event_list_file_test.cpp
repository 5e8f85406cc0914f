#include "sync/event_list_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/buffer_fixture.h"

namespace {

class EventListFileTest : public BufferTest {};

TEST_F(EventListFileTest, ReadsCompleteLinesOnly) {
    const std::string eleven(511, 'x');
    const struct {
        std::string bytes;
        std::vector<std::string> lines;
        bool torn;
    } cases[] = {
        {"a\nb\n", {"a", "b"}, false},
        {"a\r\nb\r\n", {"a", "b"}, false},
        {"a\nb", {"a"}, true},
        {"a\nb\r", {"a"}, true},
        {"\n\r\na\n", {"a"}, false},
        {eleven + "\n" + eleven + "y\n", {eleven}, false},
        {"", {}, false},
    };
    for (const auto& c : cases) {
        WriteFileBytes(eventList, c.bytes);
        bool torn = false;
        EXPECT_EQ(ReadCommandLines(eventList, &torn), c.lines) << c.bytes.size();
        EXPECT_EQ(torn, c.torn);
    }
    std::filesystem::remove(eventList);
    EXPECT_TRUE(ReadCommandLines(eventList).empty());
}

TEST_F(EventListFileTest, ReplaceAndHeldOpenAppend) {
    ASSERT_EQ(ReplaceFileContent(eventList, "one\n", false), ReplaceOutcome::kReplaced);
    EXPECT_EQ(EventListBytes(), "one\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1);  // no temporary file left

    EventListAppender appender;
    EXPECT_EQ(appender.Append(eventList, 4, "two\n"), AppendResult::kAppended);
    EXPECT_EQ(appender.Append(eventList, 8, "three\n"), AppendResult::kAppended);
    EXPECT_EQ(appender.Append(eventList, 8, "four\n"), AppendResult::kUnexpectedSize);
    EXPECT_EQ(EventListBytes(), "one\ntwo\nthree\n");

    // Renamed away while open (a firing): appends go to the fresh file only.
    EXPECT_EQ(appender.Append(eventList, 14, "four\n"), AppendResult::kAppended);
    ASSERT_EQ(std::rename(eventList.c_str(), sendList.c_str()), 0);
    WriteFileBytes(eventList, "");
    EXPECT_EQ(appender.Append(eventList, 19, "five\n"), AppendResult::kUnexpectedSize);
    EXPECT_EQ(appender.Append(eventList, 0, "five\n"), AppendResult::kAppended);
    EXPECT_EQ(ReadFileBytes(sendList), "one\ntwo\nthree\nfour\n");
    EXPECT_EQ(EventListBytes(), "five\n");
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
