#include "sync/command_buffer.h"

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/seams.h"
#include "base/watcher_state.h"
#include "notify/message_catalogue.h"
#include "sync/event_list_file.h"
#include "sync/transfer_command.h"

namespace {

// What a slot is looked up by. Each kind holds the fields that one or more
// merge rules compare for equality, so a new command finds the pending
// commands its rules can apply to without scanning the others:
enum Kind : uint32_t {
    kText,        // the whole line: the duplicate test
    kCmdDirFile,  // cmd, dir, filename: deletions, creations, renames
    kCmdDir,      // cmd, dir: recursive deletes, folder sends and moves
    kRnDirTo,     // dir, to of "rn": a deletion after a rename
    kDelSubDir,   // dir of "del" with sub 1: a deletion under a recursive delete
    kDelFile,     // filename of "del": a creation after a deletion
    kDelSubLast,  // last component of dir of "del" with sub 1: a folder made again
    kTreeLdir,    // ldir of sync 1 and sub 1, as a rolling hash: a folder under a recursive send
    kFrom,        // from: a folder move (a move's old end)
    kDir,         // dir: a folder move (found through the ordered paths)
    kMoveTo,      // to of a move ("rn" with an empty dir): a folder move
    kKindCount
};
constexpr uint32_t kKindBits = 4;
static_assert(kKindCount <= (1u << kKindBits));

uint64_t Finish(uint64_t h, uint32_t kind) {
    h ^= (uint64_t{kind} + 1) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBull;
    return h ^ (h >> 31);
}

uint64_t HashFields(uint32_t kind, std::initializer_list<std::string_view> fields) {
    uint64_t h = 1469598103934665603ull;
    for (std::string_view field : fields) {
        for (unsigned char c : field) h = (h ^ c) * 1099511628211ull;
        h = (h ^ (field.size() + 0x100)) * 1099511628211ull;
    }
    return Finish(h, kind);
}

// Polynomial hash, so that the hash of every window of N.ldir comes from its
// prefix hashes in constant time.
constexpr uint64_t kRollBase = 0x100000001B3ull;
constexpr std::size_t kMaxLdir = 512;

const uint64_t* RollPowers() {
    static const auto powers = [] {
        std::vector<uint64_t> p(kMaxLdir + 1, 1);
        for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * kRollBase;
        return p;
    }();
    return powers.data();
}

uint64_t TreeLdirKey(uint64_t rolling, std::size_t length) {
    return Finish(rolling ^ (uint64_t{length} * 0xD6E8FEB86659FD93ull), kTreeLdir);
}

uint64_t Rolling(std::string_view text) {
    uint64_t h = 0;
    for (unsigned char c : text) h = h * kRollBase + c;
    return h;
}

// Where a slot stands in each bucket it is filed under. Its keys are not kept
// (they come again from its text when it is removed): at 100,000 pending
// commands the lookup tables cost less than the slots.
struct SlotEntry {
    uint32_t pos[kKindCount];
    uint16_t mask = 0;
};

// The remote paths a folder rename looks below are kept in order, each with a
// tag naming the key kind it is filed under: a dir, or a move's from or to.
constexpr char kPathTags[] = {'d', 'f', 't'};
constexpr Kind kPathKinds[] = {kDir, kFrom, kMoveTo};

// Calls file(kind, key) for each key the command is filed under and
// path(tagged) for each of its paths a folder rename looks below; returns the
// length of its ldir when it is a tree send (an empty ldir too: it occurs in
// every one).
template <class File, class Path>
std::optional<std::size_t> FileKeys(std::string_view text, File&& file, Path&& path) {
    const TransferCommand p = ParseCommand(text);
    const std::string_view cmd = p.cmd.Str();
    file(kText, HashFields(kText, {text}));
    file(kCmdDirFile, HashFields(kCmdDirFile, {cmd, p.dir, p.filename}));
    file(kCmdDir, HashFields(kCmdDir, {cmd, p.dir}));
    file(kFrom, HashFields(kFrom, {p.from}));
    if (!p.dir.Empty()) {
        file(kDir, HashFields(kDir, {p.dir}));
        path(std::string(1, 'd').append(p.dir.Str()));
    } else if (cmd == "rn") {
        file(kMoveTo, HashFields(kMoveTo, {p.to}));
        path(std::string(1, 'f').append(p.from.Str()));
        path(std::string(1, 't').append(p.to.Str()));
    }
    if (cmd == "rn") file(kRnDirTo, HashFields(kRnDirTo, {p.dir, p.to}));
    const bool sub = p.sub.Str() == "1";
    if (cmd == "del") {
        file(kDelFile, HashFields(kDelFile, {p.filename}));
        if (sub) {
            file(kDelSubDir, HashFields(kDelSubDir, {p.dir}));
            file(kDelSubLast, HashFields(kDelSubLast, {LastComponent(p.dir)}));
        }
    }
    if (!sub || p.sync.Str() != "1") return std::nullopt;
    const std::size_t length = p.ldir.Length();
    file(kTreeLdir, TreeLdirKey(Rolling(p.ldir), length));
    return length;
}

class BufferLock {
public:
    explicit BufferLock(std::recursive_timed_mutex& m) noexcept : mutex(m) {
        try {
            mutex.lock();
            owned = true;
        } catch (...) {
            owned = false;
        }
    }
    ~BufferLock() {
        if (owned) mutex.unlock();
    }
    BufferLock(const BufferLock&) = delete;
    BufferLock& operator=(const BufferLock&) = delete;
    explicit operator bool() const noexcept { return owned; }

private:
    std::recursive_timed_mutex& mutex;
    bool owned = false;
};

// An event list file that could not be written is reported once bufferMutex
// is free (ReportOwedEventListFailure): a box shown under the lock would hold
// the timer and the dialog for its whole time-out.
std::atomic<bool> unwritableReportOwed{false};

void ReportUnwritableEventList() { unwritableReportOwed = true; }

}  // namespace

