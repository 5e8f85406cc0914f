#include "config/folder_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
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
    if (runningWatchers.count(ParseProcessId(processIdText)) == 0) return false;
    ShowMessage(-2001, State().watchedPath.CStr());
    return true;
}

// A registry in a fresh data directory, with this process as the watcher and
// every box, end and running-watcher check recorded.
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
    }
    void TearDown() override {
        ReplaceRunningWatcherCheck(previousCheck);
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }

    std::filesystem::path File() const { return data / "cnwfolder.txt"; }
    void Write(const std::string& content) { WriteFileBytes(File(), content); }
    // The content as text: the line ends of a text-mode file read as "\n".
    std::optional<std::string> Read() const {
        if (!std::filesystem::exists(File())) return std::nullopt;
        std::string bytes = ReadFileBytes(File());
        std::string text;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
            text += bytes[i];
        }
        return text;
    }
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
    struct Case {
        const char* what;
        std::optional<std::string> before;
        const char* watched;
        std::set<uint32_t> running;
        std::string after;  // "{pid}" = this process
        int taken;
        std::vector<int32_t> shown;
        std::vector<uint32_t> ended;
    };
    const std::vector<Case> cases = {
        {"no file", std::nullopt, "C:\\w", {}, "C:\\w={pid}\n", 0, {}, {}},
        {"free entry", "C:\\w=0\n", "C:\\w", {}, "C:\\w={pid}\n", 1, {}, {}},
        {"running watcher holds it",
         "C:\\w=4711\n",
         "C:\\w",
         {4711},
         "C:\\w=4711\n",
         0,
         {-2001},
         {0}},
        {"stale or foreign id", "C:\\w=4711\n", "C:\\w", {}, "C:\\w={pid}\n", 1, {}, {}},
        {"ancestor taken over", "C:\\w=0\n", "C:\\w\\sub", {}, "C:\\w={pid}\n", 1, {}, {}},
        {"subfolder entry",
         "C:\\w\\sub=0\n",
         "C:\\w",
         {},
         "C:\\w\\sub=0\nC:\\w={pid}\n",
         0,
         {},
         {}},
        {"other case", "c:\\W=0\n", "C:\\w", {}, "c:\\W=0\nC:\\w={pid}\n", 0, {}, {}},
        {"longer name", "C:\\w=0\n", "C:\\ww", {}, "C:\\w=0\nC:\\ww={pid}\n", 0, {}, {}},
        {"stale then running",
         "C:\\a=0\nC:\\a\\b=4711\n",
         "C:\\a\\b",
         {4711},
         "C:\\a={pid}\nC:\\a\\b=4711\n",
         1,
         {-2001},
         {}},
        {"running then stale",
         "C:\\a=4711\nC:\\a\\b=0\n",
         "C:\\a\\b",
         {4711},
         "C:\\a=4711\nC:\\a\\b=0\n",
         0,
         {-2001},
         {0}},
        {"non-entries dropped",
         "\nnot an entry\nC:\\w=0\n\n",
         "C:\\w",
         {},
         "C:\\w={pid}\n",
         1,
         {},
         {}},
        {"key with =", "C:\\a=b=0\n", "C:\\a=b", {}, "C:\\a=b={pid}\n", 1, {}, {}},
        {"trailing backslash, exact", "C:\\w\\=0\n", "C:\\w\\", {}, "C:\\w\\={pid}\n", 1, {}, {}},
        {"trailing backslash, below",
         "C:\\w\\=0\n",
         "C:\\w\\x",
         {},
         "C:\\w\\=0\nC:\\w\\x={pid}\n",
         0,
         {},
         {}},
        {"owner not a number", "C:\\w=abc\n", "C:\\w", {}, "C:\\w={pid}\n", 1, {}, {}},
        {"own id left by an ended process",
         "C:\\w={pid}\n",
         "C:\\w",
         {CurrentProcessId()},
         "C:\\w={pid}\n",
         1,
         {},
         {}},
        {"last line without feed", "C:\\v=0", "C:\\w", {}, "C:\\v=0\nC:\\w={pid}\n", 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(File());
        if (c.before) Write(WithPid(*c.before));
        State().registryEntryTaken = 0;
        State().watchedPath.Assign(c.watched);
        runningWatchers = c.running;
        boxes.Clear();
        endCodes.clear();

        RegisterWatcher();

        EXPECT_EQ(Read(), WithPid(c.after));
        EXPECT_EQ(State().registryEntryTaken, c.taken);
        EXPECT_EQ(boxes.Codes(), c.shown);
        EXPECT_EQ(endCodes, c.ended);
        for (const RecordedBox& box : boxes.Boxes())
            EXPECT_EQ(ToAnsiString(box.caption), c.watched);
    }
}

