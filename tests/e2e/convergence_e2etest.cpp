// Catches: a user's change that never reaches the other side, or reaches it wrong, whatever the
// timing of the watcher's merges, firings and sends.
// A day: a random list of ordinary actions (convergence.h) done by this process in a fresh watched
// folder with pauses between them, the real watcher and the real plftp sending to a folder, an SMB
// path or a real FTP server (in clear or over TLS), in count mode (threshold 1, 5 or 1000) or
// immediate mode; then the watcher is closed in order and the remote tree must equal the watched
// one, names, sizes and bytes. A differing day prints its seed, the differences, and a shorter
// action list that still differs (delta debugging, each try a fresh day). Without
// PELLARO_CONVERGENCE_DAYS the fixed days run (those off in CI too with
// PELLARO_CONVERGENCE_CI=file,smb,ftp,ftps or all); the other variables are described in
// scripts/convergence.sh. In interval mode ("interval": an interval of 2 s, so idle downloads run)
// a second writer, another device, makes, edits and deletes its own files directly on the target
// between the user's actions; after the close one download more, then the folder must equal the
// target, and the target must hold exactly the other device's files as it left them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/convergence_win.h"
#include "support/ftp_server_win.h"
#include "support/watcher_bench_win.h"

namespace {

namespace fs = std::filesystem;
using namespace convergence;

// The fixed days: "<target> <mode> <seed> <on in CI> [the actions kept]". Mended: 71, a folder
// moved in and renamed twice within one batch, then a file in it changed; 261 (and 5002, which
// did not differ again in five runs), a file changed again while its first change was being sent;
// 6004, one file whose path is past MAX_PATH; 6008, a folder renamed inside a renamed folder;
// 73, 156 and 201, FTP names with blanks (156 takes over 30 s: off); 30171, changes in a
// subfolder of a tree copied in, renamed at once (its watch was cut loose while the copy ran; and
// a case-only rename there whose second step Wine did not always report);
// 130250, a folder filled and renamed at once after a renamed tree was deleted (it arrived
// without fresh records, and nothing made in it was reported).
constexpr const char* kFixedDays[] = {
    "file 1 71 on 0,3,5,14",
    "file 1 6004 on 9",
    "file 5 5002 off",
    "smb 1 261 on",
    "file 1000 238 on",
    "file immediate 252 on",
    "smb 5 240 on",
    "smb immediate 343 on",
    "ftp 5 73 on",
    "ftp 1000 156 off",
    "ftp immediate 201 on",
    "file 1 6008 off",
    "file 5 30171 on 2,3,6,9,10",
    "smb immediate 130250 on 0,1,8,9,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29",
    "file interval 9001 on",
    "ftp interval 9002 on",
    "ftps 5 73 on",
};

// The other device's folder: no day's action names it.
constexpr char kOtherDevice[] = "zz-other-device";

// The other device's work, a pure function of the day's seed and the step: it makes a file,
// rewrites one it made, or deletes one, on the target itself. `theirs` is what it left.
void OtherDevice(const std::wstring& remote, uint32_t seed, std::size_t step,
                 std::map<std::string, std::string>& theirs) {
    const uint32_t pick = seed * 2654435761u + static_cast<uint32_t>(step) * 40503u;
    const std::wstring folder = LongPath(remote, kOtherDevice);
    CreateDirectoryW(folder.c_str(), nullptr);
    if (theirs.empty() || pick % 3 == 0) {
        const std::string name = "made " + std::to_string(step) + ".txt";
        const std::string bytes = Content(pick, 1 + pick % 5000);
        if (WriteInto(LongPath(remote, std::string(kOtherDevice) + "/" + name), bytes,
                      CREATE_ALWAYS)) {
            theirs[name] = bytes;
        }
        return;
    }
    auto it = theirs.begin();
    std::advance(it, static_cast<long>(pick % theirs.size()));
    const std::wstring file = LongPath(remote, std::string(kOtherDevice) + "/" + it->first);
    if (pick % 3 == 1) {
        const std::string bytes = Content(pick + 1, 1 + pick % 7000);
        if (WriteInto(file, bytes, CREATE_ALWAYS)) it->second = bytes;
    } else if (DeleteFileW(file.c_str())) {
        theirs.erase(it);
    }
}

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
    std::vector<Action> done = {};  // the actions that could be carried out
    std::vector<Difference> differences = {};
    std::string problems = {};  // a start or close that went wrong: the day fails
    std::string notes = {};     // failed items reported, commands left: shown, the trees decide
    bool Differs() const { return !differences.empty() || !problems.empty(); }
};

