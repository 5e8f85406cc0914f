// A day of a user's work in a watched folder, and what it takes to judge it: the random action
// list (a pure function of its seed), the delta-debugging shrinker over it, the comparison of two
// trees, and the tally of action kinds by target and mode. No system calls: convergence_win.h
// carries the actions out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace convergence {

enum class Kind {
    kCreate,
    kOverwrite,
    kAppend,
    kTruncate,
    kSaveByRename,  // a temporary file written, then renamed over the original
    kRename,
    kCaseRename,
    kMoveFile,  // to another folder
    kMakeFolder,
    kFillFolder,  // a new folder, then files written into it at once
    kRenameFolder,
    kMoveFolder,  // into another folder
    kDeleteFile,
    kDeleteTree,
    kCopyTreeIn,  // a tree made outside the watched folder, then copied in
    kMoveTreeIn,  // the same, moved in whole
    kLongName,    // a file whose path comes near the length limits
    kCount
};

// The bytes of a file: `size` bytes of text made from `seed`.
std::string Content(uint32_t seed, std::size_t size);

struct NewFile {
    std::string path;  // below the action's folder
    uint32_t seed = 0;
    std::size_t size = 0;
};

// Paths are relative to the watched folder, "/"-separated, UTF-8.
struct Action {
    Kind kind = Kind::kCreate;
    std::string path;  // the item acted on
    std::string to;    // the new path of renames and moves; the temporary file of a save
    uint32_t seed = 0;
    std::size_t size = 0;
    std::vector<NewFile> files;  // kFillFolder, kCopyTreeIn, kMoveTreeIn
    unsigned pauseMs = 0;        // after the action
};

std::string Describe(const Action& action);

// The names a day draws from: kFound, those of the days found before names without a dot and out
// of the ANSI code page were drawn (a fixed day keeps them, and replays as it was found); kWide,
// those too.
enum class Names { kFound, kWide };

// The day of `seed`: 20 to 60 actions, each valid on the tree the ones before it leave.
std::vector<Action> MakeDay(uint32_t seed, Names names = Names::kWide);

// The indices (of 0..count-1) of a shorter list that still fails: delta debugging over
// complements, at most `budget` calls of `fails`. The full list is taken as failing.
std::vector<std::size_t> Shrink(std::size_t count,
                                const std::function<bool(const std::vector<std::size_t>&)>& fails,
                                int budget);

struct Item {
    bool folder = false;
    std::string bytes;
    bool operator==(const Item&) const = default;
};
using Tree = std::map<std::string, Item>;  // relative path -> item

struct Difference {
    enum What { kMissing, kExtra, kDifferent } what;
    std::string path;
    std::string detail;
};

// What `remote` lacks, holds besides, or holds otherwise than `local`; names compared exactly.
std::vector<Difference> Compare(const Tree& local, const Tree& remote);

// Whether `a` and `b` share a difference (the same kind at the same path).
bool Shares(const std::vector<Difference>& a, const std::vector<Difference>& b);

// At most `limit` lines, then how many were left out.
std::string Report(const std::vector<Difference>& differences, std::size_t limit);

// Action kinds counted by column ("<target>/<mode>"), with days and differing days per column.
class Tally {
public:
    void AddDay(const std::string& column, const std::vector<Action>& done, bool differs);
    std::string Table() const;

private:
    std::map<std::string, std::vector<int>> rows;  // column -> per kind, then days, differing
};

}  // namespace convergence
