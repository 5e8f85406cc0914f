// A day of a user's work in a watched folder, and what it takes to judge it: the random action
// list (a pure function of its seed), the delta-debugging shrinker over it, the comparison of two
// trees, and the tally of action kinds by target and mode. No system calls: the actions are carried
// out by convergence_win.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace convergence {

enum class Kind {
    kCreate,        // a new file
    kOverwrite,     // new content, same name
    kAppend,        // bytes added at the end
    kTruncate,      // cut shorter (or to nothing)
    kSaveByRename,  // a temporary file written, then renamed over the original
    kRename,        // a file renamed in its folder
    kCaseRename,    // only the case of the name changes
    kMoveFile,      // a file moved to another folder
    kMakeFolder,    // an empty folder
    kFillFolder,    // a new folder, then files written into it at once
    kRenameFolder,  // a folder renamed in place
    kMoveFolder,    // a folder moved into another folder
    kDeleteFile,
    kDeleteTree,  // a folder with everything in it
    kCopyTreeIn,  // a tree copied in from outside the watched folder
    kMoveTreeIn,  // a tree made outside and moved in whole
    kLongName,    // a file whose path comes near the length limits
    kCount
};

const char* KindName(Kind kind);

// The bytes of a file: `size` bytes made from `seed` (text, so a difference reads well).
std::string Content(uint32_t seed, std::size_t size);

struct NewFile {
    std::string path;  // below the action's folder, "/"-separated
    uint32_t seed = 0;
    std::size_t size = 0;
};

// One action. Paths are relative to the watched folder, "/"-separated, UTF-8.
struct Action {
    Kind kind = Kind::kCreate;
    std::string path;   // the item acted on (a folder for the folder kinds)
    std::string to;     // the new path of renames and moves; the temporary file of a save
    uint32_t seed = 0;  // content of a written file
    std::size_t size = 0;
    std::vector<NewFile> files;  // kFillFolder, kCopyTreeIn, kMoveTreeIn
    unsigned pauseMs = 0;        // after the action, before the next
};

// One line: "<kind> <path> [-> <to>] [<size> bytes] [+<n> files] pause <ms>".
std::string Describe(const Action& action);

// The day of `seed`: 20 to 60 actions, each valid on the tree the ones before it leave.
std::vector<Action> MakeDay(uint32_t seed);

// The indices of `count` actions (0..count-1) that still fail, fewer where `fails` allows: the
// delta-debugging search over subsets of complements, in at most `budget` calls of `fails`. The
// full list is taken as failing and is not tried again.
std::vector<std::size_t> Shrink(std::size_t count,
                                const std::function<bool(const std::vector<std::size_t>&)>& fails,
                                int budget);

// An item of a tree: a folder, or a file with its bytes.
struct Item {
    bool folder = false;
    std::string bytes;
    bool operator==(const Item&) const = default;
};
using Tree = std::map<std::string, Item>;  // relative "/"-separated UTF-8 path -> item

struct Difference {
    enum What { kMissing, kExtra, kDifferent } what;
    std::string path;
    std::string detail;  // sizes, or where the bytes first differ
};

// What `remote` lacks, holds besides, or holds otherwise than `local`; names compared exactly.
std::vector<Difference> Compare(const Tree& local, const Tree& remote);

// Whether a difference of `a` (the same path, missing, extra or different) is one of `b`'s too.
bool Shares(const std::vector<Difference>& a, const std::vector<Difference>& b);

// At most `limit` lines, then how many were left out.
std::string Report(const std::vector<Difference>& differences, std::size_t limit);

// Action kinds counted by column ("<target>/<mode>"), with days and differing days per column.
class Tally {
public:
    void AddDay(const std::string& column, const std::vector<Action>& done, bool differs);
    std::string Table() const;
    int Days() const;
    int DifferingDays() const;

private:
    std::map<std::string, std::vector<int>> counts;   // column -> per kind
    std::map<std::string, std::pair<int, int>> days;  // column -> days, differing
};

}  // namespace convergence