// The first `lines` lines of a data file, or with `last` its last ones, for a report.
std::string Head(const WatcherBench& bench, const char* suffix, std::size_t lines,
                 bool last = false) {
    std::istringstream in(ReadFileBytes(bench.DataFile(suffix)));
    std::vector<std::string> kept;
    for (std::string line; std::getline(in, line);) kept.push_back("    " + line + "\n");
    const std::size_t from = last && kept.size() > lines ? kept.size() - lines : 0;
    std::string text;
    for (std::size_t i = from; i < kept.size() && i < from + lines; ++i) text += kept[i];
    return text.empty() ? ""
                        : std::string("  ") + suffix + (last ? " (its end)" : "") + ":\n" + text;
}

// Runs `commands` with the Linux shell in `folder`; false unless they ended with 0 within 120 s.
// Started from under Wine, a Linux program gives no handle back: the script says when it ended.
bool RunLinux(const fs::path& folder, const std::string& commands, const fs::path& scratch) {
    const std::wstring quoted = ftp_server_detail::UnixPath(folder);  // "\"path\" "
    if (quoted.size() < 3) return false;
    const fs::path script = scratch / "step.sh", done = scratch / "step.done";
    std::error_code ignored;
    fs::remove(done, ignored);
    const auto onLinux = [](const fs::path& path) {
        const std::wstring q = ftp_server_detail::UnixPath(path);
        return fs::path(q.substr(1, q.size() - 3)).string();
    };
    WriteFileBytes(script, "cd " + fs::path(quoted).string() + "&& (" + commands + ") > \"" +
                               onLinux(scratch / "step.log") + "\" 2>&1\necho $? > \"" +
                               onLinux(done) + ".part\"\nmv \"" + onLinux(done) + ".part\" \"" +
                               onLinux(done) + "\"\n");
    StartProcess(L"Z:\\bin\\sh " + ftp_server_detail::UnixPath(script));
    return WaitUntil([&] { return fs::exists(done); }, 120000) &&
           ReadFileBytes(done).rfind("0", 0) == 0;
}