// Guarded by bufferMutex, like the slots it describes.
struct CommandIndex {
    // Element: slot << kKindBits | kind. Buckets keep no order; candidates are
    // sorted before the rules run, so the slot order of a plain scan holds.
    std::unordered_map<uint64_t, std::vector<uint32_t>> buckets;
    std::vector<SlotEntry> entries;  // one per slot
    int32_t ldirLengthCount[kMaxLdir] = {};
    std::vector<uint16_t> ldirLengths;  // lengths with a count above 0, ascending
    // Tagged remote paths (kPathTags) with the number of slots that hold each:
    // the folders below a renamed one are a range of this map.
    std::map<std::string, int32_t, std::less<>> paths;
    int32_t seenCapacity = -1;
    int32_t seenCount = 0;  // commandCount when the last operation ended
    std::vector<int32_t> candidates;

    // The event list file: valid while fileKnown. It holds the non-empty slots
    // up to the last write's end; fileBytes long, the last line from
    // lastFileSlot. `changed` lists the slots changed since.
    bool fileKnown = false;
    int64_t fileBytes = 0;
    int32_t lastFileSlot = -1;
    std::vector<int32_t> changed;
    // Every step since the last write changed only its own new slot: the lines
    // they added can be appended in one write, since any part of it a kill
    // leaves (whole lines only count) is what some earlier step had written.
    bool appendOnly = true;
    EventListAppender appender;

    void Insert(int32_t slot, std::string_view text) {
        SlotEntry& entry = entries[static_cast<std::size_t>(slot)];
        const std::optional<std::size_t> tree = FileKeys(
            text,
            [&](uint32_t kind, uint64_t key) {
                std::vector<uint32_t>& bucket = buckets[key];
                entry.pos[kind] = static_cast<uint32_t>(bucket.size());
                entry.mask = static_cast<uint16_t>(entry.mask | (1u << kind));
                bucket.push_back(static_cast<uint32_t>(slot) << kKindBits | kind);
            },
            [&](std::string tagged) { ++paths[std::move(tagged)]; });
        if (tree && ldirLengthCount[*tree]++ == 0) {
            ldirLengths.insert(std::lower_bound(ldirLengths.begin(), ldirLengths.end(), *tree),
                               static_cast<uint16_t>(*tree));
        }
    }

