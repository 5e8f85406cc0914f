// Catches: a user's change that never reaches the other side, or reaches it wrong, whatever the
// timing of the watcher's merges, firings and sends.
// A day: a random list of ordinary actions (convergence.h) done by this process in a fresh watched
// folder with pauses between them, the real watcher and the real plftp sending to a folder, an SMB
// path or a real FTP server, in count mode (threshold 1, 5 or 1000) or immediate mode; then the
// watcher is closed in order and the remote tree must equal the watched one, names, sizes and
// bytes. A differing day prints its seed, the differences, and a shorter action list that still
// differs (delta debugging, each try a fresh day).
//
// Without PELLARO_CONVERGENCE_DAYS the fixed days of kCiDays run, those enabled there or by
// PELLARO_CONVERGENCE_CI ("file,smb,ftp" or "all"). With it (scripts/convergence.sh):
//   PELLARO_CONVERGENCE_DAYS    days to run; day i has seed SEED + i
//   PELLARO_CONVERGENCE_SEED    the first seed (the clock's when not given)
//   PELLARO_CONVERGENCE_TARGET  file, smb, ftp or all; PELLARO_CONVERGENCE_MODE 1, 5, 1000,
//                               immediate or all: the days take the pairs in turn
//   PELLARO_CONVERGENCE_KEEP    "3,7,12": only these actions of the day (a shortened list)
//   PELLARO_CONVERGENCE_SETTLE_MS  the quiet time between the last action and the close (1000)
//   PELLARO_CONVERGENCE_SHRINK_S  seconds of shortening per differing day (600; CI: what is left
//                               of its first 120 s)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/convergence_win.h"
#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;
using namespace convergence;

constexpr DWORD kStartMs = 30000;
constexpr DWORD kToolsMs = 120000;
constexpr ULONGLONG kCiBudgetMs = 120000;

// The fixed days of CI. A day runs when `enabled` is true (or PELLARO_CONVERGENCE_CI names its
// target). The days still off differ today: a folder renamed twice within a batch (71), a long
// name two folders down over SMB (261), and FTP, whose close waits a minute (73, 156, 201).
struct CiDay {
    const char* target;
    const char* mode;
    uint32_t seed;
    bool enabled;
};
constexpr CiDay kCiDays[] = {
    {"file", "1", 71, false}, {"file", "1000", 238, true}, {"file", "immediate", 252, true},
    {"smb", "5", 240, true},  {"smb", "1", 261, false},    {"smb", "immediate", 343, true},
    {"ftp", "5", 73, false},  {"ftp", "1000", 156, false}, {"ftp", "immediate", 201, false},
};

std::string Env(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

struct DayResult {
    std::vector<Action> done;  // the actions that could be carried out
    std::vector<Difference> differences;
    std::string problems;  // a start or close that went wrong: the day fails
    std::string notes;     // failed items reported, commands left: shown, the trees decide
    bool Differs() const { return !differences.empty() || !problems.empty(); }
};

// The first lines of a file, for a report.
std::string Head(const fs::path& file, int lines) {
    std::istringstream in(ReadFileBytes(file));
    std::string text;
    for (std::string line; lines-- > 0 && std::getline(in, line);) text += "    " + line + "\n";
    return text;
}

DayResult RunDay(const std::string& target, const std::string& mode,
                 const std::vector<Action>& actions) {
    DayResult result;
    WatcherBench bench;
    fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                  fs::copy_options::overwrite_existing);
    const fs::path outside = bench.home / "outside";
    fs::create_directories(outside);
    std::wstring remote = (bench.home / "remote").wstring();
    CreateDirectoryW(remote.c_str(), nullptr);
    std::string config;
    std::unique_ptr<FtpServer> server;
    if (target == "file") {
        config = "protocol=file\nroot=" + ToAnsiString(remote) + "\ndir=/\n";
    } else if (target == "smb") {
        static int serial = 0;
        remote = L"\\\\srv\\share\\conv-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++serial);
        CreateDirectoryW(LongPath(remote).c_str(), nullptr);
        config = "protocol=smb\ndir=" + ToAnsiString(remote) + "\n";
    } else {
        server = std::make_unique<FtpServer>(bench.home / "remote", "pel", "s3cret pass");
        if (!server->Running()) {
            result.problems = "no FTP server (python3-pyftpdlib)\n";
            return result;
        }
        config = "protocol=ftp\nip=127.0.0.1\nport=" + std::to_string(server->Port()) +
                 "\nusername=pel\npassword=czNjcmV0IHBhc3M=\nencoding=utf8\ndir=/\n";
    }
    bench.Config(config + "sub=1\n" + (mode == "immediate" ? "" : "sync_threshold=" + mode + "\n"));

    ChildProcess watcher = bench.Start();
    // The watcher takes its registry entry just before it asks for the folder's changes.
    const std::string entry = bench.folderAnsi + "=" + std::to_string(watcher.id);
    if (!bench.Dialog(watcher) ||
        !WaitUntil(
            [&] {
                return ReadFileBytes(bench.dataDir / "cnwfolder.txt").find(entry) !=
                       std::string::npos;
            },
            kStartMs)) {
        KillIfRunning(watcher);
        result.problems = "the watcher did not start\n";
        return result;
    }
    Sleep(500);
    for (const Action& action : actions) {
        if (Apply(bench.folder.wstring(), outside.wstring(), action)) result.done.push_back(action);
        Sleep(action.pauseMs);
    }
    // The user stops, then closes: a change made in the last instant before the close is a
    // shutdown edge of its own (PELLARO_CONVERGENCE_SETTLE_MS=0 tries it).
    Sleep(static_cast<DWORD>(std::stoul(Env("PELLARO_CONVERGENCE_SETTLE_MS", "1000"))));
    const long code = bench.Close(watcher);
    KillIfRunning(watcher);
    if (code != 0)
        result.problems += "the watcher's close ended with " + std::to_string(code) + "\n";
    if (!WaitForTools(bench.toolDir.wstring(), kToolsMs)) {
        result.problems +=
            "plftp still ran " + std::to_string(kToolsMs / 1000) + " s after the close\n";
    }
    result.differences = Compare(ReadTree(bench.folder.wstring()), ReadTree(remote));
    const std::string errors = Head(bench.DataFile("_plerror.txt"), 5);
    if (!errors.empty()) result.notes += "  plerror.txt:\n" + errors;
    const std::string left = Head(bench.DataFile(".txt"), 5);
    if (!left.empty()) result.notes += "  left in the event list:\n" + left;
    if (target == "smb") RemoveTree(LongPath(remote));
    return result;
}