// A day: `actions`, then the Linux shell's `commands` in the watched folder, each followed by a
// pause; `check`, when given, runs on the remote tree's folder (a Windows path) at the end.
DayResult RunDay(const std::string& target, const std::string& mode,
                 const std::vector<Action>& actions, uint32_t seed,
                 const std::vector<std::string>& commands = {},
                 const std::function<std::string(const fs::path&)>& check = {}) {
    DayResult result;
    WatcherBench bench;
    fs::copy_file(fs::path(ProgramFolder()) / "plftp.exe", bench.toolDir / "bin" / "plftp.exe",
                  fs::copy_options::overwrite_existing);
    const fs::path outside = bench.home / "outside";
    fs::create_directories(outside);
    std::wstring remote = (bench.home / "remote").wstring();
    CreateDirectoryW(remote.c_str(), nullptr);
    std::string config = "protocol=file\nroot=" + ToAnsiString(remote) + "\ndir=/\n";
    std::unique_ptr<FtpServer> server;
    if (target == "smb") {
        // Named after the day's own scratch folder: a day cut short leaves its remote folder,
        // and a later process with the same id (Wine gives ids out again) and day number met it.
        remote = L"\\\\srv\\share\\conv-" + bench.home.Path().filename().wstring();
        CreateDirectoryW(LongPath(remote).c_str(), nullptr);
        config = "protocol=smb\ndir=" + ToAnsiString(remote) + "\n";
    } else if (target == "ftp" || target == "ftps") {
        const bool tls = target == "ftps";
        server = std::make_unique<FtpServer>(bench.home / "remote", "pel", "s3cret pass", true,
                                             tls ? FtpSecurity::kTls : FtpSecurity::kPlain);
        if (!server->Running()) return {.problems = "no FTP server (python3-pyftpdlib)\n"};
        config = "protocol=" + target + "\nip=127.0.0.1\nport=" + std::to_string(server->Port()) +
                 "\nusername=pel\npassword=czNjcmV0IHBhc3M=\nencoding=utf8\ndir=/\n" +
                 (tls ? "cafile=" + server->CaFile().string() + "\n" : "");
    }
    const bool interval = mode == "interval";
    bench.Config(config + "sub=1\n" +
                 (mode == "immediate" ? ""
                  : interval          ? "sync_timestamp=2\n"
                                      : "sync_threshold=" + mode + "\n"));
    // Interval mode asks its questions at a folder's first start, and downloads at every other;
    // a restart of a folder watched before does neither.
    if (interval) WriteFileBytes(bench.DataFile("_createdFileList.txt"), "");
    std::map<std::string, std::string> theirs;

    ChildProcess watcher = bench.Start(interval ? L"-restart" : L"");
    // The watcher takes its registry entry just before it asks for the folder's changes.
    const std::string entry = bench.folderAnsi + "=" + std::to_string(watcher.id);
    const bool dialog = bench.Dialog(watcher) != nullptr;
    if (!dialog || !WaitUntil(
                       [&] {
                           return ReadFileBytes(bench.dataDir / "cnwfolder.txt").find(entry) !=
                                  std::string::npos;
                       },
                       30000)) {
        // What was seen of it, to tell a start that failed from a slow one.
        DWORD exitCode = 0;
        const std::string how =
            !watcher ? "could not be started (error " + std::to_string(watcher.error) + ")"
            : WaitForExit(watcher, 0, &exitCode)
                ? "ended with " + std::to_string(exitCode)
                : std::string(dialog ? "showed its dialog but took no registry entry"
                                     : "runs without a dialog");
        KillIfRunning(watcher);
        return {.problems = "the watcher did not start: it " + how + "\n"};
    }
    Sleep(500);
    for (const Action& action : actions) {
        if (Apply(bench.folder.wstring(), outside.wstring(), action)) result.done.push_back(action);
        if (interval && result.done.size() % 3 == 1) {
            OtherDevice(remote, seed, result.done.size(), theirs);
        }
        if (&action != &actions.back()) Sleep(action.pauseMs);
    }
    for (const std::string& command : commands) {
        Sleep(300);
        if (!RunLinux(bench.folder, command, bench.home.Path())) {
            result.problems += "the step \"" + command +
                               "\" failed: " + ReadFileBytes(bench.home / "step.log") + "\n";
        }
    }
    // The user stops, then closes (the last action's pause is this one): a change made in the
    // last instant before the close is a shutdown edge of its own (SETTLE_MS=0 tries it).
    Sleep(static_cast<DWORD>(std::stoul(Env("PELLARO_CONVERGENCE_SETTLE_MS", "1000"))));
    const long code = bench.Close(watcher);
    KillIfRunning(watcher);
    if (code != 0)
        result.problems += "the watcher's close ended with " + std::to_string(code) + "\n";
    if (!WaitForTools(bench.toolDir.wstring(), 120000))
        result.problems += "plftp still ran 120 s after the close\n";
    if (interval) {
        // The download that brings the other device's work in, then its files as it left them.
        ChildProcess get = StartProcess(L"\"" + (bench.toolDir / "bin" / "plftp.exe").wstring() +
                                            L"\" -f \"" + bench.DataFile("_get.config").wstring() +
                                            L"\" -path \"" + bench.folder.wstring() + L"\"",
                                        {{L"APPDATA", bench.appData.wstring()}});
        DWORD status = 1;
        if (!WaitForExit(get, 120000, &status) || status != 0) {
            result.problems += "the last download ended with " + std::to_string(status) + "\n";
        }
        KillIfRunning(get);
        Tree expected;
        for (const auto& [name, bytes] : theirs) {
            expected[std::string(kOtherDevice) + "/" + name] = Item{false, bytes};
        }
        Tree found;
        for (auto& [path, item] : ReadTree(LongPath(remote))) {
            if (path.starts_with(kOtherDevice) && !item.folder) found[path] = item;
        }
        for (const Difference& lost : Compare(expected, found)) {
            result.problems += "the other device's " + lost.path + ": " + lost.detail + "\n";
        }
    }
    result.differences =
        Compare(ReadTree(LongPath(bench.folder.wstring())), ReadTree(LongPath(remote)));
    if (check) result.problems += check(LongPath(remote));
    result.notes = Head(bench, "_plerror.txt", 5) + Head(bench, ".txt", 5);
    if (result.Differs()) result.notes += Head(bench, "_plftp.log", 60, true);
    if (target == "smb") RemoveTree(LongPath(remote));
    return result;
}

