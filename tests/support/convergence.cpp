#include "support/convergence.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>
#include <numeric>
#include <optional>
#include <random>
#include <set>

namespace convergence {

namespace {

constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::kCount);
constexpr std::array<const char*, kKinds> kKindNames = {
    "create",      "overwrite",   "append",       "truncate",     "save-by-rename", "rename",
    "case-rename", "move-file",   "make-folder",  "fill-folder",  "rename-folder",  "move-folder",
    "delete-file", "delete-tree", "copy-tree-in", "move-tree-in", "long-name"};

// How often each kind is drawn, where it can be done at all.
constexpr std::array<unsigned, kKinds> kWeights = {14, 8, 6, 4, 7, 6, 4, 6, 4,
                                                   4,  4, 3, 6, 3, 3, 2, 2};

// Name pieces around a number: blanks, accents and several dots; no dot at all (LICENSE, git's
// files); characters out of the ANSI code page (Japanese out of 1252, Korean out of 1252 and 932).
constexpr const char* kFileNames[][2] = {{"f", ".txt"},
                                         {"my notes ", ".txt"},
                                         {"café ", ".txt"},
                                         {"Übersicht-", ".md"},
                                         {"report.v", ".final.docx"},
                                         {"archive ", ".tar.gz"},
                                         {"niño.año.", ".csv"},
                                         {"LICENSE-", ""},
                                         {"日本語のファイル ", ".txt"},
                                         {"한글 notes ", ""}};
constexpr const char* kFolderNames[] = {"d",     "New folder ",  "Fotos été ",
                                        "v1.2.", "Ünïcode dir ", "日本 dir "};
// The first of each drawn under Names::kFound.
constexpr std::size_t kFoundFileNames = 7, kFoundFolderNames = 5;

constexpr std::size_t kMaxDepth = 3;  // folders below the watched one

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::size_t Depth(const std::string& folder) {
    return folder.empty() ? 0 : 1 + static_cast<std::size_t>(std::ranges::count(folder, '/'));
}

bool IsBelow(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

std::string Lower(std::string text) {
    for (char& ch : text) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return text;
}

// The tree as the actions so far leave it: what the next action may act on.
struct Model {
    std::set<std::string> folders{""};         // "" is the watched folder
    std::map<std::string, std::size_t> files;  // path -> size

    // Windows names ignore case.
    bool Free(const std::string& path) const {
        const auto same = [&](const std::string& other) { return Lower(other) == Lower(path); };
        return std::ranges::none_of(folders, same) &&
               std::ranges::none_of(files, [&](const auto& file) { return same(file.first); });
    }
    // Moves a folder with everything below it (removes them with an empty `to`).
    void MoveTree(const std::string& from, const std::string& to) {
        const auto place = [&](const std::string& path) -> std::optional<std::string> {
            if (path != from && !IsBelow(path, from)) return path;
            return to.empty() ? std::nullopt : std::optional(to + path.substr(from.size()));
        };
        std::set<std::string> keptFolders;
        std::map<std::string, std::size_t> keptFiles;
        for (const auto& folder : folders) {
            if (const auto at = place(folder)) keptFolders.insert(*at);
        }
        for (const auto& [file, size] : files) {
            if (const auto at = place(file)) keptFiles[*at] = size;
        }
        folders = std::move(keptFolders);
        files = std::move(keptFiles);
    }
    // Levels of folders in the tree of `folder`, itself included.
    std::size_t Height(const std::string& folder) const {
        std::size_t height = 1;
        for (const auto& other : folders) {
            if (IsBelow(other, folder)) height = std::max(height, Depth(other) - Depth(folder) + 1);
        }
        return height;
    }
};

class Generator {
public:
    Generator(uint32_t seed, Names names) : random(seed), wide(names == Names::kWide) {}

    std::vector<Action> Day() {
        const std::size_t count = 20 + Below(41);
        std::vector<Action> actions;
        while (actions.size() < count) {
            Action action;
            if (!Make(DrawKind(), action)) continue;
            action.pauseMs = Pause();
            actions.push_back(std::move(action));
        }
        return actions;
    }

private:
    std::size_t Below(std::size_t n) { return n == 0 ? 0 : random() % n; }

    template <class Container>
    auto Any(const Container& items) {
        return *std::next(items.begin(), static_cast<std::ptrdiff_t>(Below(items.size())));
    }

    Kind DrawKind() {
        unsigned at =
            static_cast<unsigned>(Below(std::accumulate(kWeights.begin(), kWeights.end(), 0u)));
        std::size_t k = 0;
        while (at >= kWeights[k]) at -= kWeights[k++];
        return static_cast<Kind>(k);
    }

    // A draw from tiers of {below this percentile: base + a draw below range}.
    std::size_t Tiered(std::initializer_list<std::array<std::size_t, 3>> tiers) {
        const std::size_t draw = Below(100);
        for (const auto& [limit, base, range] : tiers) {
            if (draw < limit) return base + Below(range);
        }
        return 0;
    }
    // Mostly none or short, so that commands are still pending or merging when the next change
    // comes; some past the watcher's one-second cycle, so that others are firing or sent.
    unsigned Pause() {
        return static_cast<unsigned>(
            Tiered({{40, 0, 0}, {65, 10, 140}, {90, 200, 800}, {100, 1200, 1300}}));
    }
    std::size_t Size() {
        return Tiered(
            {{5, 0, 0}, {60, 1, 100}, {85, 100, 3900}, {96, 4000, 60000}, {100, 64000, 240000}});
    }

    std::string FileName() {
        const std::string n = std::to_string(++counter);
        const auto& [head, tail] =
            kFileNames[Below(wide ? std::size(kFileNames) : kFoundFileNames)];
        return head + n + tail;
    }

    std::string FolderName() {
        const std::string n = std::to_string(++counter);
        return kFolderNames[Below(wide ? std::size(kFolderNames) : kFoundFolderNames)] + n;
    }

    // A file name that brings the path to 180 to 240 bytes.
    std::string LongName(const std::string& folder) {
        const std::string n = " " + std::to_string(++counter) + ".txt";
        const std::size_t want = 180 + Below(61);
        const std::size_t used = folder.empty() ? 0 : folder.size() + 1;
        const std::size_t length = std::min<std::size_t>(want > used ? want - used : 20, 240);
        std::string name;
        while (name.size() + n.size() < length) name += "long name ";
        return name.substr(0, length > n.size() ? length - n.size() : 0) + n;
    }

    std::vector<NewFile> SomeFiles(std::size_t most, bool nested) {
        std::vector<NewFile> files;
        const std::string sub = nested && Below(2) ? FolderName() + "/" : "";
        for (std::size_t i = 1 + Below(most); i > 0; --i) {
            files.push_back(
                {(i % 2 ? "" : sub) + FileName(), static_cast<uint32_t>(random()), Size()});
        }
        return files;
    }

    bool Make(Kind kind, Action& a) {
        a.kind = kind;
        const std::vector<std::string> subfolders(std::next(model.folders.begin()),
                                                  model.folders.end());
        switch (kind) {
            case Kind::kCreate:
            case Kind::kLongName: {
                const std::string folder = Any(model.folders);
                a.path = Join(folder, kind == Kind::kCreate ? FileName() : LongName(folder));
                a.seed = static_cast<uint32_t>(random());
                a.size = Size();
                model.files[a.path] = a.size;
                return true;
            }
            case Kind::kOverwrite:
            case Kind::kAppend:
            case Kind::kTruncate:
            case Kind::kSaveByRename: {
                if (model.files.empty()) return false;
                const auto [path, size] = Any(model.files);
                if (kind == Kind::kTruncate && size == 0) return false;
                a.path = path;
                a.seed = static_cast<uint32_t>(random());
                // Half the new contents keep the size: only the bytes tell them apart.
                a.size = kind == Kind::kTruncate ? Below(size)
                         : kind == Kind::kAppend ? 1 + Below(2000)
                         : Below(2)              ? size
                                                 : Size();
                if (kind == Kind::kSaveByRename) {
                    // Editors' temporary names; the last has no dot (sed's, an office program's).
                    const std::size_t form = wide ? Below(3) : Below(2) ? 0 : 1;
                    a.to = Join(Parent(path),
                                form == 0   ? "~" + Leaf(path) + ".tmp"
                                : form == 1 ? Leaf(path) + "." + std::to_string(++counter) + ".tmp"
                                            : "sed" + std::to_string(++counter) + "Tmp");
                }
                model.files[path] = kind == Kind::kAppend ? size + a.size : a.size;
                return true;
            }
            case Kind::kRename:
            case Kind::kCaseRename:
            case Kind::kMoveFile:
            case Kind::kDeleteFile: {
                if (model.files.empty()) return false;
                const auto [path, size] = Any(model.files);
                a.path = path;
                if (kind == Kind::kRename) a.to = Join(Parent(path), FileName());
                if (kind == Kind::kCaseRename) {
                    std::string leaf = Leaf(path);
                    const std::size_t letter =
                        leaf.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
                    if (letter == std::string::npos) return false;
                    leaf[letter] = static_cast<char>(leaf[letter] ^ 0x20);
                    a.to = Join(Parent(path), leaf);
                }
                if (kind == Kind::kMoveFile) {
                    const std::string folder = Any(model.folders);
                    if (folder == Parent(path)) return false;
                    a.to = Join(folder, Leaf(path));
                    if (!model.Free(a.to)) return false;
                }
                model.files.erase(path);
                if (kind != Kind::kDeleteFile) model.files[a.to] = size;
                return true;
            }
            case Kind::kMakeFolder:
            case Kind::kFillFolder:
            case Kind::kCopyTreeIn:
            case Kind::kMoveTreeIn: {
                std::vector<std::string> parents;
                for (const auto& folder : model.folders) {
                    if (Depth(folder) < kMaxDepth) parents.push_back(folder);
                }
                const std::string parent = Any(parents);  // drawn before the name
                a.path = Join(parent, FolderName());
                model.folders.insert(a.path);
                if (kind == Kind::kMakeFolder) return true;
                const bool nested = kind != Kind::kFillFolder && Depth(a.path) < kMaxDepth;
                a.files = SomeFiles(kind == Kind::kFillFolder ? 6 : 5, nested);
                for (const NewFile& file : a.files) {
                    if (Parent(file.path) != "")
                        model.folders.insert(Join(a.path, Parent(file.path)));
                    model.files[Join(a.path, file.path)] = file.size;
                }
                return true;
            }
            case Kind::kRenameFolder:
            case Kind::kMoveFolder:
            case Kind::kDeleteTree: {
                if (subfolders.empty()) return false;
                a.path = Any(subfolders);
                if (kind == Kind::kRenameFolder) a.to = Join(Parent(a.path), FolderName());
                if (kind == Kind::kMoveFolder) {
                    const std::string into = Any(model.folders);
                    if (into == Parent(a.path) || into == a.path || IsBelow(into, a.path) ||
                        Depth(into) + model.Height(a.path) > kMaxDepth) {
                        return false;
                    }
                    a.to = Join(into, Leaf(a.path));
                    if (!model.Free(a.to)) return false;
                }
                model.MoveTree(a.path, a.to);
                return true;
            }
            case Kind::kCount:
                break;
        }
        return false;
    }

    std::mt19937 random;
    bool wide;
    Model model;
    unsigned counter = 0;
};

}  // namespace

std::string Content(uint32_t seed, std::size_t size) {
    static constexpr char kWords[][8] = {"alpha ",  "beta ", "gamma ",
                                         "delta\n", "eps ",  "zeta\r\n"};
    std::minstd_rand random(seed == 0 ? 1 : seed);
    std::string bytes = std::to_string(seed) + ":";
    while (bytes.size() < size) bytes += kWords[random() % 6];
    bytes.resize(size);
    return bytes;
}

// "<kind> "<path>" [-> "<to>"] [<size> bytes] [+<n> files] pause <ms>".
std::string Describe(const Action& a) {
    std::string line =
        std::string(kKindNames[static_cast<std::size_t>(a.kind)]) + " \"" + a.path + "\"";
    if (!a.to.empty()) line += (a.kind == Kind::kSaveByRename ? " via \"" : " -> \"") + a.to + "\"";
    if (a.kind <= Kind::kSaveByRename || a.kind == Kind::kLongName)
        line += " " + std::to_string(a.size) + " bytes";
    if (!a.files.empty()) line += " +" + std::to_string(a.files.size()) + " files";
    return line + " pause " + std::to_string(a.pauseMs);
}

std::vector<Action> MakeDay(uint32_t seed, Names names) { return Generator(seed, names).Day(); }

std::vector<std::size_t> Shrink(std::size_t count,
                                const std::function<bool(const std::vector<std::size_t>&)>& fails,
                                int budget) {
    std::vector<std::size_t> current(count);
    for (std::size_t i = 0; i < count; ++i) current[i] = i;
    std::size_t parts = 2;
    while (current.size() >= 2 && budget > 0) {
        bool reduced = false;
        const std::size_t chunk = (current.size() + parts - 1) / parts;
        for (std::size_t start = 0; start < current.size() && budget-- > 0; start += chunk) {
            std::vector<std::size_t> rest = current;
            rest.erase(
                rest.begin() + static_cast<std::ptrdiff_t>(start),
                rest.begin() + static_cast<std::ptrdiff_t>(std::min(start + chunk, rest.size())));
            if (fails(rest)) {
                current = std::move(rest);
                parts = std::max<std::size_t>(parts - 1, 2);
                reduced = true;
                break;
            }
        }
        if (!reduced) {
            if (parts >= current.size()) break;
            parts = std::min(parts * 2, current.size());
        }
    }
    return current;
}

std::vector<Difference> Compare(const Tree& local, const Tree& remote) {
    std::vector<Difference> differences;
    for (const auto& [path, item] : local) {
        const auto there = remote.find(path);
        if (there == remote.end()) {
            differences.push_back({Difference::kMissing, path, ""});
        } else if (item.folder != there->second.folder) {
            differences.push_back(
                {Difference::kDifferent, path,
                 item.folder ? "a folder here, a file there" : "a file here, a folder there"});
        } else if (item.bytes != there->second.bytes) {
            const std::string& a = item.bytes;
            const std::string& b = there->second.bytes;
            const auto at = std::ranges::mismatch(a, b).in1 - a.begin();
            differences.push_back({Difference::kDifferent, path,
                                   std::to_string(a.size()) + " bytes here, " +
                                       std::to_string(b.size()) + " there, first differing at " +
                                       std::to_string(at)});
        }
    }
    for (const auto& [path, item] : remote) {
        if (!local.contains(path)) differences.push_back({Difference::kExtra, path, ""});
    }
    return differences;
}

bool Shares(const std::vector<Difference>& a, const std::vector<Difference>& b) {
    return std::ranges::any_of(a, [&](const Difference& x) {
        return std::ranges::any_of(
            b, [&](const Difference& y) { return x.what == y.what && x.path == y.path; });
    });
}

std::string Report(const std::vector<Difference>& differences, std::size_t limit) {
    static constexpr const char* kWhat[] = {"missing", "extra", "different"};
    std::string text;
    for (std::size_t i = 0; i < differences.size() && i < limit; ++i) {
        const Difference& d = differences[i];
        text += std::string("  ") + kWhat[d.what] + " \"" + d.path + "\"" +
                (d.detail.empty() ? "" : ": " + d.detail) + "\n";
    }
    if (differences.size() > limit)
        text += "  ... and " + std::to_string(differences.size() - limit) + " more\n";
    return text;
}

void Tally::AddDay(const std::string& column, const std::vector<Action>& done, bool differs) {
    std::vector<int>& row = rows[column];
    row.resize(kKinds + 2);
    for (const Action& action : done) ++row[static_cast<std::size_t>(action.kind)];
    ++row[kKinds];
    row[kKinds + 1] += differs ? 1 : 0;
}

std::string Tally::Table() const {
    std::vector<std::string> lines(kKinds + 3);
    const auto cell = [&](std::size_t line, const std::string& text, std::size_t width) {
        if (lines[line].empty()) {
            lines[line] = line == 0            ? "action"
                          : line <= kKinds     ? kKindNames[line - 1]
                          : line == kKinds + 1 ? "days"
                                               : "differing";
            lines[line].resize(15, ' ');
        }
        lines[line] += std::string(width + 1 - std::min(width, text.size()), ' ') + text;
    };
    std::vector<int> totals(kKinds + 2);
    for (const auto& [column, row] : rows) {
        const std::size_t width = std::max<std::size_t>(column.size(), 5);
        cell(0, column, width);
        for (std::size_t k = 0; k < row.size(); ++k) {
            cell(k + 1, std::to_string(row[k]), width);
            totals[k] += row[k];
        }
    }
    cell(0, "total", 6);
    for (std::size_t k = 0; k < totals.size(); ++k) cell(k + 1, std::to_string(totals[k]), 6);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

}  // namespace convergence
