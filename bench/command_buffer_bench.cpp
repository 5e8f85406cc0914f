// Measures the command buffer on bursts of changes: the real buffer and the
// plain one (every addition scans and rewrites everything), on bursts of
// distinct file creations and on mixed workloads, and the cost of one
// addition with 1,000 and with 100,000 commands pending. The real buffer runs
// twice: writing the event list file after every addition ("each"), and with
// group commit ("grouped": a flush queued, the file written once per
// kGroup notifications, as the dialog does when its queue is drained).
// Prints a table; the last lines sum it up:
//   burst10k: <cmd/s> cmd/s; growth100k/1k: <ratio>; speedup-vs-reference10k: <ratio>
//   grouped: burst10k <cmd/s> cmd/s; mixed10k on 10k pending <cmd/s> cmd/s (each: <cmd/s>)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/watcher_state.h"
#include "support/reference_command_buffer.h"
#include "sync/command_buffer.h"
#include "sync/transfer_command.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notifications per group commit.
constexpr int kGroup = 100;

struct Change {
    std::string command;
    int32_t event;
};

std::string Folder(int i) { return "d" + std::to_string(i / 1000); }

Change Creation(int i) {
    CommandText t;
    ComposePutFile(t, "/" + Folder(i) + "/", "C:\\W\\" + Folder(i) + "\\",
                   "file" + std::to_string(i) + ".txt");
    return {std::string(t.Str()), kEventCreate};
}

std::vector<Change> Burst(int count, int first = 0) {
    std::vector<Change> changes;
    for (int i = first; i < first + count; ++i) changes.push_back(Creation(i));
    return changes;
}

// Creations mixed with deletions, renames and updates of earlier files (those
// `pending` already created too) and new folders, as an unpacked and then
// tidied archive gives them.
std::vector<Change> Mixed(int count, int pending = 0) {
    std::mt19937 random(7);
    std::vector<Change> changes;
    int files = pending;
    for (int i = 0; i < count; ++i) {
        const uint32_t kind = random() % 10;
        CommandText t;
        const int earlier = files == 0 ? 0 : static_cast<int>(random() % files);
        const std::string dir = "/" + Folder(earlier) + "/";
        const std::string ldir = "C:\\W\\" + Folder(earlier) + "\\";
        const std::string name = "file" + std::to_string(earlier) + ".txt";
        if (kind < 6 || files == 0) {
            changes.push_back(Creation(files++));
        } else if (kind == 6) {
            ComposeDelFile(t, dir, ldir, name);
            changes.push_back({std::string(t.Str()), kEventDelete});
        } else if (kind == 7) {
            ComposeRenameItem(t, dir, ldir, name, "renamed" + std::to_string(i) + ".txt");
            changes.push_back({std::string(t.Str()), kEventRenameItem});
        } else if (kind == 8) {
            ComposePutTree(t, "/new" + std::to_string(i) + "/",
                           "C:\\W\\new" + std::to_string(i) + "\\");
            changes.push_back({std::string(t.Str()), kEventMkDir});
        } else {
            ComposePutFile(t, dir, ldir, name);
            changes.push_back({std::string(t.Str()), kEventUpdateItem});
        }
    }
    return changes;
}