std::string Joined(const std::vector<std::size_t>& keep) {
    std::string text;
    for (std::size_t i : keep) text += (text.empty() ? "" : ",") + std::to_string(i);
    return text;
}

// Runs the actions `keep` of a day (all when empty); a differing day is reported and shortened
// until `shrinkUntil` (GetTickCount64). True when the trees ended equal.
bool Day(Tally& tally, const std::string& target, const std::string& mode, uint32_t seed,
         Names names, std::vector<std::size_t> keep, ULONGLONG shrinkUntil) {
    const std::vector<Action> all = MakeDay(seed, names);
    if (keep.empty()) {
        for (std::size_t i = 0; i < all.size(); ++i) keep.push_back(i);
    }
    const auto run = [&](const std::vector<std::size_t>& chosen) {
        std::vector<Action> picked;
        for (std::size_t i : chosen) {
            if (i < all.size()) picked.push_back(all[i]);
        }
        return RunDay(target, mode, picked, seed);
    };
    const ULONGLONG start = GetTickCount64();
    const DayResult result = run(keep);
    tally.AddDay(target + "/" + mode, result.done, result.Differs());
    std::printf("day seed %u %s/%s: %zu of %zu actions, %.1f s, %s\n%s%s%s", seed, target.c_str(),
                mode.c_str(), result.done.size(), keep.size(),
                static_cast<double>(GetTickCount64() - start) / 1000.0,
                result.Differs() ? "DIFFERS" : "equal", Report(result.differences, 12).c_str(),
                result.problems.c_str(), result.notes.c_str());
    std::fflush(stdout);
    if (!result.Differs()) return true;

    // A shorter list must keep one of the day's differences (or its failed start or close).
    int tries = 0;
    DayResult last = result;
    const auto fails = [&](const std::vector<std::size_t>& subset) {
        if (GetTickCount64() >= shrinkUntil) return false;
        std::vector<std::size_t> chosen;
        for (std::size_t i : subset) chosen.push_back(keep[i]);
        ++tries;
        DayResult again = run(chosen);
        const bool same = result.differences.empty()
                              ? again.Differs()
                              : Shares(result.differences, again.differences);
        if (same) last = std::move(again);
        return same;
    };
    std::vector<std::size_t> shortest;
    for (std::size_t i : Shrink(keep.size(), fails, 200)) shortest.push_back(keep[i]);
    std::string listing;
    for (std::size_t i : shortest) {
        const std::string line = Describe(all[i]);
        const bool did =
            std::ranges::any_of(last.done, [&](const Action& a) { return Describe(a) == line; });
        listing += "    [" + std::to_string(i) + "] " + line + (did ? "" : " (not done)") + "\n";
    }
    std::printf(
        "  shortened in %d tries%s to %zu actions (replay: PELLARO_CONVERGENCE_KEEP=%s "
        "scripts/convergence.sh 1 %u %s %s):\n%s%s",
        tries, GetTickCount64() < shrinkUntil ? "" : " (out of time)", shortest.size(),
        Joined(shortest).c_str(), seed, target.c_str(), mode.c_str(), tries ? listing.c_str() : "",
        tries ? Report(last.differences, 12).c_str() : "");
    std::fflush(stdout);
    return false;
}