    // `text`: what the slot held when it was inserted.
    void Remove(int32_t slot, std::string_view text) {
        SlotEntry& entry = entries[static_cast<std::size_t>(slot)];
        const std::optional<std::size_t> tree = FileKeys(
            text,
            [&](uint32_t kind, uint64_t key) {
                const auto found = buckets.find(key);
                if ((entry.mask & (1u << kind)) == 0 || found == buckets.end()) return;
                std::vector<uint32_t>& bucket = found->second;
                const uint32_t pos = entry.pos[kind];
                const uint32_t moved = bucket.back();
                bucket[pos] = moved;
                entries[moved >> kKindBits].pos[moved & ((1u << kKindBits) - 1)] = pos;
                bucket.pop_back();
                if (bucket.empty()) buckets.erase(found);
            },
            [&](const std::string& tagged) {
                const auto found = paths.find(tagged);
                if (found != paths.end() && --found->second <= 0) paths.erase(found);
            });
        if (tree && --ldirLengthCount[*tree] == 0) {
            ldirLengths.erase(std::lower_bound(ldirLengths.begin(), ldirLengths.end(), *tree));
        }
        entry.mask = 0;
    }

    void Rebuild(const CommandBuffer& buffer) {
        buckets.clear();
        entries.assign(buffer.commandSlots.size(), SlotEntry{});
        std::fill(std::begin(ldirLengthCount), std::end(ldirLengthCount), 0);
        ldirLengths.clear();
        paths.clear();
        for (std::size_t i = 0; i < buffer.commandSlots.size(); ++i) {
            if (!buffer.commandSlots[i].Empty()) {
                Insert(static_cast<int32_t>(i), buffer.commandSlots[i].Str());
            }
        }
        seenCapacity = buffer.commandCapacity;
        seenCount = buffer.commandCount;
        fileKnown = false;
        changed.clear();
        appendOnly = true;
    }

    // Appends the slots below `limit` filed under `key`.
    void Take(uint64_t key, int32_t limit) {
        const auto found = buckets.find(key);
        if (found == buckets.end()) return;
        for (uint32_t element : found->second) {
            const auto slot = static_cast<int32_t>(element >> kKindBits);
            if (slot < limit) candidates.push_back(slot);
        }
    }

    // Pending commands with a dir, or a move with an end, at or below `folder`.
    void TakeBelow(const std::string& folder, int32_t limit) {
        for (std::size_t t = 0; t < std::size(kPathTags); ++t) {
            const std::string prefix = std::string(1, kPathTags[t]) + folder;
            for (auto it = paths.lower_bound(prefix);
                 it != paths.end() && it->first.starts_with(prefix); ++it) {
                Take(HashFields(kPathKinds[t], {std::string_view(it->first).substr(1)}), limit);
            }
        }
    }

    // Pending tree sends whose ldir occurs in `ldir`: every window of ldir
    // whose length is that of some pending tree send's ldir.
    void TakeEnclosingTrees(std::string_view ldir, int32_t limit) {
        const uint64_t* powers = RollPowers();
        std::vector<uint64_t> prefix(ldir.size() + 1, 0);
        for (std::size_t i = 0; i < ldir.size(); ++i) {
            prefix[i + 1] = prefix[i] * kRollBase + static_cast<unsigned char>(ldir[i]);
        }
        for (uint16_t length : ldirLengths) {
            if (length > ldir.size()) break;
            const std::size_t last = length == 0 ? 0 : ldir.size() - length;
            for (std::size_t start = 0; start <= last; ++start) {
                const uint64_t window = prefix[start + length] - prefix[start] * powers[length];
                Take(TreeLdirKey(window, length), limit);
            }
        }
    }
};

CommandIndexHandle::CommandIndexHandle() noexcept = default;
CommandIndexHandle::CommandIndexHandle(const CommandIndexHandle&) noexcept {}
CommandIndexHandle& CommandIndexHandle::operator=(const CommandIndexHandle&) noexcept {
    index.reset();
    return *this;
}
CommandIndexHandle::CommandIndexHandle(CommandIndexHandle&&) noexcept = default;
CommandIndexHandle& CommandIndexHandle::operator=(CommandIndexHandle&&) noexcept = default;
CommandIndexHandle::~CommandIndexHandle() = default;