TEST_F(RegistryTest, OnlyNumericNonZeroOwnersAreChecked) {
    Write("C:\\w=0\nC:\\w=abc\nC:\\w=12\n");
    State().watchedPath.Assign("C:\\w");
    EXPECT_TRUE(ClaimRegistryEntries((data.Ansi() + "/cnwfolder.txt").c_str()));
    EXPECT_EQ(watcherChecks, 1);
    EXPECT_EQ(State().registryEntryTaken, 1);
}

TEST_F(RegistryTest, AnUnwritableOrUnreadableRegistryEndsTheStartWithCode1) {
    State().watchedPath.Assign("C:\\w");
    State().dataDir.Assign(data.Ansi() + "/missing-folder");
    RegisterWatcher();
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2004});
    EXPECT_EQ(endCodes, std::vector<uint32_t>{1});

    // A registry that exists but cannot be read is never replaced by a file
    // holding only this watcher's line.
    boxes.Clear();
    endCodes.clear();
    State().dataDir.Assign(data.Ansi());
    std::filesystem::create_directory(File());
    RegisterWatcher();
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2004});
    EXPECT_EQ(endCodes, std::vector<uint32_t>{1});
    EXPECT_TRUE(std::filesystem::is_directory(File()));
}

TEST_F(RegistryTest, OwnerUpdatesChangeTheFirstCoveringEntryOnly) {
    State().watchedPath.Assign("C:\\w");
    // Release at close.
    Write(WithPid("C:\\v=7\nC:\\w={pid}\n"));
    SetRegistryOwner("C:\\w", false);
    EXPECT_EQ(Read(), "C:\\v=7\nC:\\w=0\n");

    // The first entry that covers the folder, whichever it is; quotes around a
    // folder with a space are not part of it.
    Write("C:\\a b=0\nC:\\a b\\c=0\nC:\\a b=0\n");
    SetRegistryOwner("\"C:\\a b\\c\"", true);
    EXPECT_EQ(Read(), WithPid("C:\\a b={pid}\nC:\\a b\\c=0\nC:\\a b=0\n"));

    // No covering entry: only the lines that are not entries go.
    Write("junk\nC:\\v=7\n\n");
    SetRegistryOwner("C:\\w", true);
    EXPECT_EQ(Read(), "C:\\v=7\n");
    Write("\n\n");
    SetRegistryOwner("C:\\w", true);
    EXPECT_EQ(Read(), "");
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(RegistryTest, OwnerUpdateFailuresLeaveTheFileAsItWas) {
    State().watchedPath.Assign("C:\\w");
    SetRegistryOwner("C:\\w", false);
    EXPECT_EQ(Read(), std::nullopt);
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2007});
    EXPECT_EQ(ToAnsiString(boxes.Boxes().at(0).caption), "C:\\w");

    // The temporary file cannot be made: the rewrite fails before the old file
    // is touched.
    boxes.Clear();
    Write("C:\\w=5\n");
    std::filesystem::create_directory(data / ("cnwfolder.txt." + pid + ".tmp"));
    SetRegistryOwner("C:\\w", false);
    EXPECT_EQ(Read(), "C:\\w=5\n");
    EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{-2004});
}

