#pragma once
// What plftp last left equal on both sides of one folder and one target: for
// each item it synced, its path below the watched folder, whether it is a
// folder, and its size and time on each side as they were when the two were
// made equal. A whole-folder run tells by it "deleted here" from "added
// there" and "changed here" from "changed there" (transfer_engine.h).
//
// The record lives in two files of the data folder: the record itself,
// replaced whole at the end of a run, and its journal, to which every change
// of the run is appended as it is made, one whole line at a time. A kill at
// any moment leaves the old record and the journal's whole lines; the next
// run reads both. A transfer announces itself in the journal before it
// starts ("intent"): if no line after it says how it ended, the item counts
// as changed on the sending side and as plftp's own on the receiving side, so
// the next run sends it again instead of taking it for a conflict.
//
// Logic only; single-threaded (one run of a folder at a time holds its lock).

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Sizes that are no size: a side that counts as changed whatever it holds,
// and one that counts as unchanged whatever it holds.
inline constexpr uint64_t kRecordChanged = UINT64_MAX;
inline constexpr uint64_t kRecordAny = UINT64_MAX - 1;

struct RecordSide {
    uint64_t size = 0;
    int64_t modified = 0;  // FILETIME ticks; 0 when not known (the size alone decides)
};

struct RecordEntry {
    std::wstring path;  // below the watched folder, "/" between names, as last synced
    bool folder = false;
    RecordSide local;
    RecordSide remote;
};

// Where the journal's lines go; the run's file, or nothing.
class CRecordJournal {
public:
    virtual ~CRecordJournal() = default;
    virtual void Append(std::string_view line) = 0;
};

class CSyncRecord {
public:
    enum class Direction : uint8_t { kPut, kGet };

    // Whether a record was found and read at the start of the run: without
    // one, a whole-folder run merges and removes nothing.
    bool Known() const { return known; }
    // Paths are matched as the target matches names: where it tells case
    // apart, `a` and `A` are two items there, and two records here.
    void SetCaseSensitive(bool value);
    std::wstring Key(std::wstring_view path) const;
    void SetKnown(bool value) { known = value; }
    void SetJournal(CRecordJournal* sink) { journal = sink; }

    const RecordEntry* Find(std::wstring_view path) const;
    // Each change is journaled before it returns.
    void Set(const RecordEntry& entry);
    void Drop(std::wstring_view path);                        // the item and all below it
    void Clear();                                             // every item
    void Move(std::wstring_view from, std::wstring_view to);  // the item and all below it
    // A transfer of `path` is about to begin in `direction`.
    void Intent(std::wstring_view path, Direction direction);

    // The whole record as text, and back; false (and an empty record) for a
    // text that is not a whole record of this target.
    std::string Text(std::string_view target) const;
    bool Read(std::string_view text, std::string_view target);
    // Replays a journal's whole lines; a cut last line is left out. False
    // when a whole line cannot be read (the lines before it are kept).
    bool Replay(std::string_view text);

    std::size_t Size() const { return entries.size(); }
    const std::map<std::wstring, RecordEntry>& Entries() const { return entries; }

private:
    bool Apply(std::string_view line);
    void Journal(const std::string& line);

    std::map<std::wstring, RecordEntry> entries;  // by the folded path
    bool known = false;
    bool caseSensitive = false;
    CRecordJournal* journal = nullptr;
};

// Whether a side's item is still as the record saw it. A file with a size of
// kRecordChanged never is, one of kRecordAny always is; otherwise the sizes
// must agree and, where both times are known, the times to within `step`.
bool SideUnchanged(const RecordSide& recorded, bool recordedFolder, bool folder, uint64_t size,
                   int64_t modified, int64_t step);

// "report (conflict, PC-1, 2026-12-10 14.05).txt": the name a file's other
// version goes under beside it; `when` is UTC FILETIME ticks.
std::wstring ConflictName(std::wstring_view name, std::wstring_view device, int64_t when);