namespace {

// The tables for `buffer`, rebuilt when they cannot describe it: new, or the
// buffer was reset, emptied or replaced behind their back.
CommandIndex& TablesFor(CommandBuffer& buffer) {
    // The capacity is what every loop trusts: the slots must match it.
    if (buffer.commandCapacity < 0) buffer.commandCapacity = 0;
    std::unique_ptr<CommandIndex>& index = buffer.lookup.index;
    if (buffer.commandSlots.size() != static_cast<std::size_t>(buffer.commandCapacity)) {
        buffer.commandSlots.resize(static_cast<std::size_t>(buffer.commandCapacity));
        index.reset();
    }
    if (!index) {
        index = std::make_unique<CommandIndex>();
        index->Rebuild(buffer);
    } else if (index->seenCapacity != buffer.commandCapacity ||
               buffer.commandCount < index->seenCount) {
        index->Rebuild(buffer);
    }
    return *index;
}

// 100, 201, 403, 807, ...: earlier slots keep their contents.
void Grow(CommandBuffer& buffer, CommandIndex& index) {
    const int32_t capacity = buffer.commandCapacity;
    if (capacity > (INT32_MAX - 1) / 2) throw std::bad_alloc();
    const int32_t grown = capacity == 0 ? kInitialCommandCapacity : 2 * capacity + 1;
    buffer.commandSlots.resize(static_cast<std::size_t>(grown));
    index.entries.resize(static_cast<std::size_t>(grown));
    buffer.commandCapacity = grown;
    index.seenCapacity = grown;
}

void SetSlot(CommandBuffer& buffer, CommandIndex& index, int32_t slot, std::string_view text) {
    CommandSlot& target = buffer.commandSlots[static_cast<std::size_t>(slot)];
    if (!target.Empty()) index.Remove(slot, target.Str());
    target.Assign(text);
    if (!target.Empty()) index.Insert(slot, target.Str());
    index.changed.push_back(slot);
}

// The file's bytes for slots 0..through, in room taken once: under Wine a
// string that grows to a megabyte costs more than writing it.
std::string Lines(const CommandBuffer& buffer, int32_t through, int32_t* lastSlot) {
    *lastSlot = -1;
    const auto last =
        std::min<int64_t>(through, static_cast<int64_t>(buffer.commandSlots.size()) - 1);
    std::size_t size = 0;
    for (int32_t i = 0; i <= last; ++i) {
        const CommandSlot& slot = buffer.commandSlots[static_cast<std::size_t>(i)];
        if (!slot.Empty()) size += slot.Length() + kEventLineEnd.size();
    }
    std::string bytes;
    bytes.reserve(size);
    for (int32_t i = 0; i <= last; ++i) {
        const CommandSlot& slot = buffer.commandSlots[static_cast<std::size_t>(i)];
        if (slot.Empty()) continue;
        bytes.append(slot.Str());
        bytes.append(kEventLineEnd);
        *lastSlot = i;
    }
    return bytes;
}

// Brings the event list file to the non-empty slots 0..through. When the
// slots changed since the last write all lie behind the file's last line and
// were each changed by the step that added them, their lines are appended;
// otherwise the file is replaced whole. False when it could not be written.
bool WriteSteps(CommandBuffer& buffer, CommandIndex& index, int32_t through) {
    const std::string path(State().eventListPath.Str());
    std::vector<int32_t>& changed = index.changed;
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    if (index.fileKnown && index.appendOnly &&
        (changed.empty() || changed.front() > index.lastFileSlot)) {
        std::string payload;
        int32_t lastLine = index.lastFileSlot;
        for (int32_t slot : changed) {
            const CommandSlot& text = buffer.commandSlots[static_cast<std::size_t>(slot)];
            if (slot > through || text.Empty()) continue;
            payload.append(text.Str());
            payload.append(kEventLineEnd);
            lastLine = slot;
        }
        if (index.appender.Append(path, index.fileBytes, payload) == AppendResult::kAppended) {
            index.fileBytes += static_cast<int64_t>(payload.size());
            index.lastFileSlot = lastLine;
            changed.clear();
            return true;
        }
        // Not what the last write left, or the append failed: replaced whole.
    }
    // The file's own commands are not in the buffer yet: a replace would drop them.
    if (buffer.fileUnread) return false;
    int32_t lastSlot = -1;
    const std::string bytes = Lines(buffer, through, &lastSlot);
    changed.clear();
    index.appendOnly = true;
    index.appender.Close();
    const ReplaceOutcome outcome = ReplaceFileContent(path, bytes, false);
    // Pending: whole only beside the file; appends wait for the next replace.
    index.fileKnown = outcome == ReplaceOutcome::kReplaced || outcome == ReplaceOutcome::kInPlace;
    index.fileBytes = static_cast<int64_t>(bytes.size());
    index.lastFileSlot = lastSlot;
    return outcome != ReplaceOutcome::kFailed;
}

// An equal pending command makes the new one a repeat; for a rename only when
// nothing was added after it (RepeatsOnlyAsLast).
bool IsPending(const CommandBuffer& buffer, CommandIndex& index, std::string_view text) {
    index.candidates.clear();
    index.Take(HashFields(kText, {text}), buffer.commandCount);
    int32_t last = -1;
    for (int32_t slot : index.candidates) {
        if (buffer.commandSlots[static_cast<std::size_t>(slot)].Str() == text) {
            last = std::max(last, slot);
        }
    }
    if (last < 0) return false;
    if (!RepeatsOnlyAsLast(text)) return true;
    for (int32_t i = buffer.commandCount - 1; i > last; --i) {
        if (!buffer.commandSlots[static_cast<std::size_t>(i)].Empty()) return false;
    }
    return true;
}

// Collects every pending slot that a rule of `eventKind` can apply to (a
// superset: DecideCoalesce then checks each in full). A rule whose pending
// command no key here finds fails CommandIndexTest.
void CollectCandidates(CommandIndex& index, int32_t eventKind, const TransferCommand& n,
                       int32_t limit, int32_t smbMode) {
    index.candidates.clear();
    const auto take = [&](uint64_t key) { index.Take(key, limit); };
    switch (eventKind) {
        case kEventDelete:
            take(HashFields(kCmdDirFile, {"put", n.dir, n.filename}));
            take(HashFields(kRnDirTo, {n.dir, n.filename}));
            take(HashFields(kDelSubDir, {n.dir}));
            break;
        case kEventCreate:
            if (smbMode == 0) take(HashFields(kDelFile, {n.filename}));
            take(HashFields(kCmdDirFile, {"put", n.dir, ""}));
            break;
        case kEventRenameItem: {
            take(HashFields(kCmdDirFile, {"put", n.dir, n.from}));
            if (!n.from.Empty()) take(HashFields(kCmdDirFile, {"put", n.dir, ""}));
            if (!n.dir.Empty()) {
                take(HashFields(kRnDirTo, {n.dir, n.from}));
                take(HashFields(kRnDirTo,
                                {"", std::string(n.dir.Str()) + std::string(n.from.Str())}));
            }
            std::string folder, name;
            if (n.dir.Empty() && SplitRemotePath(n.from, folder, name)) {
                take(HashFields(kCmdDirFile, {"put", folder, name}));
            }
            break;
        }
        case kEventMkDir:
            take(HashFields(kDelSubLast, {LastComponent(n.dir)}));
            index.TakeEnclosingTrees(n.ldir, limit);
            break;
        case kEventRmDir:
            take(HashFields(kCmdDir, {"put", n.dir}));
            take(HashFields(kCmdDir, {"del", n.dir}));
            break;
        case kEventUpdateDir:
            take(HashFields(kCmdDir, {"put", n.dir}));
            take(HashFields(kCmdDir, {"rn", n.dir}));
            break;
        case kEventRenameFolder: {
            std::string oldFolder, newFolder;
            if (FolderRenamePaths(n, oldFolder, newFolder)) index.TakeBelow(oldFolder, limit);
            break;
        }
        default:
            break;
    }
    std::vector<int32_t>& c = index.candidates;
    std::sort(c.begin(), c.end());
    c.erase(std::unique(c.begin(), c.end()), c.end());
}

// A new file takes only the last pending deletion of its name as its move: the
// deletions before it stay, as their files may be on the remote side. -1: none.
int32_t MoveSource(const CommandBuffer& buffer, const CommandIndex& index, int32_t eventKind,
                   const TransferCommand& n, int32_t smbMode) {
    int32_t source = -1;
    if (eventKind != kEventCreate) return source;
    for (int32_t slot : index.candidates) {
        const CommandSlot& text = buffer.commandSlots[static_cast<std::size_t>(slot)];
        if (!text.Empty() && DecideCoalesce(eventKind, ParseCommand(text.Str()), n, smbMode).rule ==
                                 CoalesceRule::kCreateAfterDelete) {
            source = slot;
        }
    }
    return source;
}

void Coalesce(CommandBuffer& buffer, CommandIndex& index, int32_t newSlot, int32_t eventKind) {
    if (buffer.commandCount > 0) {
        const TransferCommand n =
            ParseCommand(buffer.commandSlots[static_cast<std::size_t>(newSlot)].Str());
        const int32_t smbMode = State().smbMode;
        CollectCandidates(index, eventKind, n, std::min(buffer.commandCount, newSlot), smbMode);
        const int32_t moveSource = MoveSource(buffer, index, eventKind, n, smbMode);
        NewCommandEffect effect = NewCommandEffect::kKeep;
        bool stays = false;
        CommandText newText;  // of the last rule that made the new command another
        // SetSlot leaves the candidate list alone.
        for (int32_t slot : index.candidates) {
            const CommandSlot& text = buffer.commandSlots[static_cast<std::size_t>(slot)];
            if (text.Empty()) continue;
            const CoalesceOutcome outcome =
                DecideCoalesce(eventKind, ParseCommand(text.Str()), n, smbMode);
            if (outcome.rule == CoalesceRule::kCreateAfterDelete && slot != moveSource) continue;
            if (outcome.dropPending) {
                SetSlot(buffer, index, slot, {});
                index.appendOnly = false;
            } else if (outcome.pendingBecomes) {
                SetSlot(buffer, index, slot, outcome.pendingText);
                index.appendOnly = false;
            }
            if (outcome.newEffect == NewCommandEffect::kStay) {
                stays = true;
            } else if (outcome.newEffect == NewCommandEffect::kBecome) {
                effect = outcome.newEffect;
                newText = outcome.newText;
            } else if (outcome.newEffect == NewCommandEffect::kDrop) {
                effect = outcome.newEffect;
            }
        }
        // A command that stays is never dropped; what it became stands.
        if (stays && effect == NewCommandEffect::kDrop) {
            effect = newText.Empty() ? NewCommandEffect::kKeep : NewCommandEffect::kBecome;
        }
        if (effect == NewCommandEffect::kDrop) SetSlot(buffer, index, newSlot, {});
        if (effect == NewCommandEffect::kBecome) SetSlot(buffer, index, newSlot, newText);
    }
    // A queued flush message comes after every notification already queued:
    // the file is written once for all of them.
    if (buffer.flushQueued) {
        buffer.fileBehind = true;
        return;
    }
    buffer.fileBehind = !WriteSteps(buffer, index, newSlot);
    if (buffer.fileBehind) ReportUnwritableEventList();
}

// The slot of the command being added, counted or not: the last one written.
int32_t LastWrittenSlot(const CommandBuffer& buffer) {
    return std::min(buffer.commandCount, buffer.commandCapacity - 1);
}

// A line over 511 bytes is refused rather than cut: a cut line would name
// another file or folder. The composition puts a stand-in in its place
// (ComposeEnclosingPutTree), so none arrives here in practice.
std::string_view StorableCommand(const char* command) {
    const std::string_view text = command ? std::string_view(command) : std::string_view();
    return text.size() > kMaxCommandBytes ? std::string_view() : text;
}

// Appends `lines` to the next slots, growing the buffer; the tables are
// rebuilt at the next use. Under bufferMutex.
int32_t AppendLines(CommandBuffer& buffer, const std::vector<std::string>& lines) {
    int32_t read = 0;
    try {
        CommandIndex& index = TablesFor(buffer);
        for (const std::string& line : lines) {
            if (buffer.commandCount < 0) buffer.commandCount = 0;
            while (buffer.commandCount >= buffer.commandCapacity) Grow(buffer, index);
            buffer.commandSlots[static_cast<std::size_t>(buffer.commandCount)].Assign(line);
            ++buffer.commandCount;
            ++read;
        }
    } catch (const std::bad_alloc&) {
        // What did not fit stays in the file, which is not touched here.
    }
    buffer.lookup.index.reset();
    return read;
}

// The event list file's commands that the read-back could not read go in
// front of the buffer's, once the file can be read. Under bufferMutex, never
// between an addition and its count.
void AdoptUnreadFile(CommandBuffer& buffer) {
    if (!buffer.fileUnread) return;
    std::vector<std::string> lines;
    if (ReadCommandLines(std::string(State().eventListPath.Str()), lines) != FileResult::kOk)
        return;
    const int32_t through = std::min(buffer.commandCount, buffer.commandCapacity - 1);
    for (int32_t i = 0; i <= through; ++i) {
        const CommandSlot& slot = buffer.commandSlots[static_cast<std::size_t>(i)];
        if (!slot.Empty()) lines.emplace_back(slot.Str());
    }
    for (CommandSlot& slot : buffer.commandSlots) slot.Clear();
    buffer.commandCount = 0;
    buffer.fileUnread = false;
    buffer.fileBehind = true;
    AppendLines(buffer, lines);
}

}  // namespace