std::vector<Action> Pick(const std::vector<Action>& all, const std::vector<std::size_t>& keep) {
    std::vector<Action> picked;
    for (std::size_t i : keep) {
        if (i < all.size()) picked.push_back(all[i]);
    }
    return picked;
}

// The actions of `keep`, each marked when it could not be done (only its pause then counts).
std::string Listing(const std::vector<Action>& all, const std::vector<std::size_t>& keep,
                    const std::vector<Action>& done) {
    std::string text;
    for (std::size_t i : keep) {
        const std::string line = Describe(all[i]);
        const bool did = std::any_of(done.begin(), done.end(),
                                     [&](const Action& a) { return Describe(a) == line; });
        text += "    [" + std::to_string(i) + "] " + line + (did ? "" : " (not done)") + "\n";
    }
    return text;
}

std::string Indices(const std::vector<std::size_t>& keep) {
    std::string text;
    for (std::size_t i : keep) text += (text.empty() ? "" : ",") + std::to_string(i);
    return text;
}

// Runs one day; a differing one is reported and shortened until `shrinkUntil` (GetTickCount64).
bool Day(Tally& tally, const std::string& target, const std::string& mode, uint32_t seed,
         const std::vector<std::size_t>& keep, ULONGLONG shrinkUntil) {
    const std::vector<Action> all = MakeDay(seed);
    std::vector<std::size_t> indices = keep;
    if (indices.empty()) {
        for (std::size_t i = 0; i < all.size(); ++i) indices.push_back(i);
    }
    const ULONGLONG start = GetTickCount64();
    const DayResult result = RunDay(target, mode, Pick(all, indices));
    tally.AddDay(target + "/" + mode, result.done, result.Differs());
    std::printf("day seed %u %s/%s: %zu of %zu actions, %.1f s, %s\n", seed, target.c_str(),
                mode.c_str(), result.done.size(), indices.size(),
                static_cast<double>(GetTickCount64() - start) / 1000.0,
                result.Differs() ? "DIFFERS" : "equal");
    if (!result.Differs()) {
        std::printf("%s", result.notes.c_str());
        return true;
    }
    std::printf("%s%s%s", Report(result.differences, 12).c_str(), result.problems.c_str(),
                result.notes.c_str());
    std::fflush(stdout);

    int tries = 0;
    const auto fails = [&](const std::vector<std::size_t>& subset) {
        if (GetTickCount64() >= shrinkUntil) return false;
        std::vector<std::size_t> chosen;
        for (std::size_t i : subset) chosen.push_back(indices[i]);
        ++tries;
        // The same fault, not any: a shorter list must keep one of the day's differences (or,
        // for a day whose trees were equal, its failed start or close).
        const DayResult again = RunDay(target, mode, Pick(all, chosen));
        return result.differences.empty() ? again.Differs()
                                          : Shares(result.differences, again.differences);
    };
    std::vector<std::size_t> shortest;
    for (std::size_t i : Shrink(indices.size(), fails, 200)) shortest.push_back(indices[i]);
    if (tries == 0) {
        std::printf("  replay: %sscripts/convergence.sh 1 %u %s %s\n",
                    keep.empty() ? "" : ("PELLARO_CONVERGENCE_KEEP=" + Indices(keep) + " ").c_str(),
                    seed, target.c_str(), mode.c_str());
        std::fflush(stdout);
        return false;
    }
    const DayResult last =
        shortest.size() < indices.size() ? RunDay(target, mode, Pick(all, shortest)) : result;
    std::printf(
        "  shortened in %d tries%s to %zu actions (replay: PELLARO_CONVERGENCE_KEEP=%s "
        "scripts/convergence.sh 1 %u %s %s):\n%s  run once more: %s\n%s%s",
        tries, GetTickCount64() < shrinkUntil ? "" : " (out of time)", shortest.size(),
        Indices(shortest).c_str(), seed, target.c_str(), mode.c_str(),
        Listing(all, shortest, last.done).c_str(), last.Differs() ? "differs" : "equal this time",
        Report(last.differences, 12).c_str(), last.problems.c_str());
    std::fflush(stdout);
    return false;
}

