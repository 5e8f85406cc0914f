// Catches: a kill that leaves the event list torn, emptied or mixed instead of a complete step's.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>

#include "base/text_conversion.h"
#include "support/process_win.h"
#include "support/random_commands.h"
#include "support/reference_command_buffer.h"
#include "support/temp_dir.h"
#include "sync/event_list_file.h"

namespace {

constexpr int kSteps = 3000;
// Each kill starts a child under Wine: 100 of them ran past CTest's 300 s on a loaded machine.
constexpr int kKills = 50;

TEST(CommandBufferKill, AKilledWriterLeavesTheCommandsOfACompleteStep) {
    TempDir folder;
    const std::string path = folder.Ansi() + "\\events.txt";
    const std::string started = path + ".started";
    const std::wstring program = ProgramFolder() + L"\\doubles\\buffer_child\\buffer_child.exe";
    std::mt19937 random(1206);
    int kills = 0, finished = 0, pending = 0;  // pending: commands in the file
    while (kills < kKills && finished < kKills) {
        std::remove(path.c_str());
        std::remove(started.c_str());
        const uint32_t seed = random();
        const uint32_t burst = random() % 2 == 0 ? 0 : 1 + random() % 64;  // 0: every step
        ChildProcess child = StartProcess(L"\"" + program + L"\" \"" + ToWideString(path) + L"\" " +
                                          std::to_wstring(seed) + L" " + std::to_wstring(kSteps) +
                                          L" " + std::to_wstring(burst));
        ASSERT_TRUE(child) << "cannot start " << ToAnsiString(program) << ": error " << child.error
                           << " after " << kills << " kills";
        // The kill falls in the middle of the work: once the first commands are in the file.
        // Asked without opening it: an open handle would stand in the way of its replacement.
        const auto written = [&] {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) &&
                   (data.nFileSizeLow | data.nFileSizeHigh) != 0;
        };
        ASSERT_TRUE(WaitUntil(written, 60000))
            << "the child wrote no command in 60 s (started: " << std::filesystem::exists(started)
            << ")";
        Sleep(random() % 80);
        TerminateProcess(child.process.Get(), 9);
        DWORD code = 0;
        ASSERT_TRUE(WaitForExit(child, 10000, &code));
        if (code != 9) {
            ++finished;  // ended before the kill: not a kill
            continue;
        }
        ++kills;
        std::string content;  // what a restart reads back, as file bytes
        for (const auto& line : ReadCommandLines(path)) content.append(line).append(kEventLineEnd);
        pending += !content.empty();
        ReferenceBuffer reference;
        ReferenceCreate(reference, std::string(), 0);
        std::unordered_set<std::string> steps{""};  // the file after each step and before them
        CommandGenerator generator(seed);
        for (int step = 0; step < kSteps; ++step) {
            const GeneratedCommand command = generator.Next();
            ReferenceAdd(reference, command.text.CStr(), command.eventKind);
            ReferenceCount(reference);
            steps.insert(reference.fileBytes);
        }
        ASSERT_EQ(steps.count(content), 1u) << "kill " << kills << " (seed " << seed << ") left:\n"
                                            << ReadFileBytes(path);
    }
    EXPECT_GE(kills, kKills) << finished << " children ended before they were killed";
    std::printf("%d kills, %d left commands pending, %d children ended first\n", kills, pending,
                finished);
}

}  // namespace
