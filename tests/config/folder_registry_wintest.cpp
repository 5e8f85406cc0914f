// The registry against real processes: a running fake watcher that holds an
// entry, and two registry_churn doubles that register and release their
// folders at the same moment, round after round.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/seams.h"
#include "app/watcher_state.h"
#include "config/folder_registry.h"
#include "notify/process_coordination.h"
#include "support/box_recorder.h"
#include "support/double_process_win.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint32_t> ended;
void RecordEnd(uint32_t code) { ended.push_back(code); }

// Line ends of the text-mode file read as "\n".
std::string ReadText(const fs::path& file) {
    std::string text;
    for (char ch : ReadFileBytes(file)) {
        if (ch != '\r') text += ch;
    }
    return text;
}

class RegistryProcessTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        ended.clear();
        CurrentSeams().endProcess = RecordEnd;
        State().dataDir.Assign(data.Ansi());
        State().processId = CurrentProcessId();
    }
    fs::path File() const { return data / "cnwfolder.txt"; }

    BoxRecorder boxes;
    TempDir data;
};

TEST_F(RegistryProcessTest, AnEntryHeldByARunningWatcherEndsTheNewOneAndStaysAsItWas) {
    DoubleProcess watcher(DoublePath("fake_watcher", "PellaroCNW.exe"), L"60");
    ASSERT_TRUE(watcher.WaitForWindow(20000));
    const std::string held = "C:\\w=" + std::to_string(watcher.Id()) + "\n";
    WriteFileBytes(File(), held);
    State().watchedPath.Assign("C:\\w");

    RegisterWatcher();
    EXPECT_EQ(ReadText(File()), held);
    EXPECT_EQ(ended, std::vector<uint32_t>{0});
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2001});

    // Once that watcher has gone, its id is stale and the entry is claimed.
    watcher.Kill();
    boxes.Clear();
    ended.clear();
    RegisterWatcher();
    EXPECT_EQ(ReadText(File()), "C:\\w=" + std::to_string(CurrentProcessId()) + "\n");
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_TRUE(ended.empty());
}

TEST_F(RegistryProcessTest, TwoWatchersRegisteringTogetherNeverLoseAnEntry) {
    constexpr int kRounds = 150;
    const fs::path churn = DoublePath("registry_churn", "registry_churn.exe");
    ASSERT_TRUE(fs::exists(churn)) << "build the registry_churn double first";
    // Entries of other folders around them must survive too.
    WriteFileBytes(File(), "C:\\before=0\n");

    const std::wstring eventName =
        L"Local\\PellaroChurnStart." + std::to_wstring(GetCurrentProcessId());
    const HANDLE start = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(start, nullptr);
    const std::wstring dataDir = L"\"" + data.Path().wstring() + L"\"";
    const std::wstring rounds = std::to_wstring(kRounds);
    DoubleProcess first(churn, dataDir + L" C:\\churn\\a " + rounds + L" " + eventName);
    DoubleProcess second(churn, dataDir + L" C:\\churn\\b " + rounds + L" " + eventName);
    ASSERT_TRUE(first.Started() && second.Started());
    Sleep(200);
    const auto began = std::chrono::steady_clock::now();
    SetEvent(start);

    // Meanwhile this process reads the registry as a watcher's relative-
    // directory lookup does, without the lock: every read must give a whole
    // file, the old one or the new one, never a cut or empty one.
    const std::string registryPath = data.Ansi() + "\\cnwfolder.txt";
    int reads = 0;
    int wholeReads = 0;
    while (!first.WaitExit(0) || !second.WaitExit(0)) {
        std::string content;
        if (ReadRegistryFile(registryPath.c_str(), content) != RegistryRead::Ok) continue;
        ++reads;
        const bool whole = content.rfind("C:\\before=0\n", 0) == 0 && content.back() == '\n';
        wholeReads += whole ? 1 : 0;
        if (!whole) ADD_FAILURE() << "read a torn registry: \"" << content << "\"";
        if (reads - wholeReads > 5) break;
    }
    EXPECT_GT(reads, 0);

    EXPECT_EQ(first.WaitExit(240000), std::optional<DWORD>(0))
        << "wrong steps of the first watcher";
    EXPECT_EQ(second.WaitExit(240000), std::optional<DWORD>(0))
        << "wrong steps of the second watcher";
    const auto took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    CloseHandle(start);
    std::printf(
        "%d rounds of two concurrent watchers: %.2f s (%.1f ms per register and release), "
        "%d whole reads meanwhile\n",
        kRounds, took, took * 1000.0 / kRounds, wholeReads);

    const std::string after = ReadText(File());
    EXPECT_TRUE(after == "C:\\before=0\nC:\\churn\\a=0\nC:\\churn\\b=0\n" ||
                after == "C:\\before=0\nC:\\churn\\b=0\nC:\\churn\\a=0\n")
        << after;
    // No temporary file is left beside the registry.
    for (const auto& entry : fs::directory_iterator(data.Path()))
        EXPECT_EQ(entry.path().filename(), "cnwfolder.txt");
}

}  // namespace
