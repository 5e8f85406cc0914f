// The real buffer against the plain one: random sequences of additions,
// handler counts (with holes and missed counts), firings, shutdown saves and
// group commits; after every step both must hold the same slots, counts and
// flag, and their event list files the same bytes (once a queued flush has
// come).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>

#include "app/watcher_state.h"
#include "support/buffer_fixture.h"
#include "support/random_commands.h"
#include "support/reference_command_buffer.h"
#include "sync/command_buffer.h"

namespace {

std::string Slurp(const std::string& path) {
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[8192];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
        std::fclose(file);
    }
    return bytes;
}

class DifferentialTest : public BufferTest {
protected:
    void Start(int32_t smbMode) {
        State().smbMode = smbMode;
        CreateCommandBuffer(State().commands);
        // The plain buffer's file stays in memory: the real one's is read back.
        // Both start from what the last sequence left in the file, which
        // neither may trust.
        ReferenceCreate(reference, std::string(), smbMode);
        reference.fileBytes = Slurp(eventList);
    }

    // Empty when both agree, else what differs.
    std::string Difference() const {
        const CommandBuffer& real = State().commands;
        std::ostringstream out;
        if (real.commandCapacity != reference.capacity) out << "capacity ";
        if (real.commandCount != reference.count) out << "commandCount ";
        if (real.duplicateCommand != reference.duplicate) out << "duplicateCommand ";
        if (real.commandSlots.size() == reference.slots.size()) {
            for (std::size_t i = 0; i < real.commandSlots.size(); ++i) {
                if (real.commandSlots[i].Str() != reference.slots[i].Str()) {
                    out << "slot " << i << " [" << real.commandSlots[i].Str() << "] vs ["
                        << reference.slots[i].Str() << "] ";
                    break;
                }
            }
        }
        // While a flush message is queued the file may lag behind.
        const std::string realBytes = real.flushQueued ? reference.fileBytes : Slurp(eventList);
        const std::string& referenceBytes = reference.fileBytes;
        if (realBytes != referenceBytes) {
            out << "file:\n" << realBytes << "-- vs --\n" << referenceBytes;
        }
        return out.str();
    }

    // One step of a sequence; returns what it did, for the failure report.
    std::string Step(CommandGenerator& generator) {
        const uint32_t action = generator.Below(1000);
        if (action < 8) {
            // A firing: the file, brought level first, goes to the tool, an
            // empty one stays behind.
            FlushEventList();
            EmptyCommandBuffer();
            ReferenceEmpty(reference);
            WriteFileBytes(eventList, "");
            reference.fileBytes.clear();
            return "fire";
        }
        if (action < 14) {
            SaveAndClearBuffer();
            ReferenceSaveAndClear(reference);
            return "save and clear";
        }
        if (action < 40) {
            // Group commit: the dialog posts its flush message, or it arrives.
            if (State().commands.flushQueued) {
                EventListFlushArrived();
                return "flush";
            }
            RequestEventListFlush();
            return "flush queued";
        }
        const GeneratedCommand command = generator.Next();
        AddCommand(command.text.CStr(), command.eventKind);
        ReferenceAdd(reference, command.text.CStr(), command.eventKind);
        std::string done =
            "add " + std::to_string(command.eventKind) + " " + std::string(command.text.Str());
        const std::string after = Difference();
        if (!after.empty()) return done + "\n" + after;
        // The handler's count: now and then an event counted without a
        // command (a hole), or a count that did not happen.
        const uint32_t count = generator.Below(100);
        CommandBuffer& real = State().commands;
        if (count >= 4) {
            if (real.duplicateCommand == 0) ++real.commandCount;
            if (reference.duplicate == 0) ++reference.count;
        }
        if (count >= 4 && count < 8) {
            ++real.commandCount;
            ++reference.count;
        }
        real.duplicateCommand = 0;
        reference.duplicate = 0;
        return done;
    }

    ReferenceBuffer reference;
};

TEST_F(DifferentialTest, RandomSequencesGiveWhatThePlainBufferGives) {
    constexpr int kSequences = 10000;
    std::mt19937 sequences(20261206);
    int longest = 0;
    int32_t largestCapacity = 0;
    for (int sequence = 0; sequence < kSequences; ++sequence) {
        const int32_t smbMode = sequences() % 4 == 0 ? 1 : 0;
        // Mostly short sequences; one in a hundred long enough to grow the buffer.
        const int length = sequences() % 100 < 1 ? 150 + static_cast<int>(sequences() % 300)
                                                 : 1 + static_cast<int>(sequences() % 16);
        Start(smbMode);
        CommandGenerator generator(sequences(), smbMode);
        for (int step = 0; step < length; ++step) {
            // Additions are compared inside the step, before the count.
            const std::string done = Step(generator);
            const std::string difference = done.rfind("add ", 0) == 0 ? "" : Difference();
            if (!difference.empty() || done.find('\n') != std::string::npos) {
                FAIL() << "sequence " << sequence << " step " << step << ": " << done << "\n"
                       << difference;
            }
        }
        longest = std::max(longest, length);
        largestCapacity = std::max(largestCapacity, State().commands.commandCapacity);
    }
    EXPECT_TRUE(exitCodes.empty());
    // The sequences did reach the growth of the buffer.
    EXPECT_GE(largestCapacity, 201);
    EXPECT_GE(longest, 400);
}

}  // namespace
