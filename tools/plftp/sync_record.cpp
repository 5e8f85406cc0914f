#include "tools/plftp/sync_record.h"

#include <charconv>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/name_case.h"
#include "base/text_conversion.h"

namespace {

constexpr std::string_view kHeader = "plftp record 1";

// Whether `key` is `base` or lies below it.
bool AtOrBelow(std::wstring_view key, std::wstring_view base) {
    return key.starts_with(base) && (key.size() == base.size() || key[base.size()] == L'/');
}

// Splits off the text up to the next blank (or the end).
std::string_view Word(std::string_view& text) {
    const std::size_t blank = text.find(' ');
    const std::string_view word = text.substr(0, blank);
    text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    return word;
}

template <class Number>
bool ReadNumber(std::string_view& text, Number& value) {
    const std::string_view word = Word(text);
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc() && end == word.data() + word.size() && !word.empty();
}

// A path of the record: not empty, no empty name, no line or field break.
bool ReadPath(std::string_view text, std::wstring& path) {
    if (text.empty() || !DecodeUtf8(text, path)) return false;
    if (path.front() == L'/' || path.back() == L'/' || path.find(L"//") != std::wstring::npos) {
        return false;
    }
    return path.find_first_of(L"\t\n\r") == std::wstring::npos;
}

// A computer's name as part of a file name.
bool IsSafeDeviceUnit(wchar_t c) {
    return c >= 0x20 && std::wstring_view(L"\\/:*?\"<>|").find(c) == std::wstring_view::npos;
}

// `value` in decimal with at least `width` digits.
std::wstring Digits(int64_t value, std::size_t width) {
    std::wstring text = std::to_wstring(value);
    return text.size() < width ? std::wstring(width - text.size(), L'0') + text : text;
}

bool Recordable(std::wstring_view path) {
    return !path.empty() && path.find_first_of(L"\t\n\r") == std::wstring_view::npos;
}

// "<F|D> <local size> <local time> <remote size> <remote time> <path>"
std::string EntryFields(const RecordEntry& entry) {
    char numbers[100];
    std::snprintf(numbers, sizeof numbers, "%c %llu %lld %llu %lld ", entry.folder ? 'D' : 'F',
                  static_cast<unsigned long long>(entry.local.size),
                  static_cast<long long>(entry.local.modified),
                  static_cast<unsigned long long>(entry.remote.size),
                  static_cast<long long>(entry.remote.modified));
    return numbers + EncodeUtf8(entry.path);
}

bool ReadEntry(std::string_view text, RecordEntry& entry) {
    const std::string_view kind = Word(text);
    if (kind != "F" && kind != "D") return false;
    entry.folder = kind == "D";
    return ReadNumber(text, entry.local.size) && ReadNumber(text, entry.local.modified) &&
           ReadNumber(text, entry.remote.size) && ReadNumber(text, entry.remote.modified) &&
           ReadPath(text, entry.path);
}

// The lines of `text`; a last line without its line feed is cut and left out.
std::vector<std::string_view> WholeLines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string_view::npos;
         at = end + 1) {
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

}  // namespace

std::wstring CSyncRecord::Key(std::wstring_view path) const {
    return caseSensitive ? std::wstring(path) : NameCaseKey(path);
}

void CSyncRecord::SetCaseSensitive(bool value) {
    if (value == caseSensitive) return;
    caseSensitive = value;
    std::map<std::wstring, RecordEntry> rekeyed;
    for (auto& [key, entry] : entries) rekeyed[Key(entry.path)] = std::move(entry);
    entries = std::move(rekeyed);
}

const RecordEntry* CSyncRecord::Find(std::wstring_view path) const {
    const auto found = entries.find(Key(path));
    return found == entries.end() ? nullptr : &found->second;
}

void CSyncRecord::Journal(const std::string& line) {
    if (journal) journal->Append(line + "\n");
}

void CSyncRecord::Set(const RecordEntry& entry) {
    if (!Recordable(entry.path)) return;
    entries[Key(entry.path)] = entry;
    Journal("S " + EntryFields(entry));
}

void CSyncRecord::Drop(std::wstring_view path) {
    const std::wstring key = Key(path);
    bool dropped = false;
    for (auto it = entries.lower_bound(key); it != entries.end() && it->first.starts_with(key);) {
        if (AtOrBelow(it->first, key)) {
            it = entries.erase(it);
            dropped = true;
        } else {
            ++it;
        }
    }
    if (dropped && Recordable(path)) Journal("X " + EncodeUtf8(path));
}

void CSyncRecord::Clear() {
    entries.clear();
    Journal("C");
}