void CreateCommandBuffer(CommandBuffer& buffer) {
    buffer.commandSlots.assign(kInitialCommandCapacity, CommandSlot{});
    buffer.commandCapacity = kInitialCommandCapacity;
    buffer.commandCount = 0;
    buffer.flushQueued = false;
    buffer.fileBehind = false;
    buffer.fileUnread = false;
    buffer.lookup.index.reset();
    unwritableReportOwed = false;
}

AddResult AddCommand(const char* command, int32_t eventKind) {
    WatcherState& state = State();
    BufferLock lock(state.bufferMutex);
    if (!lock) return AddResult::kRefused;
    CommandBuffer& buffer = state.commands;
    try {
        AdoptUnreadFile(buffer);
        CommandIndex& index = TablesFor(buffer);
        if (buffer.commandCount < 0) buffer.commandCount = 0;
        for (;;) {
            if (buffer.commandCount >= buffer.commandCapacity) {
                Grow(buffer, index);
                continue;
            }
            if (buffer.commandSlots[static_cast<std::size_t>(buffer.commandCount)].Empty()) break;
            ++buffer.commandCount;
        }
        const std::string_view text = StorableCommand(command);
        if (IsPending(buffer, index, text)) {
            index.seenCount = buffer.commandCount;
            return AddResult::kDuplicate;
        }
        if (!text.empty()) {
            SetSlot(buffer, index, buffer.commandCount, text);
            Coalesce(buffer, index, buffer.commandCount, eventKind);
        }
        ++buffer.commandCount;
        index.seenCount = buffer.commandCount;
        return text.empty() ? AddResult::kEmpty : AddResult::kAdded;
    } catch (const std::bad_alloc&) {
        // No room to grow or to index: nothing is stored; the tables are
        // rebuilt at the next use.
        buffer.lookup.index.reset();
        return AddResult::kRefused;
    }
}