// Steps real programs take, on a folder target at threshold 1, an SMB path in immediate mode and
// an FTP server at 1000 (every target at every one of them with PELLARO_CONVERGENCE_CI=all): an
// office save (a temporary file without a dot written, the original renamed away, the temporary
// renamed into place, the old one deleted, at once), files without a dot and a name the desktop's
// code page may not hold made, edited, renamed and deleted in a folder the remote side already
// has; then a day of git (commits, a branch checked out and back, gc), sed -i and a
// write-then-rename save. The remote tree equals the folder, no temporary name stays, and git
// finds the remote copy of the repository whole.
TEST(ConvergenceE2ETest, RealToolsAndOfficeSavesLeaveTheRemoteTreeEqualAndTheRepositoryWhole) {
    if (!Env("PELLARO_CONVERGENCE_DAYS").empty()) GTEST_SKIP() << "random days only";
    const auto act = [](Kind kind, const char* path, const char* to, uint32_t seed,
                        unsigned pauseMs = 0) {
        Action action;
        action.kind = kind;
        action.path = path;
        action.to = to;
        action.seed = seed;
        action.size = 300;
        action.pauseMs = pauseMs;
        return action;
    };
    // The office save goes first: Wine may report its quick renames as lost changes, and the
    // whole folder's send for them would carry what comes after.
    const std::string japanese = "src/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
    const std::vector<Action> day = {
        act(Kind::kMakeFolder, "src", "", 0, 0),
        act(Kind::kCreate, "doc.docx", "", 1, 1500),
        act(Kind::kCreate, "A1B2C3D4", "", 2),
        act(Kind::kRename, "doc.docx", "E5F6A7B8", 0),
        act(Kind::kRename, "A1B2C3D4", "doc.docx", 0),
        act(Kind::kDeleteFile, "E5F6A7B8", "", 0, 1500),
        act(Kind::kCreate, "src/AUTHORS", "", 3, 300),
        act(Kind::kCreate, "src/LICENSE", "", 4, 300),
        act(Kind::kCreate, (japanese + ".txt").c_str(), "", 5, 300),
        act(Kind::kOverwrite, "src/AUTHORS", "", 6),
        act(Kind::kCreate, "src/sedA1b2C3", "", 7),
        act(Kind::kRename, "src/sedA1b2C3", "src/Makefile", 0, 500),
        act(Kind::kOverwrite, (japanese + ".txt").c_str(), "", 8),
        act(Kind::kRename, (japanese + ".txt").c_str(), (japanese + "2.txt").c_str(), 0),
        act(Kind::kRename, "src/AUTHORS", "src/CHANGES", 0),
        act(Kind::kDeleteFile, "src/LICENSE", "", 0, 300),
        act(Kind::kDeleteFile, (japanese + "2.txt").c_str(), "", 0, 500),
    };
    const std::string git = "git -c user.name=pel -c user.email=pel@example.com ";
    const std::vector<std::string> tools = {
        "git init -q -b main repo && cd repo && printf 'all:\\n\\techo hi\\n' > Makefile && "
        "echo MIT > LICENSE && mkdir docs && echo one > docs/README && " +
            git + "add -A && " + git + "commit -qm one",
        "cd repo && " + git + "checkout -q -b feature && echo notes > NOTES && " + git +
            "add NOTES && " + git + "commit -qm two",
        "cd repo && " + git + "checkout -q main && sed -i s/hi/hello/ Makefile && " + git +
            "commit -qam three",
        "cd repo && " + git + "checkout -q feature && " + git + "checkout -q main && " + git +
            "gc -q",
        "cd repo && /usr/bin/python3 -c \"import os; open('docs/t', 'w').write('saved'); "
        "os.replace('docs/t', 'docs/README')\" && " +
            git + "commit -qam four",
        "cd repo && " + git + "checkout -q feature && echo a > docs/AUTHORS && echo c > CHANGES",
    };
    // git's own check of the remote copy: every object there, every ref pointing at one.
    const auto fsck = [](const fs::path& remote) -> std::string {
        const fs::path scratch = remote / "zz-fsck";  // after the trees were compared
        fs::create_directories(scratch);
        return RunLinux(remote / "repo", "git fsck --strict --no-progress", scratch)
                   ? ""
                   : "git fsck failed on the remote copy: " + ReadFileBytes(scratch / "step.log") +
                         "\n";
    };
    std::vector<std::pair<std::string, std::string>> runs = {
        {"file", "1"}, {"smb", "immediate"}, {"ftp", "1000"}};
    if (Env("PELLARO_CONVERGENCE_CI") == "all") {
        runs.clear();
        for (const char* target : {"file", "smb", "ftp"}) {
            for (const char* mode : {"1", "1000", "immediate"}) runs.emplace_back(target, mode);
        }
    }
    for (const auto& [target, mode] : runs) {
        const DayResult result = RunDay(target, mode, day, 0, tools, fsck);
        EXPECT_EQ(result.done.size(), day.size()) << target;
        EXPECT_FALSE(result.Differs())
            << target << "/" << mode << ":\n"
            << Report(result.differences, 12) << result.problems << result.notes;
    }
}

