// Catches: any step of the buffer whose slots, counts, flag or file bytes leave the plain one's.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "app/watcher_state.h"
#include "support/buffer_fixture.h"
#include "support/random_commands.h"
#include "support/reference_command_buffer.h"
#include "sync/command_buffer.h"

namespace {

class DifferentialTest : public BufferTest {
protected:
    template <class Slots>
    static std::string Snapshot(int32_t capacity, int32_t count, int32_t duplicate,
                                const Slots& slots, const std::string& file) {
        std::string out = std::to_string(capacity) + " " + std::to_string(count) + " " +
                          std::to_string(duplicate) + "\n";
        for (const auto& slot : slots) out.append(slot.Str()) += "\n";
        return out + "file:\n" + file;
    }
    std::string Difference(const std::string& done) const {
        const CommandBuffer& real = State().commands;
        // While a flush message is queued the file may lag behind.
        const std::string mine =
            Snapshot(real.commandCapacity, real.commandCount, real.duplicateCommand,
                     real.commandSlots, real.flushQueued ? reference.fileBytes : EventListBytes());
        const std::string plain = Snapshot(reference.capacity, reference.count,
                                           reference.duplicate, reference.slots, reference.fileBytes);
        return mine == plain ? "" : done + "\n" + mine + "-- vs --\n" + plain;
    }

    std::string Step(CommandGenerator& generator) {
        CommandBuffer& real = State().commands;
        const uint32_t action = generator.Below(1000);
        if (action < 8) {
            // A firing: the file, brought level first, goes to the tool, an empty one stays.
            FlushEventList();
            EmptyCommandBuffer();
            ReferenceEmpty(reference);
            WriteFileBytes(eventList, "");
            reference.fileBytes.clear();
            return Difference("fire");
        }
        if (action < 14) {
            SaveAndClearBuffer();
            ReferenceSaveAndClear(reference);
            return Difference("save and clear");
        }
        if (action < 40) {
            // Group commit: the dialog posts its flush message, or it arrives.
            real.flushQueued ? EventListFlushArrived() : static_cast<void>(RequestEventListFlush());
            return Difference("flush");
        }
        const GeneratedCommand command = generator.Next();
        AddCommand(command.text.CStr(), command.eventKind);
        ReferenceAdd(reference, command.text.CStr(), command.eventKind);
        const std::string differs = Difference("add " + std::to_string(command.eventKind) + " " +
                                               std::string(command.text.Str()));
        // The handler's count, now and then with a hole (counted, no command) or none at all.
        const uint32_t count = generator.Below(100);
        const int32_t extra = count >= 4 && count < 8 ? 1 : 0;
        if (count >= 4) {
            real.commandCount += (real.duplicateCommand == 0) + extra;
            reference.count += (reference.duplicate == 0) + extra;
        }
        real.duplicateCommand = reference.duplicate = 0;
        return differs;
    }

    ReferenceBuffer reference;
};

TEST_F(DifferentialTest, RandomSequencesGiveWhatThePlainBufferGives) {
    std::mt19937 sequences(20261206);
    int32_t largestCapacity = 0;
    for (int sequence = 0; sequence < 10000; ++sequence) {
        const int32_t smbMode = sequences() % 4 == 0 ? 1 : 0;
        const int length = sequences() % 100 < 1 ? 150 + static_cast<int>(sequences() % 300)
                                                 : 1 + static_cast<int>(sequences() % 16);
        // Both start from the file the last sequence left, which neither may trust.
        State().smbMode = smbMode;
        CreateCommandBuffer(State().commands);
        ReferenceCreate(reference, std::string(), smbMode);
        reference.fileBytes = EventListBytes();
        CommandGenerator generator(sequences(), smbMode);
        for (int step = 0; step < length; ++step) {
            ASSERT_EQ(Step(generator), "") << "sequence " << sequence << " step " << step;
        }
        largestCapacity = std::max(largestCapacity, State().commands.commandCapacity);
    }
    EXPECT_TRUE(exitCodes.empty());
    EXPECT_GE(largestCapacity, 201) << "the sequences never grew the buffer";
}

}  // namespace