void CSyncRecord::Move(std::wstring_view from, std::wstring_view to) {
    if (!Recordable(from) || !Recordable(to)) return;
    const std::wstring key = Key(from);
    std::vector<RecordEntry> moved;
    for (auto it = entries.lower_bound(key); it != entries.end() && it->first.starts_with(key);) {
        if (AtOrBelow(it->first, key)) {
            moved.push_back(std::move(it->second));
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
    if (moved.empty()) return;
    // What the target held at `to` before is gone: the move replaced it.
    Drop(to);
    for (RecordEntry& entry : moved) {
        entry.path = std::wstring(to) + entry.path.substr(from.size());
        entries[Key(entry.path)] = std::move(entry);
    }
    Journal("M " + EncodeUtf8(from) + "\t" + EncodeUtf8(to));
}

void CSyncRecord::Intent(std::wstring_view path, Direction direction) {
    if (!Recordable(path)) return;
    const bool put = direction == Direction::kPut;
    RecordEntry& entry = entries[Key(path)];
    if (entry.path.empty()) entry.path = path;
    entry.folder = false;
    // The sending side has something to send again; the receiving side's copy
    // is the one plftp is replacing, whatever it holds after a kill.
    (put ? entry.local : entry.remote) = RecordSide{kRecordChanged, 0};
    (put ? entry.remote : entry.local) = RecordSide{kRecordAny, 0};
    Journal(std::string(put ? "I P " : "I G ") + EncodeUtf8(path));
}

std::string CSyncRecord::Text(std::string_view target) const {
    std::string text;
    text.reserve(entries.size() * 64 + 64);
    text.append(kHeader).append("\ntarget ").append(target).append("\n");
    for (const auto& [key, entry] : entries) text.append(EntryFields(entry)).append("\n");
    text.append("end ").append(std::to_string(entries.size())).append("\n");
    return text;
}

bool CSyncRecord::Read(std::string_view text, std::string_view target) {
    entries.clear();
    const std::vector<std::string_view> lines = WholeLines(text);
    bool whole = lines.size() >= 3 && lines.front() == kHeader &&
                 lines[1] == std::string("target ").append(target) &&
                 lines.back() == "end " + std::to_string(lines.size() - 3);
    for (std::size_t i = 2; whole && i + 1 < lines.size(); ++i) {
        RecordEntry entry;
        whole = ReadEntry(lines[i], entry) && entries.emplace(Key(entry.path), entry).second;
    }
    if (!whole) entries.clear();
    return whole;
}

bool CSyncRecord::Apply(std::string_view line) {
    CRecordJournal* const sink = std::exchange(journal, nullptr);
    bool applied = false;
    std::string_view rest = line;
    const std::string_view kind = Word(rest);
    std::wstring path, to;
    RecordEntry entry;
    if (kind == "C" && rest.empty()) {
        applied = true;
        Clear();
    } else if (kind == "S") {
        applied = ReadEntry(rest, entry);
        if (applied) Set(entry);
    } else if (kind == "X") {
        applied = ReadPath(rest, path);
        if (applied) Drop(path);
    } else if (kind == "M") {
        const std::size_t tab = rest.find('\t');
        applied = tab != std::string_view::npos && ReadPath(rest.substr(0, tab), path) &&
                  ReadPath(rest.substr(tab + 1), to);
        if (applied) Move(path, to);
    } else if (kind == "I") {
        const std::string_view side = Word(rest);
        applied = (side == "P" || side == "G") && ReadPath(rest, path);
        if (applied) Intent(path, side == "P" ? Direction::kPut : Direction::kGet);
    }
    journal = sink;
    return applied;
}

bool CSyncRecord::Replay(std::string_view text) {
    for (std::string_view line : WholeLines(text)) {
        if (!Apply(line)) return false;
    }
    return true;
}

bool SideUnchanged(const RecordSide& recorded, bool recordedFolder, bool folder, uint64_t size,
                   int64_t modified, int64_t step) {
    if (recordedFolder != folder) return false;
    if (folder || recorded.size == kRecordAny) return true;
    if (recorded.size == kRecordChanged || recorded.size != size) return false;
    if (recorded.modified == 0 || modified == 0) return true;
    const int64_t difference = modified - recorded.modified;
    return difference < step && difference > -step;
}

std::wstring ConflictName(std::wstring_view name, std::wstring_view device, int64_t when) {
    // The extension stays last, so the copy opens with the same program.
    std::size_t dot = name.rfind(L'.');
    if (dot == 0 || dot == std::wstring_view::npos) dot = name.size();
    std::wstring from;
    for (wchar_t c : device) from += IsSafeDeviceUnit(c) ? c : L'-';
    if (from.empty()) from = L"this computer";
    // FILETIME ticks to the civil date (days from 1601-01-01, a Monday).
    const int64_t minutes = when / 600000000;
    int64_t days = minutes / 1440 - 134774;  // to 1970-01-01
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const std::wstring stamp = Digits(year, 4) + L"-" + Digits(month, 2) + L"-" + Digits(day, 2) +
                               L" " + Digits(minutes / 60 % 24, 2) + L"." + Digits(minutes % 60, 2);
    std::wstring suffix = L" (conflict, " + from + L", " + stamp + L")";
    std::wstring stem(name.substr(0, dot));
    const std::wstring extension(name.substr(dot));
    // A name keeps to 255 units: the stem gives way.
    const std::size_t room =
        255 > suffix.size() + extension.size() ? 255 - suffix.size() - extension.size() : 0;
    if (stem.size() > room) stem.resize(room);
    return stem + suffix + extension;
}