class Bench {
public:
    Bench() {
        folder = std::filesystem::temp_directory_path() /
                 ("pellaro-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
        std::filesystem::create_directories(folder);
        realPath = (folder / "real.txt").string();
        referencePath = (folder / "reference.txt").string();
    }
    ~Bench() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    void StartReal() {
        State().Reset();
        State().eventListPath.Assign(realPath);
        CreateCommandBuffer(State().commands);
        std::remove(realPath.c_str());
    }

    // Seconds for the real buffer to take `changes` (with the handler's
    // count), written after each one or once per group.
    static double Real(const std::vector<Change>& changes, bool grouped = false) {
        const auto start = Clock::now();
        int queued = 0;
        for (const Change& change : changes) {
            if (grouped) RequestEventListFlush();
            static_cast<void>(AddCommand(change.command.c_str(), change.event));
            if (grouped && ++queued == kGroup) {
                EventListFlushArrived();
                queued = 0;
            }
        }
        if (grouped) EventListFlushArrived();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    double Reference(const std::vector<Change>& changes) {
        ReferenceBuffer buffer;
        std::remove(referencePath.c_str());
        ReferenceCreate(buffer, referencePath, 0);
        const auto start = Clock::now();
        for (const Change& change : changes) {
            ReferenceAdd(buffer, change.command.c_str(), change.event);
            ReferenceCount(buffer);
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    // Microseconds per addition for 1,000 more distinct creations with
    // `pending` already buffered (median of three runs).
    double PerAddWithPending(int pending) {
        std::vector<double> runs;
        for (int run = 0; run < 3; ++run) {
            StartReal();
            Real(Burst(pending));
            const std::vector<Change> more = Burst(1000, pending);
            runs.push_back(Real(more) * 1e6 / 1000.0);
        }
        std::sort(runs.begin(), runs.end());
        return runs[1];
    }

private:
    std::filesystem::path folder;
    std::string realPath;
    std::string referencePath;
};

void Row(const char* workload, int count, const char* implementation, double seconds) {
    std::printf("%-14s %8d  %-10s %10.3f %12.0f %10.2f\n", workload, count, implementation, seconds,
                count / seconds, seconds * 1e6 / count);
}

}  // namespace

int main() {
    Bench bench;
    std::printf("%-14s %8s  %-10s %10s %12s %10s\n", "workload", "commands", "buffer", "seconds",
                "cmd/s", "us/cmd");
    double real10k = 0;
    double reference10k = 0;
    double grouped10k = 0;
    for (int count : {1000, 10000, 100000}) {
        const std::vector<Change> changes = Burst(count);
        bench.StartReal();
        const double real = Bench::Real(changes);
        Row("burst", count, "each", real);
        if (count == 10000) real10k = real;
        bench.StartReal();
        const double grouped = Bench::Real(changes, true);
        Row("burst", count, "grouped", grouped);
        if (count == 10000) grouped10k = grouped;
        // The plain buffer grows quadratically: 100,000 would take hours.
        if (count <= 10000) {
            const double reference = bench.Reference(changes);
            Row("burst", count, "reference", reference);
            if (count == 10000) reference10k = reference;
        }
        std::fflush(stdout);
    }
    for (int count : {1000, 10000}) {
        const std::vector<Change> changes = Mixed(count);
        bench.StartReal();
        Row("mixed", count, "each", Bench::Real(changes));
        bench.StartReal();
        Row("mixed", count, "grouped", Bench::Real(changes, true));
        Row("mixed", count, "reference", bench.Reference(changes));
        std::fflush(stdout);
    }
    // Merges that rewrite the file while 10,000 commands are pending.
    double mixedEach = 0;
    double mixedGrouped = 0;
    for (const bool grouped : {false, true}) {
        bench.StartReal();
        Bench::Real(Burst(10000));
        const double seconds = Bench::Real(Mixed(10000, 10000), grouped);
        Row("mixed on 10k", 10000, grouped ? "grouped" : "each", seconds);
        (grouped ? mixedGrouped : mixedEach) = seconds;
        std::fflush(stdout);
    }
    const double at1k = bench.PerAddWithPending(1000);
    const double at100k = bench.PerAddWithPending(100000);
    std::printf("per addition with 1000 pending: %.2f us; with 100000 pending: %.2f us\n", at1k,
                at100k);
    std::printf("burst10k: %.0f cmd/s; growth100k/1k: %.2f; speedup-vs-reference10k: %.1f\n",
                10000 / real10k, at100k / at1k, reference10k / real10k);
    std::printf("grouped: burst10k %.0f cmd/s; mixed10k on 10k pending %.0f cmd/s (each: %.0f)\n",
                10000 / grouped10k, 10000 / mixedGrouped, 10000 / mixedEach);
    return 0;
}