TEST(ConvergenceE2ETest, EveryDayOfChangesEndsWithTheRemoteTreeEqualToTheFolder) {
    const ULONGLONG start = GetTickCount64();
    Tally tally;
    int differing = 0;
    const std::string days = Env("PELLARO_CONVERGENCE_DAYS");
    if (days.empty()) {
        const std::vector<std::string> enabled = Split(Env("PELLARO_CONVERGENCE_CI"));
        const auto on = [&](const CiDay& day) {
            for (const std::string& name : enabled) {
                if (name == "all" || name == day.target) return true;
            }
            return day.enabled;
        };
        const ULONGLONG shrinkUntil =
            start + (Env("PELLARO_CONVERGENCE_SHRINK_S").empty()
                         ? kCiBudgetMs
                         : std::stoull(Env("PELLARO_CONVERGENCE_SHRINK_S")) * 1000);
        for (const CiDay& day : kCiDays) {
            if (!on(day)) continue;
            SCOPED_TRACE(std::string("seed ") + std::to_string(day.seed) + " " + day.target + "/" +
                         day.mode);
            differing += Day(tally, day.target, day.mode, day.seed, {}, shrinkUntil) ? 0 : 1;
        }
        if (tally.Days() == 0) GTEST_SKIP() << "no target enabled (PELLARO_CONVERGENCE_CI)";
    } else {
        const std::string first = Env("PELLARO_CONVERGENCE_SEED");
        const uint32_t seed = first.empty() ? static_cast<uint32_t>(GetTickCount64())
                                            : static_cast<uint32_t>(std::stoul(first));
        const std::string target = Env("PELLARO_CONVERGENCE_TARGET", "all");
        const std::string mode = Env("PELLARO_CONVERGENCE_MODE", "all");
        const std::vector<std::string> targets =
            target == "all" ? std::vector<std::string>{"file", "smb", "ftp"} : Split(target);
        const std::vector<std::string> modes =
            mode == "all" ? std::vector<std::string>{"1", "5", "1000", "immediate"} : Split(mode);
        std::vector<std::size_t> keep;
        for (const std::string& i : Split(Env("PELLARO_CONVERGENCE_KEEP")))
            keep.push_back(std::stoul(i));
        const ULONGLONG shrinkMs = std::stoull(Env("PELLARO_CONVERGENCE_SHRINK_S", "600")) * 1000;
        for (int i = 0; i < std::stoi(days); ++i) {
            const std::size_t pair = static_cast<std::size_t>(i);
            const std::string& t = targets[pair % targets.size()];
            const std::string& m = modes[(pair / targets.size()) % modes.size()];
            const uint32_t daySeed = seed + static_cast<uint32_t>(i);
            SCOPED_TRACE("seed " + std::to_string(daySeed) + " " + t + "/" + m);
            differing += Day(tally, t, m, daySeed, keep, GetTickCount64() + shrinkMs) ? 0 : 1;
        }
    }
    std::printf("\n%s\nconvergence: %d days, %d with differing trees, %.0f s\n",
                tally.Table().c_str(), tally.Days(), differing,
                static_cast<double>(GetTickCount64() - start) / 1000.0);
    EXPECT_EQ(differing, 0) << "days whose remote tree differs from the folder (see above)";
}

}  // namespace
