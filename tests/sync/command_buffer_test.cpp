#include "sync/command_buffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/watcher_state.h"
#include "support/buffer_fixture.h"
#include "sync/event_list_file.h"
#include "watch/transfer_command.h"

namespace {

std::string Put(int n) {
    return "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=f" + std::to_string(n) + "|";
}
std::string Del(int n) {
    return "-cmd=del|-dir=/|-ldir=C:\\W\\|-filename=f" + std::to_string(n) + "|";
}

class CommandBufferTest : public BufferTest {};

TEST_F(CommandBufferTest, DuplicateEmptyAndOverlongCommandsLeaveSlotsAndFileAlone) {
    Add(Put(1), kEventCreate);
    WriteFileBytes(eventList, "marker\n");
    AddCommand(Put(1).c_str(), kEventCreate);
    EXPECT_EQ(State().commands.duplicateCommand, 1);
    EXPECT_EQ(State().commands.commandCount, 1);
    State().commands.duplicateCommand = 0;
    for (const std::string& refused : {std::string(), Put(2) + std::string(500, 'x')}) {
        AddCommand(refused.c_str(), kEventCreate);
        EXPECT_EQ(State().commands.duplicateCommand, 0);
    }
    EXPECT_EQ(Commands(), std::vector<std::string>{Put(1)});
    EXPECT_EQ(EventListBytes(), "marker\n");
}

TEST_F(CommandBufferTest, ACommandThatAMergeEmptiedIsStoredAgain) {
    Add(Put(1), kEventCreate);
    Add(Del(1), kEventDelete);
    EXPECT_TRUE(Commands().empty());
    Add(Put(1), kEventCreate);
    EXPECT_EQ(State().commands.commandCount, 3);
    EXPECT_EQ(State().commands.commandSlots[2].Str(), Put(1));
    EXPECT_EQ(EventListBytes(), FileOf({Put(1)}));
}

TEST_F(CommandBufferTest, GrowsTo201And403KeepingEarlierSlotsAndTheFileFollows) {
    const std::pair<int, int32_t> stages[] = {{100, 100}, {101, 201}, {201, 201}, {202, 403}};
    int added = 0;
    for (const auto& [commands, capacity] : stages) {
        for (; added < commands; ++added) {
            Add(Put(added), kEventCreate);
            ASSERT_EQ(EventListBytes(), FileOf(Commands())) << "after " << added;
        }
        EXPECT_EQ(State().commands.commandCapacity, capacity);
        EXPECT_EQ(State().commands.commandSlots.size(), static_cast<std::size_t>(capacity));
        for (int i = 0; i < added; ++i) ASSERT_EQ(State().commands.commandSlots[i].Str(), Put(i));
    }
}

TEST_F(CommandBufferTest, SlotsTheHandlerDidNotCountAreSkippedAndHolesStay) {
    AddCommand(Put(1).c_str(), kEventCreate);  // not counted
    AddCommand(Put(2).c_str(), kEventCreate);
    EXPECT_EQ(State().commands.commandSlots[1].Str(), Put(2));
    State().commands.commandCount += 2;  // an event counted without a command
    Add(Put(3), kEventCreate);
    EXPECT_EQ(State().commands.commandSlots[3].Str(), Put(3));
    EXPECT_EQ(EventListBytes(), FileOf({Put(1), Put(2), Put(3)}));
}

TEST_F(CommandBufferTest, TheFileIsRepairedWhenItIsNotWhatTheLastWriteLeft) {
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
    WriteFileBytes(eventList, "stale\n");
    WriteEventList();
    EXPECT_EQ(EventListBytes(), FileOf(Commands()));
}

TEST_F(CommandBufferTest, SaveAndClearWritesPendingCommandsWithPlainLineEnds) {
    for (const bool keepOne : {true, false}) {
        Add(Put(1), kEventCreate);
        if (keepOne) Add(Put(2), kEventCreate);
        Add(Del(1), kEventDelete);  // leaves a hole
        EXPECT_EQ(SaveAndClearBuffer(), 0);
        EXPECT_EQ(EventListBytes(), keepOne ? FileOf({Put(2)}) : "");
        EXPECT_TRUE(Commands().empty());
        EXPECT_EQ(State().commands.commandCount, 0);
        EXPECT_EQ(State().commands.duplicateCommand, 0);
        EXPECT_EQ(State().commands.commandCapacity, 100);
    }
}

TEST_F(CommandBufferTest, ReadBackRestoresCompleteLinesAndGrows) {
    std::vector<std::string> lines;
    for (int i = 0; i < 150; ++i) lines.push_back(Put(i));
    WriteFileBytes(eventList, FileOf(lines) + "\r\n" + Put(500) + "\r\n" + "-cmd=put|-dir=/|-ld");
    lines.push_back(Put(500));
    EXPECT_EQ(ReadBackEventList(), 151);
    EXPECT_EQ(State().commands.commandCount, 151);
    EXPECT_EQ(State().commands.commandCapacity, 201);
    EXPECT_EQ(Commands(), lines);
    Add(Put(3), kEventCreate);  // a duplicate of a restored command
    EXPECT_EQ(State().commands.commandCount, 151);
    Add(Del(0), kEventDelete);
    lines.erase(lines.begin());
    EXPECT_EQ(EventListBytes(), FileOf(lines));
}

TEST_F(CommandBufferTest, AfterAFiringEmptiedTheBufferTheFileStartsAfresh) {
    Add(Put(1), kEventCreate);
    Add(Put(2), kEventCreate);
    std::rename(eventList.c_str(), sendList.c_str());
    WriteFileBytes(eventList, "");
    EmptyCommandBuffer();
    EXPECT_EQ(State().commands.commandCount, 0);
    Add(Put(1), kEventCreate);
    EXPECT_EQ(State().commands.duplicateCommand, 0);
    EXPECT_EQ(EventListBytes(), FileOf({Put(1)}));
}

TEST_F(CommandBufferTest, ABufferNeverCreatedOrOutOfShapeStillTakesCommands) {
    const std::function<void(CommandBuffer&)> damage[] = {
        [](CommandBuffer& b) { b = CommandBuffer{}; },
        [](CommandBuffer& b) { b.commandSlots.resize(10); },
        [](CommandBuffer& b) { b.commandCount = -5; },
        [](CommandBuffer& b) { b.commandCount = b.commandCapacity + 7; },
    };
    for (const auto& hurt : damage) {
        CreateCommandBuffer(State().commands);
        Add(Put(1), kEventCreate);
        hurt(State().commands);
        Add(Put(2), kEventCreate);
        const CommandBuffer& buffer = State().commands;
        EXPECT_EQ(buffer.commandSlots.size(), static_cast<std::size_t>(buffer.commandCapacity));
        EXPECT_LT(buffer.commandCount - 1, buffer.commandCapacity);
        EXPECT_EQ(buffer.commandSlots[static_cast<std::size_t>(buffer.commandCount - 1)].Str(),
                  Put(2));
        EXPECT_EQ(EventListBytes(), FileOf(Commands()));
    }
}

}  // namespace
