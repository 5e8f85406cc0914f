// The registry against real processes: a running fake watcher that holds an
// entry, and two registry_churn doubles that register and release their
// folders at the same moment, round after round.
#include <windows.h>

#include <gtest/gtest.h>

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
    // Line ends of the text-mode file read as "\n".
    std::string Read() const {
        std::string text;
        for (char ch : ReadFileBytes(File()))
            if (ch != '\r') text += ch;
        return text;
    }
    BoxRecorder boxes;
    TempDir data;
};

// With the real running-watcher check.
TEST_F(RegistryProcessTest, AnEntryHeldByARunningWatcherEndsTheNewOneAndStaysAsItWas) {
    DoubleProcess watcher(DoublePath("fake_watcher", "PellaroCNW.exe"), L"60");
    ASSERT_TRUE(watcher.WaitForWindow(20000));
    const std::string held = "C:\\w=" + std::to_string(watcher.Id()) + "\n";
    WriteFileBytes(File(), held);
    State().watchedPath.Assign("C:\\w");
    RegisterWatcher();
    EXPECT_EQ(Read(), held);
    EXPECT_EQ(ended, std::vector<uint32_t>{0});
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2001});
}

TEST_F(RegistryProcessTest, TwoWatchersRegisteringTogetherNeverLoseAnEntry) {
    const fs::path churn = DoublePath("registry_churn", "registry_churn.exe");
    ASSERT_TRUE(fs::exists(churn)) << "build the registry_churn double first";
    WriteFileBytes(File(), "C:\\before=0\n");  // other folders' entries must survive too

    const std::wstring eventName =
        L"Local\\PellaroChurnStart." + std::to_wstring(GetCurrentProcessId());
    const HANDLE start = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(start, nullptr);
    const std::wstring common = L"\"" + data.Path().wstring() + L"\" C:\\churn\\";
    const std::wstring rest = L" 150 " + eventName;  // rounds, start event
    DoubleProcess first(churn, common + L"a" + rest), second(churn, common + L"b" + rest);
    ASSERT_TRUE(first.Started() && second.Started());
    Sleep(200);
    SetEvent(start);

    // Meanwhile a read without the lock, as a relative-directory lookup does,
    // must give a whole file, the old one or the new one, never a cut one.
    const std::string registryPath = data.Ansi() + "\\cnwfolder.txt";
    int reads = 0, torn = 0;
    while ((!first.WaitExit(0) || !second.WaitExit(0)) && torn <= 5) {
        std::string content;
        if (ReadRegistryFile(registryPath.c_str(), content) != RegistryRead::Ok) continue;
        ++reads;
        if (content.rfind("C:\\before=0\n", 0) != 0 || content.back() != '\n') {
            ++torn;
            ADD_FAILURE() << "read a torn registry: \"" << content << "\"";
        }
    }
    EXPECT_GT(reads, 0);
    EXPECT_EQ(first.WaitExit(240000), std::optional<DWORD>(0)) << "first watcher";
    EXPECT_EQ(second.WaitExit(240000), std::optional<DWORD>(0)) << "second watcher";
    CloseHandle(start);

    const std::string after = Read();
    EXPECT_TRUE(after == "C:\\before=0\nC:\\churn\\a=0\nC:\\churn\\b=0\n" ||
                after == "C:\\before=0\nC:\\churn\\b=0\nC:\\churn\\a=0\n")
        << after;
    // No temporary file is left beside the registry.
    for (const auto& entry : fs::directory_iterator(data.Path()))
        EXPECT_EQ(entry.path().filename(), "cnwfolder.txt");
}

}  // namespace