void SaveAndClearBuffer() {
    WatcherState& state = State();
    bool unsaved = false;
    {
        BufferLock lock(state.bufferMutex);
        if (!lock) return;
        CommandBuffer& buffer = state.commands;
        bool saved = false;
        try {
            AdoptUnreadFile(buffer);
            buffer.lookup.index.reset();  // closes the file if it is held open
            // A file whose own commands could not be read is not replaced.
            if (!buffer.fileUnread) {
                int32_t lastSlot = -1;
                const std::string bytes = Lines(
                    buffer, std::min(buffer.commandCount, buffer.commandCapacity) - 1, &lastSlot);
                saved = ReplaceFileContent(std::string(state.eventListPath.Str()), bytes, false) !=
                        ReplaceOutcome::kFailed;
            }
        } catch (const std::bad_alloc&) {
        }
        // Unsaved, the file keeps its last write: the same commands unless some
        // were still waiting for their flush, which are lost with the process.
        unsaved = !saved && (buffer.fileBehind || buffer.fileUnread);
        EmptyCommandBuffer();
    }
    if (unsaved) ShowMessage(kMsgFileOpenFailed, state.watchedPath.CStr());
}

void EmptyCommandBuffer() {
    WatcherState& state = State();
    BufferLock lock(state.bufferMutex);
    if (!lock) return;
    CommandBuffer& buffer = state.commands;
    for (CommandSlot& slot : buffer.commandSlots) slot.Clear();
    buffer.commandCount = 0;
    buffer.fileBehind = false;
    buffer.fileUnread = false;
    buffer.lookup.index.reset();
}

