#include "config/folder_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "app/seams.h"
#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "notify/message_catalogue.h"
#include "notify/process_coordination.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

// What the fakes saw; static because the seams are plain function pointers.
std::vector<uint32_t> endCodes;
std::set<uint32_t> runningWatchers;
int watcherChecks = 0;

void RecordEnd(uint32_t code) { endCodes.push_back(code); }
void NoSleep(uint32_t) {}

// Behaves as the real check does for the ids the test calls running.
bool FakeRunningWatcher(const char* processIdText) {
    ++watcherChecks;
    return runningWatchers.count(ParseProcessId(processIdText)) != 0;
}

// Every box is shown with the registry's lock given back: another thread
// (a watcher starting meanwhile) takes it at once.
int boxesUnderLock = 0;
int ProbeLock(const std::wstring&, const std::wstring&, uint32_t) {
    const std::string dataDir(State().dataDir.Str());
    if (!std::filesystem::is_directory(dataDir)) return -1;  // no lock to take there
    std::thread([&dataDir] {
        if (!RegistryLock((dataDir + kRegistryPathSuffix).c_str(), 0).Held()) ++boxesUnderLock;
    }).join();
    return -1;
}

class RegistryTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        endCodes.clear();
        runningWatchers.clear();
        watcherChecks = 0;
        CurrentSeams().endProcess = RecordEnd;
        CurrentSeams().sleepMs = NoSleep;
        previousCheck = ReplaceRunningWatcherCheck(FakeRunningWatcher);
        State().dataDir.Assign(data.Ansi());
        State().processId = CurrentProcessId();
        pid = std::to_string(State().processId);
        boxesUnderLock = 0;
        boxes.PassTo(ProbeLock);
    }
    void TearDown() override {
        EXPECT_EQ(boxesUnderLock, 0);
        ReplaceRunningWatcherCheck(previousCheck);
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }

    std::filesystem::path File() const { return data / "cnwfolder.txt"; }
    void Write(const std::string& content) { WriteFileBytes(File(), WithPid(content)); }
    // The content with "\r" dropped (a text-mode file), or nullopt without a file.
    std::optional<std::string> Read() const {
        if (!std::filesystem::exists(File())) return std::nullopt;
        std::string text;
        for (char ch : ReadFileBytes(File()))
            if (ch != '\r') text += ch;
        return text;
    }
    std::string Relative() const { return std::string(State().relativeDir.Str()); }
    // "{pid}" stands for this process's id.
    std::string WithPid(std::string text) const {
        for (std::size_t at; (at = text.find("{pid}")) != text.npos;) text.replace(at, 5, pid);
        return text;
    }
    BoxRecorder boxes;
    TempDir data;
    std::string pid;
    unsigned originalCodePage = CurrentAnsiCodePage();

private:
    RunningWatcherCheck previousCheck = nullptr;
};

