// Catches: wrong entry claimed, other entries lost, updates lost between threads, boxes under lock.
#include "config/folder_registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/text_conversion.h"
#include "notify/process_coordination.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

std::vector<uint32_t> endCodes;
uint32_t runningWatcher = 0;
int boxesUnderLock = 0;

// Every box is shown with the lock given back: another thread takes it at once.
int ProbeLock(const std::wstring&, const std::wstring&, uint32_t) {
    const std::string path = std::string(State().dataDir.Str()) + kRegistryPathSuffix;
    std::thread([&path] { boxesUnderLock += !RegistryLock(path.c_str(), 0).Held(); }).join();
    return -1;
}

class RegistryTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        endCodes.clear();
        runningWatcher = boxesUnderLock = 0;
        CurrentSeams().endProcess = [](uint32_t code) { endCodes.push_back(code); };
        ReplaceRunningWatcherCheck(
            [](const char* id) { return ParseProcessId(id) == runningWatcher; });
        State().dataDir.Assign(data.Ansi());
        State().processId = CurrentProcessId();
        boxes.PassTo(ProbeLock);
    }
    void TearDown() override {
        EXPECT_EQ(boxesUnderLock, 0);
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }
    // "{pid}" stands for this process's id.
    std::string WithPid(std::string text) const {
        for (std::size_t at; (at = text.find("{pid}")) != text.npos;) text.replace(at, 5, pid);
        return text;
    }
    // The content with "\r" dropped (a text-mode file).
    std::string Read() const {
        std::string text = ReadFileBytes(file);
        std::erase(text, '\r');
        return text;
    }
    BoxRecorder boxes;
    TempDir data;
    const std::filesystem::path file = data / "cnwfolder.txt";
    const std::string pid = std::to_string(CurrentProcessId());
    unsigned originalCodePage = CurrentAnsiCodePage();
};

TEST_F(RegistryTest, StartUpClaimsAStaleCoveringEntryOrAppendsTheOwnLine) {
    // Keys compare as characters: in code page 932, 95 5C is 表, never a lead byte and "\\".
    const bool cp932 = SelectAnsiCodePage(932);
    // before (null: no file), watched, running id, after, entry taken, -2001 shown, ended
    const std::tuple<const char*, const char*, uint32_t, std::string, int, bool, bool> cases[] = {
        {nullptr, "C:\\w", 0, "C:\\w={pid}\n", 0, false, false},
        {"C:\\w=4711\n", "C:\\w", 4711, "C:\\w=4711\n", 0, true, true},
        {"C:\\w=4711\n", "C:\\w", 0, "C:\\w={pid}\n", 1, false, false},  // stale id
        {"C:\\w={pid}\n", "C:\\w", CurrentProcessId(), "C:\\w={pid}\n", 1, false, false},  // own id
        {"C:\\w=0\n", "C:\\w\\sub", 0, "C:\\w={pid}\n", 1, false, false},  // ancestor
        {"C:\\w\\sub=0\n", "C:\\w", 0, "C:\\w\\sub=0\nC:\\w={pid}\n", 0, false, false},
        {"c:\\W=0\n", "C:\\w", 0, "c:\\W=0\nC:\\w={pid}\n", 0, false, false},
        {"C:\\w=0\n", "C:\\ww", 0, "C:\\w=0\nC:\\ww={pid}\n", 0, false, false},
        {"C:\\a=0\nC:\\a\\b=9\n", "C:\\a\\b", 9, "C:\\a={pid}\nC:\\a\\b=9\n", 1, true, false},
        {"C:\\a=9\nC:\\a\\b=0\n", "C:\\a\\b", 9, "C:\\a=9\nC:\\a\\b=0\n", 0, true, true},
        {"\nnot an entry\nC:\\w=abc\n\n", "C:\\w", 0, "C:\\w={pid}\n", 1, false, false},
        {"C:\\w\\=0\n", "C:\\w\\x", 0, "C:\\w\\=0\nC:\\w\\x={pid}\n", 0, false, false},
        {"C:\\w\\\x95=0\n", "C:\\w\\\x95\x5C", 0, "C:\\w\\\x95=0\nC:\\w\\\x95\x5C={pid}\n", 0,
         false, false},
        {"C:\\\x95\x5C=0\n", "C:\\\x95\x5C\\\x95\x5C", 0, "C:\\\x95\x5C={pid}\n", 1, false, false},
    };
    for (const auto& [before, watched, running, after, taken, shown, ended] : cases) {
        if (!cp932 && std::string_view(watched).find('\x95') != std::string_view::npos) continue;
        SCOPED_TRACE(std::string(before ? before : "no file") + " watching " + watched);
        std::filesystem::remove(file);
        if (before) WriteFileBytes(file, WithPid(before));
        State().registryEntryTaken = 0;
        State().watchedPath.Assign(watched);
        runningWatcher = running;
        boxes.Clear();
        endCodes.clear();
        RegisterWatcher();
        EXPECT_EQ(Read(), WithPid(after));
        EXPECT_EQ(State().registryEntryTaken, taken);
        EXPECT_EQ(boxes.Codes(), shown ? std::vector<int32_t>{-2001} : std::vector<int32_t>{});
        EXPECT_EQ(endCodes, ended ? std::vector<uint32_t>{0} : std::vector<uint32_t>{});
    }
}

// A release or claim that fails leaves the file as it was.
TEST_F(RegistryTest, FailuresLeaveTheFileAsItWas) {
    WriteFileBytes(file, "C:\\w=5\n");
    std::filesystem::create_directory(data / ("cnwfolder.txt." + pid + ".tmp"));
    SetRegistryOwner("C:\\w", false);
    EXPECT_EQ(Read(), "C:\\w=5\n");
    // A registry that cannot be read is never replaced by this watcher's line.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    State().watchedPath.Assign("C:\\w");
    RegisterWatcher();
    EXPECT_TRUE(std::filesystem::is_directory(file));
    std::filesystem::remove(file);
    SetRegistryOwner("C:\\w", false);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(boxes.Codes(), (std::vector<int32_t>{-2004, -2004, -2007}));
    EXPECT_EQ(endCodes, std::vector<uint32_t>{1});
}

// Threads stand in for watchers (the lock is per thread on every platform): each counts its own
// entry up, so an update lost between a read and a rewrite leaves a count short.
TEST_F(RegistryTest, TheLockMakesEveryReadAndRewriteOneStep) {
    const std::string path = data.Ansi() + "/cnwfolder.txt";
    WriteFileBytes(file, "C:\\t0=0\nC:\\t1=0\nC:\\t2=0\nC:\\t3=0\n");
    std::vector<std::thread> threads;
    for (const std::string folder : {"C:\\t0", "C:\\t1", "C:\\t2", "C:\\t3"}) {
        threads.emplace_back([&path, folder] {
            for (int round = 0; round < 50; ++round) {
                const RegistryLock lock(path.c_str());
                std::string content;
                ReadRegistryFile(path.c_str(), content);
                uint32_t count = 0;
                for (std::string_view line : SplitRegistryLines(content))
                    if (RegistryKey(line) == folder) count = ParseProcessId(RegistryValue(line));
                const std::string next = std::to_string(count + 1);
                ReplaceRegistryFile(path.c_str(), RewriteRegistryOwner(content, folder, next));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(Read(), "C:\\t0=50\nC:\\t1=50\nC:\\t2=50\nC:\\t3=50\n");
}

}  // namespace
