// Every file operation of the watcher fails, once and then throughout a phase,
// at every place that the start, additions, merging additions, a firing and
// the shutdown reach (found by running the day once and noting each
// operation). Whatever fails, no command may be lost: each one reaches the
// tool on a later pass or at the next start; a failure that lasts shows as
// -2004 or -2007 at most (and the exit with 1 where the watcher ends), one
// that does not shows nothing; nothing crashes. Prints the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/file_ops.h"
#include "app/watcher_start.h"
#include "notify/process_coordination.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/transfer_runs.h"
#include "watch/transfer_command.h"

namespace {

namespace fs = std::filesystem;

enum Phase { kNone, kStart, kAdd, kMerge, kFire, kShutdown };
const char* const kPhaseNames[] = {"-", "start", "add", "merge", "fire", "shutdown"};

struct Site {
    Phase phase;
    std::string file;
    FileOp op;
    bool operator<(const Site& o) const {
        return std::tie(phase, file, op) < std::tie(o.phase, o.file, o.op);
    }
};

// What the fakes see; static because the seams are plain function pointers.
Phase phase = kNone;
std::set<Site> reached;
const Site* fault = nullptr;
bool persistent = false;
int faults = 0;
std::multiset<std::string> sent;
std::vector<uint32_t> exits;
std::string data;  // the data folder of the run

// The watcher's file a path names: a temporary file or a pending replacement
// counts as the file it stands for.
std::string FileOf(std::string_view path) {
    std::string name(path.substr(path.find_last_of("\\/") + 1));
    const std::size_t txt = name.find(".txt");
    if (txt != std::string::npos) name.resize(txt + 4);
    if (name == "cnwfolder.txt") return "registry";
    if (name == "K.txt") return "event list";
    if (name == "~~K.txt") return "send list";
    if (name == "K_createdFileList.txt") return "created list";
    return name;
}

bool FaultCheck(FileOp op, std::string_view path) {
    const Site here{phase, FileOf(path), op};
    reached.insert(here);
    if (!fault || phase != fault->phase || here.file != fault->file || op != fault->op) return false;
    if (!persistent && faults > 0) return false;
    ++faults;
    return true;
}

int32_t Tool(const char* commandLine, uint32_t&, uint32_t&) {
    if (std::string(commandLine).find("-filelist") != std::string::npos) {
        for (const std::string& line : ReadCommandLines(data + "/~~K.txt")) sent.insert(line);
    }
    return 0;
}
bool Alive() { return true; }
bool No(const std::wstring&, const std::wstring&) { return false; }
void NoSleep(uint32_t) {}
void RecordExit(uint32_t code) { exits.push_back(code); }

// A file created in C:\W (or in its folder "old").
std::string Put(const std::string& name, bool old = false) {
    CommandText t;
    ComposePutFile(t, old ? "/old/" : "/", old ? "C:\\W\\old\\" : "C:\\W\\", name);
    return std::string(t.Str());
}

struct Outcome {
    std::set<std::string> lost;
    std::vector<int32_t> codes;
    std::vector<uint32_t> exits;
    int faults = 0;
};

class FileFaultsTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        saved = CurrentTransferRunners();
        CurrentTransferRunners().runProcess = Tool;
        CurrentSeams().isNetworkAlive = Alive;
        CurrentSeams().askYesNo = No;
        CurrentSeams().sleepMs = NoSleep;
        CurrentSeams().endProcess = RecordExit;
        previousCheck = ReplaceFileFaultCheck(FaultCheck);
    }
    void TearDown() override {
        ReplaceFileFaultCheck(previousCheck);
        CurrentTransferRunners() = saved;
        StateTest::TearDown();
    }

    static void Begin(const TempDir& temp) {
        State().Reset();
        WatcherState& s = State();
        data = temp.Ansi();
        s.toolDir = "";
        s.processId = CurrentProcessId();
        s.watchedPathW.Assign(L"C:\\W");
        s.watchedPath.Assign("C:\\W");
        s.dataDir.Assign(data);
        s.folderKey.Assign("K");
        s.eventListPath.Assign(data + "/K.txt");
        s.sendListPath.Assign(data + "/~~K.txt");
        s.errorFilePath.Assign(data + "/K_plerror.txt");
        s.putConfigPath.Assign(data + "/K_put.config");
        s.getConfigPath.Assign(data + "/K_get.config");
        s.createdListPath.Assign(data + "/K_createdFileList.txt");
        CreateCommandBuffer(s.commands);
    }

    static void Add(const std::string& command, int32_t event) {
        AddCommand(command.c_str(), event);
        CommandBuffer& buffer = State().commands;
        if (buffer.duplicateCommand == 0) ++buffer.commandCount;
        buffer.duplicateCommand = 0;
        RequestEventListFlush();
    }

    // One day of the watcher, then a start and stop without faults; what the
    // tool received over all of it.
    Outcome Day(const Site* failing, bool always) {
        TempDir temp;
        Begin(temp);
        BoxRecorder boxes;
        fault = failing;
        persistent = always;
        faults = 0;
        sent.clear();
        exits.clear();
        // Left by an earlier run: two pending commands and a batch in flight.
        WriteFileBytes(temp / "K.txt", Lines({Put("l1.txt", true), Put("l2.txt", true)}));
        WriteFileBytes(temp / "~~K.txt", Lines({Put("s1.txt", true)}));

        phase = kStart;
        StartWatcher();
        phase = kAdd;
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) Add(Put(name), kEventCreate);
        EventListFlushArrived();
        phase = kMerge;
        CommandText t;
        ComposeRenameItem(t, "/", "C:\\W\\", "a.txt", "d.txt");
        Add(std::string(t.Str()), kEventRenameItem);
        ComposeDelFile(t, "/", "C:\\W\\", "b.txt");
        Add(std::string(t.Str()), kEventDelete);
        EventListFlushArrived();
        // Still queued when the timer fires: the firing writes them first.
        Add(Put("e.txt"), kEventCreate);
        ComposeDelFile(t, "/", "C:\\W\\", "c.txt");
        Add(std::string(t.Str()), kEventDelete);
        phase = kFire;
        FireEventList();
        phase = kAdd;
        Add(Put("f.txt"), kEventCreate);
        EventListFlushArrived();  // before WM_CLOSE, which is queued behind
        phase = kShutdown;
        StopWatcher();

        phase = kNone;
        fault = nullptr;
        CreateCommandBuffer(State().commands);
        StartWatcher();
        StopWatcher();

        Outcome outcome;
        for (const std::string& command : expected) {
            if (sent.count(command) == 0) outcome.lost.insert(command);
        }
        outcome.codes = boxes.Codes();
        outcome.exits = exits;
        outcome.faults = faults;
        return outcome;
    }

    static std::string Lines(const std::vector<std::string>& commands) {
        std::string bytes;
        for (const std::string& c : commands) bytes += c + std::string(kEventLineEnd);
        return bytes;
    }

    std::set<std::string> expected;
    TransferRunners saved;
    FileFaultCheck previousCheck = nullptr;
};