TEST_F(RegistryTest, StartUpClaimsAStaleCoveringEntryOrAppendsTheOwnLine) {
    enum Outcome { kQuiet, kShown, kShownAndEnded };  // -2001 shown; process ended with 0
    // registry before (nullopt: no file), watched folder, running watcher ids, registry after,
    // registryEntryTaken, outcome
    const uint32_t self = CurrentProcessId();
    const std::vector<std::tuple<std::optional<std::string>, const char*, std::set<uint32_t>,
                                 std::string, int, Outcome>>
        cases = {
        {std::nullopt, "C:\\w", {}, "C:\\w={pid}\n", 0, kQuiet},
        {"C:\\w=0\n", "C:\\w", {}, "C:\\w={pid}\n", 1, kQuiet},
        {"C:\\w=4711\n", "C:\\w", {4711}, "C:\\w=4711\n", 0, kShownAndEnded},
        {"C:\\w=4711\n", "C:\\w", {}, "C:\\w={pid}\n", 1, kQuiet},  // stale or foreign id
        {"C:\\w=0\n", "C:\\w\\sub", {}, "C:\\w={pid}\n", 1, kQuiet},  // ancestor taken over
        {"C:\\w\\sub=0\n", "C:\\w", {}, "C:\\w\\sub=0\nC:\\w={pid}\n", 0, kQuiet},
        {"c:\\W=0\n", "C:\\w", {}, "c:\\W=0\nC:\\w={pid}\n", 0, kQuiet},
        {"C:\\w=0\n", "C:\\ww", {}, "C:\\w=0\nC:\\ww={pid}\n", 0, kQuiet},
        {"C:\\a=0\nC:\\a\\b=4711\n", "C:\\a\\b", {4711}, "C:\\a={pid}\nC:\\a\\b=4711\n", 1,
         kShown},
        {"C:\\a=4711\nC:\\a\\b=0\n", "C:\\a\\b", {4711}, "C:\\a=4711\nC:\\a\\b=0\n", 0,
         kShownAndEnded},
        {"\nnot an entry\nC:\\w=0\n\n", "C:\\w", {}, "C:\\w={pid}\n", 1, kQuiet},
        {"C:\\a=b=0\n", "C:\\a=b", {}, "C:\\a=b={pid}\n", 1, kQuiet},
        {"C:\\w\\=0\n", "C:\\w\\", {}, "C:\\w\\={pid}\n", 1, kQuiet},
        {"C:\\w\\=0\n", "C:\\w\\x", {}, "C:\\w\\=0\nC:\\w\\x={pid}\n", 0, kQuiet},
        {"C:\\w=abc\n", "C:\\w", {}, "C:\\w={pid}\n", 1, kQuiet},
        {"C:\\w={pid}\n", "C:\\w", {self}, "C:\\w={pid}\n", 1, kQuiet},  // own id
        {"C:\\v=0", "C:\\w", {}, "C:\\v=0\nC:\\w={pid}\n", 0, kQuiet},
    };
    for (const auto& [before, watched, running, after, taken, outcome] : cases) {
        SCOPED_TRACE(before.value_or("no file") + " watching " + watched);
        std::filesystem::remove(File());
        if (before) Write(*before);
        State().registryEntryTaken = 0;
        State().watchedPath.Assign(watched);
        runningWatchers = running;
        boxes.Clear();
        endCodes.clear();

        RegisterWatcher();

        EXPECT_EQ(Read(), WithPid(after));
        EXPECT_EQ(State().registryEntryTaken, taken);
        EXPECT_EQ(boxes.Codes(), outcome == kQuiet ? std::vector<int32_t>{}
                                                   : std::vector<int32_t>{-2001});
        EXPECT_EQ(endCodes, outcome == kShownAndEnded ? std::vector<uint32_t>{0}
                                                      : std::vector<uint32_t>{});
        for (const RecordedBox& box : boxes.Boxes())
            EXPECT_EQ(ToAnsiString(box.caption), watched);
    }
}

TEST_F(RegistryTest, OnlyNumericNonZeroOwnersAreChecked) {
    Write("C:\\w=0\nC:\\w=abc\nC:\\w=12\n");
    State().watchedPath.Assign("C:\\w");
    EXPECT_TRUE(ClaimRegistryEntries((data.Ansi() + "/cnwfolder.txt").c_str()));
    EXPECT_EQ(watcherChecks, 1);
    EXPECT_EQ(State().registryEntryTaken, 1);
}

TEST_F(RegistryTest, FailuresShowTheirCodeAndLeaveTheFileAsItWas) {
    State().watchedPath.Assign("C:\\w");
    // Start-up: no data folder, or a registry that cannot be read (never
    // replaced by a file holding only this watcher's line).
    for (bool unreadable : {false, true}) {
        boxes.Clear();
        endCodes.clear();
        State().dataDir.Assign(data.Ansi() + (unreadable ? "" : "/missing-folder"));
        if (unreadable) std::filesystem::create_directory(File());
        RegisterWatcher();
        EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2004});
        EXPECT_EQ(endCodes, std::vector<uint32_t>{1});
    }
    EXPECT_TRUE(std::filesystem::is_directory(File()));
    std::filesystem::remove(File());

    boxes.Clear();
    SetRegistryOwner("C:\\w", false);
    EXPECT_EQ(Read(), std::nullopt);
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2007});
    EXPECT_EQ(ToAnsiString(boxes.Boxes().at(0).caption), "C:\\w");

    // The temporary file cannot be made: the old file is not touched.
    boxes.Clear();
    Write("C:\\w=5\n");
    std::filesystem::create_directory(data / ("cnwfolder.txt." + pid + ".tmp"));
    SetRegistryOwner("C:\\w", false);
    EXPECT_EQ(Read(), "C:\\w=5\n");
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2004});
}