TEST_F(RegistryTest, ARewriteKeepsEveryEntryOfALargeRegistry) {
    std::string before;
    for (int i = 0; i < 150; ++i) before += "C:\\f" + std::to_string(i) + "=0\n";
    Write(before);
    State().watchedPath.Assign("C:\\f120");
    RegisterWatcher();
    std::string expected = before;
    expected.replace(expected.find("C:\\f120=0"), 9, "C:\\f120=" + pid);
    EXPECT_EQ(Read(), expected);
    EXPECT_EQ(State().registryEntryTaken, 1);
}

TEST_F(RegistryTest, RelativeDirectoryIsTheItemDirectoryBelowItsRoot) {
    struct Case {
        const char* registry;  // null: no file
        const char* itemDir;
        int smb;
        int network;
        const char* relative;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        std::filesystem::remove(File());
        if (c.registry) Write(c.registry);
        State().itemDir.Assign(c.itemDir);
        State().smbMode = c.smb;
        State().networkFolder = c.network;
        RelativeDirectory();
        EXPECT_EQ(std::string(State().relativeDir.Str()), c.relative)
            << c.itemDir << " smb " << c.smb << " network " << c.network;
    }
}

TEST_F(RegistryTest, LongEntriesAndEmptyKeysAreKeptWhole) {
    // An entry longer than a 512-byte line buffer, of another watcher and of
    // this one: both survive every rewrite unchanged.
    const std::string other = "C:\\" + std::string(600, 'o');
    const std::string own = "C:\\" + std::string(505, 'w');
    Write(other + "=7\n=5\n");
    State().watchedPath.Assign(own);
    RegisterWatcher();
    EXPECT_EQ(Read(), other + "=7\n=5\n" + own + "=" + pid + "\n");
    SetRegistryOwner(own.c_str(), false);
    EXPECT_EQ(Read(), other + "=7\n=5\n" + own + "=0\n");
    RegisterWatcher();
    EXPECT_EQ(Read(), other + "=7\n=5\n" + own + "=" + pid + "\n");
    EXPECT_EQ(State().registryEntryTaken, 1);

    // An empty key names no folder, not even one that begins with a backslash.
    EXPECT_FALSE(KeyCoversFolder("", "\\\\srv\\share", RegistryMatch::CaseSensitive));
    EXPECT_FALSE(KeyIsAncestorOf("", "\\x\\", RegistryMatch::IgnoreCase));
}

// Threads stand in for watchers here (the lock is per thread on every
// platform): each one counts its own entry up, one read and rewrite at a
// time. An update lost between a read and a rewrite would leave a count short.
TEST_F(RegistryTest, TheLockMakesEveryReadAndRewriteOneStep) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    const std::string path = data.Ansi() + "/cnwfolder.txt";
    std::string initial;
    for (int t = 0; t < kThreads; ++t) initial += "C:\\t" + std::to_string(t) + "=0\n";
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
                for (std::string_view line : SplitRegistryLines(content)) {
                    if (IsRegistryEntry(line) && RegistryKey(line) == folder)
                        count = ParseProcessId(RegistryValue(line));
                }
                const std::string next = std::to_string(count + 1);
                if (!ReplaceRegistryFile(path.c_str(), RewriteRegistryOwner(content, folder, next)))
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    std::string expected;
    for (int t = 0; t < kThreads; ++t)
        expected += "C:\\t" + std::to_string(t) + "=" + std::to_string(kRounds) + "\n";
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
    EXPECT_EQ(std::string(State().relativeDir.Str()), "/" + hyo + "/" + hyo + "/");
    State().smbMode = 1;
    RelativeDirectory();
    EXPECT_EQ(std::string(State().relativeDir.Str()), "\\" + hyo + "\\" + hyo + "\\");
}

}  // namespace
