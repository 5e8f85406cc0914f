// A process adding commands, step by step or in bursts, is terminated at
// random moments; every time, the event list file must hold exactly the
// commands of some complete step: the old list or the new one, never a torn
// or emptied list.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <unordered_set>

#include "app/text_conversion.h"
#include "support/process_win.h"
#include "support/random_commands.h"
#include "support/reference_command_buffer.h"
#include "support/temp_dir.h"
#include "sync/event_list_file.h"

namespace {

constexpr int kSteps = 3000;
constexpr int kKills = 200;

// The file after every step of the child's stream (and before the first).
std::unordered_set<std::string> StepContents(uint32_t seed) {
    ReferenceBuffer reference;
    ReferenceCreate(reference, std::string(), 0);
    std::unordered_set<std::string> contents{""};
    CommandGenerator generator(seed, 0);
    for (int step = 0; step < kSteps; ++step) {
        const GeneratedCommand command = generator.Next();
        ReferenceAdd(reference, command.text.CStr(), command.eventKind);
        ReferenceCount(reference);
        contents.insert(reference.fileBytes);
    }
    return contents;
}

// What a restart reads back, as the file bytes those commands make.
std::string ReadBack(const std::string& path, bool* torn) {
    std::string bytes;
    for (const std::string& line : ReadCommandLines(path, torn)) {
        bytes += line;
        bytes += kEventLineEnd;
    }
    return bytes;
}

TEST(CommandBufferKill, AKilledWriterLeavesTheCommandsOfACompleteStep) {
    TempDir folder;
    const std::string path = folder.Ansi() + "\\events.txt";
    const std::string started = path + ".started";
    const std::wstring program = ProgramFolder() + L"\\doubles\\buffer_child\\buffer_child.exe";
    std::mt19937 random(1206);
    int kills = 0;
    int finished = 0;
    int tornTails = 0;
    int pending = 0;  // kills that found commands in the file
    while (kills < kKills && finished < kKills) {
        std::remove(path.c_str());
        std::remove(started.c_str());
        const uint32_t seed = random();
        // Half the children write every step, half in bursts (group commit).
        const uint32_t burst = random() % 2 == 0 ? 0 : 1 + random() % 64;
        ChildProcess child = StartProcess(L"\"" + program + L"\" \"" + ToWideString(path) + L"\" " +
                                          std::to_wstring(seed) + L" " + std::to_wstring(kSteps) +
                                          L" " + std::to_wstring(burst));
        ASSERT_TRUE(child) << "cannot start " << ToAnsiString(program);
        const DWORD deadline = GetTickCount() + 20000;
        while (!std::filesystem::exists(started) && GetTickCount() < deadline) Sleep(1);
        ASSERT_TRUE(std::filesystem::exists(started)) << "the child did not start";
        Sleep(random() % 80);
        TerminateProcess(child.process.Get(), 9);
        ASSERT_EQ(WaitForSingleObject(child.process.Get(), 10000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(child.process.Get(), &code);
        if (code != 9) {
            ++finished;  // ended before the kill: not a kill
            continue;
        }
        ++kills;
        bool torn = false;
        const std::string content = ReadBack(path, &torn);
        if (torn) ++tornTails;
        if (!content.empty()) ++pending;
        const std::unordered_set<std::string> contents = StepContents(seed);
        ASSERT_TRUE(contents.count(content) == 1)
            << "kill " << kills << " (seed " << seed << ") left:\n"
            << ReadFileBytes(path);
    }
    EXPECT_GE(kills, kKills) << finished << " children ended before they were killed";
    // The kills fell in the middle of the work, not before it.
    EXPECT_GT(pending, kills / 2);
    RecordProperty("kills", kills);
    RecordProperty("tornTails", tornTails);
    std::printf(
        "%d kills (%d with commands pending), %d children ended first, %d cut-short last "
        "lines\n",
        kills, pending, finished, tornTails);
}

}  // namespace