TEST_F(RegistryTest, OwnerUpdatesChangeTheFirstCoveringEntryOnly) {
    const std::tuple<const char*, const char*, bool, const char*> cases[] = {
        {"C:\\v=7\nC:\\w={pid}\n", "C:\\w", false, "C:\\v=7\nC:\\w=0\n"},  // release at close
        // Quotes around a folder with a space are not part of it.
        {"C:\\a b=0\nC:\\a b\\c=0\nC:\\a b=0\n", "\"C:\\a b\\c\"", true,
         "C:\\a b={pid}\nC:\\a b\\c=0\nC:\\a b=0\n"},
        {"junk\nC:\\v=7\n\n", "C:\\w", true, "C:\\v=7\n"},  // no covering entry
        {"\n\n", "C:\\w", true, ""},
    };
    State().watchedPath.Assign("C:\\w");
    for (const auto& [before, folder, own, after] : cases) {
        Write(before);
        SetRegistryOwner(folder, own);
        EXPECT_EQ(Read(), WithPid(after)) << before;
    }
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(RegistryTest, ARewriteKeepsEveryEntryOfALargeRegistryAndLongLines) {
    std::string before;
    for (int i = 0; i < 150; ++i) before += "C:\\f" + std::to_string(i) + "=0\n";
    Write(before);
    State().watchedPath.Assign("C:\\f120");
    RegisterWatcher();
    std::string expected = before;
    expected.replace(expected.find("C:\\f120=0"), 9, "C:\\f120=" + pid);
    EXPECT_EQ(Read(), expected);
    EXPECT_EQ(State().registryEntryTaken, 1);

    // Entries longer than a 512-byte line buffer, of another watcher and of
    // this one, and an empty key survive every rewrite unchanged.
    const std::string kept = "C:\\" + std::string(600, 'o') + "=7\n=5\n";
    const std::string own = "C:\\" + std::string(505, 'w');
    Write(kept);
    State().watchedPath.Assign(own);
    RegisterWatcher();
    EXPECT_EQ(Read(), kept + own + "=" + pid + "\n");
    SetRegistryOwner(own.c_str(), false);
    EXPECT_EQ(Read(), kept + own + "=0\n");
    RegisterWatcher();
    EXPECT_EQ(Read(), kept + own + "=" + pid + "\n");
    EXPECT_EQ(State().registryEntryTaken, 1);

    // An empty key names no folder, not even one that begins with a backslash.
    EXPECT_FALSE(KeyCoversFolder("", "\\\\srv\\share", RegistryMatch::CaseSensitive));
    EXPECT_FALSE(KeyIsAncestorOf("", "\\x\\", RegistryMatch::IgnoreCase));
}

TEST_F(RegistryTest, RelativeDirectoryIsTheItemDirectoryBelowItsRoot) {
    // registry (null: no file), item directory, smbMode, networkFolder, relative directory
    const std::tuple<const char*, const char*, int, int, const char*> cases[] = {
        {"C:\\w=0\n", "C:\\w\\", 0, 0, "/"},
        {"C:\\w=0\n", "C:\\W\\sub\\deep\\", 0, 0, "/sub/deep/"},
        {"C:\\w=0\n", "D:\\other\\x\\", 0, 0, "D:/other/x/"},
        {"C:\\w=0\n", "D:\\other\\x\\", 0, 1, "/D:/other/x/"},
        {"C:\\w=0\n", "C:\\W\\sub\\deep\\", 1, 0, "\\sub\\deep\\"},
        {"C:\\w=0\n", "C:\\W\\sub\\deep\\", 0, 1, "/sub/deep/"},
        {"c:\\W=0\n", "C:\\w\\x\\", 0, 0, "/x/"},
        {"C:\\w\\=0\n", "C:\\w\\x\\", 0, 0, "C:/w/x/"},
        {"C:\\ww=0\nC:\\w=0\n", "C:\\w\\x\\", 0, 0, "/x/"},
        {"no entry\nC:\\w\n", "C:\\w\\x\\", 0, 0, "C:/w/x/"},
        {nullptr, "C:\\w\\x\\", 0, 0, "C:/w/x/"},
        {"C:\\w=0\n", "", 0, 0, "/"},
    };
    for (const auto& [registry, itemDir, smb, network, relative] : cases) {
        std::filesystem::remove(File());
        if (registry) Write(registry);
        State().itemDir.Assign(itemDir);
        State().smbMode = smb;
        State().networkFolder = network;
        RelativeDirectory();
        EXPECT_EQ(Relative(), relative) << itemDir << " smb " << smb << " net " << network;
    }
}

// Threads stand in for watchers (the lock is per thread on every platform):
// each counts its own entry up; an update lost between a read and a rewrite
// would leave a count short.
TEST_F(RegistryTest, TheLockMakesEveryReadAndRewriteOneStep) {
    constexpr int kThreads = 4, kRounds = 50;
    const std::string path = data.Ansi() + "/cnwfolder.txt";
    std::string initial, expected;
    for (int t = 0; t < kThreads; ++t) {
        initial += "C:\\t" + std::to_string(t) + "=0\n";
        expected += "C:\\t" + std::to_string(t) + "=" + std::to_string(kRounds) + "\n";
    }
    Write(initial);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string folder = "C:\\t" + std::to_string(t);
            for (int round = 1; round <= kRounds; ++round) {
                const RegistryLock lock(path.c_str());
                std::string content;
                if (!lock.Held() || ReadRegistryFile(path.c_str(), content) != RegistryRead::Ok) {
                    ++failures;
                    continue;
                }
                uint32_t count = 0;
                for (std::string_view line : SplitRegistryLines(content))
                    if (IsRegistryEntry(line) && RegistryKey(line) == folder)
                        count = ParseProcessId(RegistryValue(line));
                const std::string next = std::to_string(count + 1);
                if (!ReplaceRegistryFile(path.c_str(), RewriteRegistryOwner(content, folder, next)))
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Read(), expected);
}

// In code page 932 a key is compared as characters: for a damaged key that
// ends in the bare lead byte of 表 (95 5C), a byte-wise test would take the
// trail byte 5C of the folder's 表 for the backslash after the key.
TEST_F(RegistryTest, CodePage932KeysAndDirectoriesKeepTheirCharactersWhole) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    const std::string hyo = "\x95\x5C";  // 表
    EXPECT_FALSE(KeyCoversFolder("C:\\w\\\x95", "C:\\w\\" + hyo, RegistryMatch::CaseSensitive));
    EXPECT_FALSE(KeyIsAncestorOf("C:\\w\\\x95", "C:\\w\\" + hyo + "\\", RegistryMatch::IgnoreCase));
    EXPECT_TRUE(KeyCoversFolder("C:\\" + hyo, "C:\\" + hyo + "\\x", RegistryMatch::CaseSensitive));

    Write("C:\\" + hyo + "=0\n");
    State().watchedPath.Assign("C:\\" + hyo + "\\" + hyo);
    RegisterWatcher();
    EXPECT_EQ(Read(), "C:\\" + hyo + "=" + pid + "\n");

    State().itemDir.Assign("C:\\" + hyo + "\\" + hyo + "\\" + hyo + "\\");
    RelativeDirectory();
    EXPECT_EQ(Relative(), "/" + hyo + "/" + hyo + "/");
    State().smbMode = 1;
    RelativeDirectory();
    EXPECT_EQ(Relative(), "\\" + hyo + "\\" + hyo + "\\");
}

}  // namespace