std::string Seen(const Outcome& o) {
    std::string text;
    for (int32_t code : o.codes) text += (text.empty() ? "" : ",") + std::to_string(code);
    for (uint32_t code : o.exits) text += " exit " + std::to_string(code);
    return text.empty() ? "-" : text;
}

TEST_F(FileFaultsTest, NoCommandIsLostWhateverFileOperationFails) {
    reached.clear();
    const Outcome clean = Day(nullptr, false);
    expected.insert(sent.begin(), sent.end());
    ASSERT_TRUE(clean.lost.empty());
    ASSERT_EQ(clean.codes, std::vector<int32_t>{});
    ASSERT_GE(expected.size(), 5u);  // the left-overs and the net additions
    const std::set<Site> sites = reached;

    std::printf("%-9s %-13s %-8s | %-4s %-22s | %-4s %s\n", "phase", "file", "op", "lost",
                "once: seen", "lost", "throughout: seen");
    int cells = 0;
    std::size_t lost = 0;
    std::set<FileOp> ops;
    std::set<Phase> phases;
    for (const Site& site : sites) {
        if (site.phase == kNone) continue;
        ops.insert(site.op);
        phases.insert(site.phase);
        std::string row;
        for (const bool always : {false, true}) {
            const Outcome o = Day(&site, always);
            const std::string where = std::string(kPhaseNames[site.phase]) + " " + site.file + " " +
                                      FileOpName(site.op) + (always ? " throughout" : " once");
            EXPECT_GT(o.faults, 0) << where;
            EXPECT_TRUE(o.lost.empty()) << where << ": " << *o.lost.begin();
            lost += o.lost.size();
            // A failure that does not last is waited out or retried unseen.
            EXPECT_TRUE(always || (o.codes.empty() && o.exits.empty())) << where;
            for (int32_t code : o.codes) EXPECT_TRUE(code == -2004 || code == -2007) << where;
            for (uint32_t code : o.exits) EXPECT_EQ(code, 1u) << where;
            char cell[64];
            std::snprintf(cell, sizeof cell, "%-4zu %-22s", o.lost.size(), Seen(o).c_str());
            row += std::string(" | ") + cell;
            ++cells;
        }
        std::printf("%-9s %-13s %-8s%s\n", kPhaseNames[site.phase], site.file.c_str(),
                    FileOpName(site.op), row.c_str());
    }
    std::printf("%d cells, %zu operations, %zu phases, %zu commands lost\n", cells, ops.size(),
                phases.size(), lost);
    EXPECT_EQ(ops.size(), static_cast<std::size_t>(kFileOpCount));
    EXPECT_EQ(phases.size(), 5u);
}

}  // namespace
