// Catches: the launcher losing the tool's exit code, waiting on a shown program, or a missing tool.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/process_win.h"
#include "support/temp_dir.h"
#include "support/watcher_bench_win.h"
#include "sync/transfer_runs.h"

namespace {

namespace fs = std::filesystem;

TEST(TransferRunsWinTest, RunProcessGivesTheExitCodeOr259ForAShownProgramOr99) {
    TempDir temp;
    const fs::path tool = temp / "plftp.exe";
    fs::copy_file(DoublePath("transfer_tool", "plftp.exe"), tool);
    const auto control = [&](const std::string& text) {
        WriteFileBytes(temp / "plftp-control.txt", text);
    };
    const auto runs = [&] { return ParseToolLog(ReadFileBytes(temp / "plftp-log.txt")); };
    const std::string line = "\"" + tool.string() + "\" -f x -path y";
    uint32_t childId = 0, error = 0;
    for (const int32_t status : {-1010, 1000, 0}) {
        control("exit " + std::to_string(status) + "\n");
        EXPECT_EQ(RunProcess(line.c_str(), childId, error), status)
            << "CreateProcess error " << error;
    }
    ASSERT_EQ(runs().size(), 3u);
    EXPECT_EQ(runs()[0].show, 0);

    // A program shown to the user is left running after a second: 259 (still active) while it
    // sleeps a minute, however late the second ends on a busy machine.
    control("sleep 60000\n");
    const std::string shown = "\"" + tool.string() + "\" NOTEPAD.EXE";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProcess(shown.c_str(), childId, error), 259) << "CreateProcess error " << error;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900))
        << "the shown program was not given its second";
    ASSERT_TRUE(WaitUntil([&] { return runs().size() == 4; }, 30000));
    EXPECT_EQ(runs()[3].show, 5);
    KillIfRunning({UniqueHandle(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, childId))});

    const std::string missing = "\"" + (temp / "nothere").string() + "\" -f x";
    EXPECT_EQ(RunProcess(missing.c_str(), childId, error), 99);
    EXPECT_EQ(childId, 0u);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