int32_t ReadBackEventList() {
    WatcherState& state = State();
    int32_t read = 0;
    bool unreadable = false;
    {
        BufferLock lock(state.bufferMutex);
        if (!lock) return 0;
        EmptyCommandBuffer();
        std::vector<std::string> lines;
        const FileResult result = ReadCommandLines(std::string(state.eventListPath.Str()), lines);
        unreadable = result != FileResult::kOk && result != FileResult::kMissing;
        if (unreadable) state.commands.fileUnread = true;
        read = AppendLines(state.commands, lines);
    }
    if (unreadable) ShowMessage(kMsgFileOpenFailed, state.watchedPath.CStr());
    return read;
}

void AdoptMergedLines(const std::vector<std::string>& lines) {
    WatcherState& state = State();
    BufferLock lock(state.bufferMutex);
    if (!lock) return;
    // The file was read whole and now holds exactly these lines: the buffer
    // starts again from them. Dropping the tables closes the file held open
    // for appending, and the next write replaces the file whole; a queued
    // flush message stays queued and then finds nothing to write.
    EmptyCommandBuffer();
    AppendLines(state.commands, lines);
}

std::vector<int32_t> MergeCandidates(std::string_view command, int32_t eventKind) {
    WatcherState& state = State();
    BufferLock lock(state.bufferMutex);
    if (!lock) return {};
    CommandBuffer& buffer = state.commands;
    try {
        CommandIndex& index = TablesFor(buffer);
        CollectCandidates(index, eventKind, ParseCommand(command), std::max(buffer.commandCount, 0),
                          state.smbMode);
        return index.candidates;
    } catch (const std::bad_alloc&) {
        buffer.lookup.index.reset();
        return {};
    }
}

