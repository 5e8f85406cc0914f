// Catches: a synchronisation that leaves the receiving side different from a plain model of the
// rule, or that touches what it must keep (the sending side, ignored items, files over the size
// limit, anything behind a link), on random trees with case variants and links on both sides.
// PLFTP_DIFF_CASES and PLFTP_DIFF_SEED (scripts/plftp-differential.sh) run more of them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>

#include "base/text_conversion.h"
#include "tests/tools/plftp_memory_target.h"
#include "tools/plftp/path_text.h"
#include "tools/plftp/transfer_engine.h"

namespace {

class QuietJournal final : public CRunJournal {
public:
    void Action(std::string_view, const std::wstring&, const std::wstring&,
                std::string_view) override {}
    void Failure(std::string_view, std::string_view reason) override {
        failures += std::string(reason) + "\n";
    }
    std::string failures;
};

// A folder tree as the model sees it: children by the key the receiving side matches them by.
struct Item {
    std::wstring name;
    bool folder = false, link = false;
    std::string data;
    int64_t modified = 0;
    std::map<std::wstring, Item> children;
};

std::wstring Fold(const std::wstring& name, bool caseSensitive) {
    return MemoryDisk(caseSensitive).Key(name);
}

Item Snapshot(MemoryDisk& disk, const std::wstring& path, bool keyCase) {
    Item item;
    item.folder = true;
    for (MemoryDisk::Node* node : disk.Children(path)) {
        const bool link = !node->linkTo.empty();
        Item child = node->folder && !link ? Snapshot(disk, node->path, keyCase) : Item{};
        child.name = LeafName(node->path);
        child.link = link;
        child.folder = node->folder;
        child.data = node->data;
        child.modified = node->modified;
        item.children[Fold(child.name, keyCase)] = child;
    }
    return item;
}

// "a/b=data" files, "a/" folders and "a@" links, one a line, in the order of the keys.
std::string Text(const Item& item, const std::wstring& prefix = L"") {
    std::string text;
    for (const auto& [key, child] : item.children) {
        const std::wstring path = prefix + child.name;
        text += "  " + ToAnsiString(path) +
                (child.link     ? "@"
                 : child.folder ? "/"
                                : "=" + child.data) +
                "\n";
        if (child.folder && !child.link) text += Text(child, path + L"/");
    }
    return text;
}

struct Model {
    std::wstring ignore = L"*.tmp", ignoreDir = L"cache";
    uint64_t sizeLimit = 6;
    bool targetCase = false;
    bool keepExtras = false;  // a get: what only the local side has stays

    bool Ignored(const Item& item) const {
        return MatchesAnyPattern(item.folder ? ignoreDir : ignore, item.name);
    }
    bool OverLimit(const Item& item) const { return !item.folder && item.data.size() > sizeLimit; }

    // The receiving folder after a synchronisation of `source` into `target` (null: none).
    Item Expect(const Item& source, const Item* target) const {
        Item out;
        out.folder = true;
        std::set<std::wstring> fetched;  // the temp names of the files sent into this folder
        if (target) out.name = target->name;
        out.name = source.name.empty() ? out.name : source.name;
        for (const auto& [key, child] : source.children) {
            if (IsTransferTempName(child.name)) continue;
            const Item* there = nullptr;
            if (target) {
                const auto found = target->children.find(key);
                if (found != target->children.end()) there = &found->second;
            }
            if (Ignored(child) || child.link || OverLimit(child)) {
                if (there) out.children[key] = *there;
                continue;
            }
            if (keepExtras && there && there->folder != child.folder) {
                out.children[key] = *there;  // a get removes no local item
                continue;
            }
            if (child.folder) {
                out.children[key] =
                    Expect(child, there && there->folder && !there->link ? there : nullptr);
                continue;
            }
            Item file = child;
            if (there && !there->folder && there->data.size() == child.data.size() &&
                there->modified == child.modified) {
                file.data = there->data;
            } else if (keepExtras && there && there->modified >= child.modified) {
                file = *there;  // a get replaces only an older local file
            } else {
                fetched.insert(Fold(PartName(child.name), targetCase));
            }
            out.children[key] = file;
        }
        if (target) {
            for (const auto& [key, child] : target->children) {
                if (keepExtras &&
                    (!source.children.contains(key) || IsTransferTempName(child.name))) {
                    // A temp file goes only when a fetch into its place used it.
                    if (!IsTransferTempName(child.name) || !fetched.contains(key)) {
                        out.children[key] = child;
                    }
                    continue;
                }
                if (source.children.contains(key) || IsTransferTempName(child.name) || child.link) {
                    continue;
                }
                if (Ignored(child) || OverLimit(child)) {
                    out.children[key] = child;
                } else if (child.folder) {
                    // A removed folder stays with what it holds that must stay.
                    Item left = Expect(Item{}, &child);
                    if (!left.children.empty()) out.children[key] = left;
                }
            }
        }
        return out;
    }
};

// Random trees: names with case variants, ignored and oversized files, links out of the mapped
// folders, left-over temp files. Names that fold together are not made twice in one folder.
class TreeMaker {
public:
    explicit TreeMaker(uint32_t seed) : random(seed) {}