TEST(ConvergenceE2ETest, EveryDayOfChangesEndsWithTheRemoteTreeEqualToTheFolder) {
    const ULONGLONG start = GetTickCount64();
    struct Planned {
        std::string target, mode;
        uint32_t seed;
        std::string keep;
    };
    std::vector<Planned> days;
    const std::string count = Env("PELLARO_CONVERGENCE_DAYS");
    const std::string shrinkS = Env("PELLARO_CONVERGENCE_SHRINK_S", count.empty() ? "120" : "600");
    if (count.empty()) {
        const std::vector<std::string> enabled = Split(Env("PELLARO_CONVERGENCE_CI"));
        for (const char* line : kFixedDays) {
            std::istringstream in(line);
            Planned day;
            std::string on;
            in >> day.target >> day.mode >> day.seed >> on >> day.keep;
            if (on == "on" || std::ranges::count(enabled, "all") ||
                std::ranges::count(enabled, day.target))
                days.push_back(day);
        }
        if (days.empty()) GTEST_SKIP() << "no target enabled (PELLARO_CONVERGENCE_CI)";
    } else {
        const std::string first = Env("PELLARO_CONVERGENCE_SEED");
        const uint32_t seed = first.empty() ? static_cast<uint32_t>(GetTickCount64())
                                            : static_cast<uint32_t>(std::stoul(first));
        std::vector<std::string> targets = Split(Env("PELLARO_CONVERGENCE_TARGET", "all"));
        std::vector<std::string> modes = Split(Env("PELLARO_CONVERGENCE_MODE", "all"));
        if (targets == std::vector<std::string>{"all"}) targets = {"file", "smb", "ftp", "ftps"};
        if (modes == std::vector<std::string>{"all"}) {
            modes = {"1", "5", "1000", "immediate", "interval"};
        }
        // A slice "k/P" keeps every P-th round of targets, from round k: P processes share the
        // days, each with every target.
        const std::string slice = Env("PELLARO_CONVERGENCE_SLICE", "0/1");
        const std::size_t part = std::stoul(slice),
                          parts = std::stoul(slice.substr(slice.find('/') + 1));
        for (std::size_t i = 0; i < std::stoul(count); ++i) {
            if ((i / targets.size()) % parts != part) continue;
            days.push_back({targets[i % targets.size()], modes[(i / targets.size()) % modes.size()],
                            seed + static_cast<uint32_t>(i), Env("PELLARO_CONVERGENCE_KEEP")});
        }
    }
    Tally tally;
    int differing = 0;
    for (const Planned& day : days) {
        SCOPED_TRACE("seed " + std::to_string(day.seed) + " " + day.target + "/" + day.mode);
        // The fixed days share one budget; each random day has its own.
        const ULONGLONG shrinkUntil =
            (count.empty() ? start : GetTickCount64()) + std::stoull(shrinkS) * 1000;
        std::vector<std::size_t> keep;
        for (const std::string& i : Split(day.keep)) keep.push_back(std::stoul(i));
        // A fixed day keeps the names it was found with.
        differing += Day(tally, day.target, day.mode, day.seed,
                         count.empty() ? Names::kFound : Names::kWide, keep, shrinkUntil)
                         ? 0
                         : 1;
    }
    std::printf("\n%s\nconvergence: %zu days, %d with differing trees, %.0f s\n",
                tally.Table().c_str(), days.size(), differing,
                static_cast<double>(GetTickCount64() - start) / 1000.0);
    EXPECT_EQ(differing, 0) << "days whose remote tree differs from the folder (see above)";
}

}  // namespace