bool FlushEventList() {
    WatcherState& state = State();
    BufferLock lock(state.bufferMutex);
    if (!lock) return false;
    CommandBuffer& buffer = state.commands;
    try {
        AdoptUnreadFile(buffer);
        if (!buffer.fileBehind) return true;
        if (WriteSteps(buffer, TablesFor(buffer), LastWrittenSlot(buffer))) {
            buffer.fileBehind = false;
            return true;
        }
    } catch (const std::bad_alloc&) {
        buffer.lookup.index.reset();
    }
    ReportUnwritableEventList();
    return false;
}

bool RequestEventListFlush() {
    WatcherState& state = State();
    BufferLock lock(state.bufferMutex);
    if (!lock || state.commands.flushQueued) return false;
    state.commands.flushQueued = true;
    return true;
}

void EventListFlushArrived() {
    WatcherState& state = State();
    {
        BufferLock lock(state.bufferMutex);
        if (!lock) return;
        state.commands.flushQueued = false;
        static_cast<void>(FlushEventList());
    }
    ReportOwedEventListFailure();
}

void ReportOwedEventListFailure() {
    if (!unwritableReportOwed.exchange(false)) return;
    ShowMessage(kMsgFileOpenFailed, State().watchedPath.CStr());
    if (CurrentSeams().endProcess) CurrentSeams().endProcess(1);
}

void ReleaseCommandBuffer() {
    WatcherState& state = State();
    BufferLock lock(state.bufferMutex);
    if (!lock) return;
    CommandBuffer& buffer = state.commands;
    std::vector<CommandSlot>().swap(buffer.commandSlots);
    buffer.commandCapacity = 0;
    buffer.commandCount = 0;
    buffer.lookup.index.reset();
}

bool MergeSendList(bool reportFailure) {
    std::vector<std::string> merged;
    bool wrote = false;
    const bool ok = MergeSendListFile(reportFailure, merged, wrote);
    if (wrote) AdoptMergedLines(merged);
    return ok;
}