    void Fill(MemoryDisk& disk, const std::wstring& folder, const std::wstring& linkTo, int depth) {
        static const wchar_t* const kFiles[] = {L"a.txt", L"A.txt",   L"b.tmp",
                                                L"B.TMP", L"c.bin",   L"d.txt",
                                                L"D.TXT", L"e e.txt", L"~a.txt.plftp-part"};
        static const wchar_t* const kFolders[] = {L"f", L"F", L"cache", L"Cache", L"g"};
        disk.AddFolder(folder);
        std::set<std::wstring> used;
        const int count = Pick(6);
        for (int i = 0; i < count; ++i) {
            const int kind = Pick(10);
            std::wstring name = kind < 6   ? kFiles[Pick(9)]
                                : kind < 9 ? kFolders[Pick(5)]
                                           : std::wstring(Pick(2) ? L"j" : L"J");
            if (!used.insert(Fold(name, false)).second) continue;
            const std::wstring path = folder + L"/" + name;
            if (kind >= 9) {
                disk.AddLink(path, linkTo);
            } else if (kind >= 6) {
                if (depth < 3) Fill(disk, path, linkTo, depth + 1);
            } else {
                disk.AddFile(path, std::string(static_cast<std::size_t>(Pick(10)), "xy"[Pick(2)]),
                             1 + Pick(2));
            }
        }
    }
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

private:
    std::mt19937 random;
};

uint32_t EnvNumber(const char* name, uint32_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

}  // namespace

// After a put the target is the source minus what is ignored, over the limit or a link, plus what
// it must keep; the same for a get; the sending side and everything behind a link stay as they
// were.
TEST(PlftpDifferential, SynchronisationsMatchTheModelAndKeepWhatTheyMust) {
    const uint32_t cases = EnvNumber("PLFTP_DIFF_CASES", 400);
    const uint32_t firstSeed = EnvNumber("PLFTP_DIFF_SEED", 20261207);
    uint32_t failures = 0;
    for (uint32_t n = 0; n < cases && failures < 3; ++n) {
        const uint32_t seed = firstSeed + n;
        TreeMaker maker(seed);
        const bool put = maker.Pick(2) == 0;
        const bool serverCase = maker.Pick(2) == 0;
        MemoryDisk localDisk(false), remoteDisk(serverCase);
        localDisk.AddFolder(L"C:");
        remoteDisk.AddFolder(L"R:");
        localDisk.AddFile(L"C:/Outside/o.txt", "outside");
        localDisk.AddFile(L"C:/Outside/cache/p.tmp", "outside");
        remoteDisk.AddFile(L"R:/Else/o.txt", "else");
        maker.Fill(localDisk, L"C:/W", L"C:/Outside", 0);
        maker.Fill(remoteDisk, L"R:/m", L"R:/Else", 0);

        MemoryTarget local(localDisk, L"", &remoteDisk), remote(remoteDisk, L"R:", &localDisk);
        remote.serverNames = true;
        Model model;
        model.targetCase = put ? serverCase : false;
        model.keepExtras = !put;
        EngineSettings settings{L"C:/W",         L"/m",   model.ignore, model.ignoreDir,
                                model.sizeLimit, nullptr, L""};

        const Item localBefore = Snapshot(localDisk, L"C:/W", model.targetCase);
        const Item remoteBefore = Snapshot(remoteDisk, L"R:/m", model.targetCase);
        const std::string outsideBefore =
            localDisk.Tree(L"C:/Outside") + remoteDisk.Tree(L"R:/Else");
        QuietJournal journal;
        // Every other case with three transfers in flight.
        CTransferEngine engine(local, remote, Pooled(settings, remote, n % 2 ? 3 : 1), journal);
        const int32_t status =
            engine.Synchronise(put ? TransferDirection::kPut : TransferDirection::kGet, "sync");

        const Item& source = put ? localBefore : remoteBefore;
        const Item& target = put ? remoteBefore : localBefore;
        const std::string expected = Text(model.Expect(source, &target));
        const std::string actual =
            Text(Snapshot(put ? remoteDisk : localDisk, put ? L"R:/m" : L"C:/W", model.targetCase));
        const std::string sourceAfter =
            Text(Snapshot(put ? localDisk : remoteDisk, put ? L"C:/W" : L"R:/m", model.targetCase));
        const bool same =
            status == kToolSuccess && expected == actual && Text(source) == sourceAfter &&
            outsideBefore == localDisk.Tree(L"C:/Outside") + remoteDisk.Tree(L"R:/Else");
        if (!same) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << (put ? " put" : " get")
                          << (serverCase ? " (case-sensitive server)" : "") << " status " << status
                          << "\nsource before:\n"
                          << Text(source) << "target before:\n"
                          << Text(target) << "expected:\n"
                          << expected << "actual:\n"
                          << actual << "failures:\n"
                          << journal.failures;
        }
    }
    std::printf("plftp differential: %u cases from seed %u, %u failing\n", cases, firstSeed,
                failures);
}
