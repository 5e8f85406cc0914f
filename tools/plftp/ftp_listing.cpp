#include "tools/plftp/ftp_listing.h"

#include <array>
#include <cstddef>

#include "tools/plftp/tool_status.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!IsDigit(c)) return false;
    }
    return true;
}
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool ParseNumber(std::string_view text, uint64_t& value) {
    if (!AllDigits(text)) return false;
    value = 0;
    for (char c : text) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// A name as a listing gives it: one component, never "." or "..". A line
// end inside a name would end a command that names it on some servers.
FtpLine NamedEntry(std::string_view name, FtpListedEntry& entry) {
    if (name.empty() ||
        name.find_first_of(std::string_view("/\0\n\r", 4)) != std::string_view::npos)
        return FtpLine::kUnreadable;
    if (name == "." || name == "..") return FtpLine::kSkip;
    entry.name.assign(name);
    return FtpLine::kEntry;
}

// Blank-separated fields of a LIST line, each with its place.
struct Field {
    std::size_t begin, end;
};
std::vector<Field> Fields(std::string_view line, std::size_t most) {
    std::vector<Field> fields;
    std::size_t at = 0;
    while (fields.size() < most) {
        while (at < line.size() && line[at] == ' ') ++at;
        if (at == line.size()) break;
        const std::size_t begin = at;
        while (at < line.size() && line[at] != ' ') ++at;
        fields.push_back({begin, at});
    }
    return fields;
}

bool IsMonth(std::string_view text) {
    static constexpr std::array<std::string_view, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    for (std::string_view month : kMonths) {
        if (SameLetters(text, month)) return true;
    }
    return false;
}
// "HH:MM" (an hour of one or two digits), or "HH:MMAM"/"HH:MMPM" when `dos`.
bool IsClock(std::string_view text, bool dos) {
    if (dos && text.size() > 2 &&
        (SameLetters(text.substr(text.size() - 2), "am") ||
         SameLetters(text.substr(text.size() - 2), "pm"))) {
        text.remove_suffix(2);
    }
    const std::size_t colon = text.find(':');
    return colon != std::string_view::npos && colon >= 1 && colon <= 2 &&
           AllDigits(text.substr(0, colon)) && text.size() - colon == 3 &&
           AllDigits(text.substr(colon + 1));
}

// "-rw-r--r--   1 owner group  123 Jan 02 03:04 name": the fields before the
// size vary between servers (no group, no link count), so the date decides:
// a month, a day, a time or a year, with the size before it. The name is what
// follows the single blank after the date.
FtpLine ParseUnixLine(std::string_view line, FtpListedEntry& entry) {
    const char type = line[0];
    const std::vector<Field> fields = Fields(line, 12);
    if (fields.empty() || fields[0].end - fields[0].begin < 10) return FtpLine::kUnreadable;
    auto text = [&](std::size_t i) {
        return line.substr(fields[i].begin, fields[i].end - fields[i].begin);
    };
    for (std::size_t i = 2; i + 2 < fields.size(); ++i) {
        const std::string_view day = text(i + 1), clock = text(i + 2);
        if (!IsMonth(text(i)) || !AllDigits(day) || day.size() > 2 || !AllDigits(text(i - 1)))
            continue;
        if (!IsClock(clock, false) && !(clock.size() == 4 && AllDigits(clock))) continue;
        const std::size_t nameAt = fields[i + 2].end + 1;
        if (nameAt >= line.size()) return FtpLine::kUnreadable;
        std::string_view name = line.substr(nameAt);
        entry = FtpListedEntry{};
        if (type == 'l') {
            entry.link = true;
            const std::size_t arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) name = name.substr(0, arrow);
        } else if (type == 'd') {
            entry.folder = true;
        } else if (type != '-') {
            return FtpLine::kSkip;  // devices, pipes, sockets: nothing to transfer
        } else if (!ParseNumber(text(i - 1), entry.size)) {
            return FtpLine::kUnreadable;
        }
        return NamedEntry(name, entry);
    }
    return FtpLine::kUnreadable;
}

// "01-02-24  03:04PM       <DIR>          name" or "...  1234 name". After a
// size one blank comes before the name; after <DIR> the DOS form pads with
// ten, so a name's own leading blanks are those beyond the ten.
FtpLine ParseDosLine(std::string_view line, FtpListedEntry& entry) {
    const std::vector<Field> fields = Fields(line, 3);
    if (fields.size() < 3) return FtpLine::kUnreadable;
    const std::string_view date = line.substr(fields[0].begin, fields[0].end - fields[0].begin);
    const std::string_view clock = line.substr(fields[1].begin, fields[1].end - fields[1].begin);
    const std::string_view kind = line.substr(fields[2].begin, fields[2].end - fields[2].begin);
    const bool dateShape = (date.size() == 8 || date.size() == 10) && date[2] == date[5] &&
                           (date[2] == '-' || date[2] == '/') && IsDigit(date[0]) &&
                           IsDigit(date[3]) && IsDigit(date[6]);
    if (!dateShape || !IsClock(clock, true)) return FtpLine::kUnreadable;
    entry = FtpListedEntry{};
    std::size_t nameAt = fields[2].end;
    if (SameLetters(kind, "<dir>")) {
        entry.folder = true;
        std::size_t blanks = 0;
        while (nameAt + blanks < line.size() && line[nameAt + blanks] == ' ') ++blanks;
        nameAt += blanks >= 10 ? 10 : blanks;
    } else {
        if (!ParseNumber(kind, entry.size)) return FtpLine::kUnreadable;
        ++nameAt;
    }
    if (nameAt >= line.size()) return FtpLine::kUnreadable;
    return NamedEntry(line.substr(nameAt), entry);
}

int64_t DaysSince1601(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = year / 400;  // years from 1600 on only
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 584694;  // 0 on 1601-01-01
}

}  // namespace

FtpLine ParseMlsdLine(std::string_view line, FtpListedEntry& entry) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return FtpLine::kSkip;
    // Facts end with ";", then one blank, then the name as it stands.
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return FtpLine::kUnreadable;
    std::string_view facts = line.substr(0, blank);
    entry = FtpListedEntry{};
    bool typed = false, sized = false;
    while (!facts.empty()) {
        const std::size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        facts = end == std::string_view::npos ? std::string_view{} : facts.substr(end + 1);
        const std::size_t eq = fact.find('=');
        if (eq == std::string_view::npos) return FtpLine::kUnreadable;
        const std::string_view key = fact.substr(0, eq), value = fact.substr(eq + 1);
        if (SameLetters(key, "type")) {
            typed = true;
            if (SameLetters(value, "cdir") || SameLetters(value, "pdir")) return FtpLine::kSkip;
            if (SameLetters(value, "dir")) {
                entry.folder = true;
            } else if (SameLetters(value.substr(0, 12), "os.unix=slin") ||
                       SameLetters(value.substr(0, 15), "os.unix=symlink")) {
                entry.link = true;
            } else if (!SameLetters(value, "file")) {
                return FtpLine::kUnreadable;
            }
        } else if (SameLetters(key, "size")) {
            if (!ParseNumber(value, entry.size)) return FtpLine::kUnreadable;
            sized = true;
        } else if (SameLetters(key, "modify")) {
            if (!ParseFtpTime(value, entry.modified)) return FtpLine::kUnreadable;
        }
    }
    // Without its type or a file's size an entry would be guessed at.
    if (!typed || (!entry.folder && !entry.link && !sized)) return FtpLine::kUnreadable;
    return NamedEntry(line.substr(blank + 1), entry);
}

FtpLine ParseListLine(std::string_view line, FtpListedEntry& entry) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(' ') == std::string_view::npos) return FtpLine::kSkip;
    if (line.starts_with("total ")) return FtpLine::kSkip;
    return IsDigit(line[0]) ? ParseDosLine(line, entry) : ParseUnixLine(line, entry);
}

bool ParseFtpListing(std::string_view data, bool mlsd, std::vector<FtpListedEntry>& entries,
                     std::string& unreadable) {
    entries.clear();
    while (!data.empty()) {
        const std::size_t end = data.find('\n');
        const std::string_view line = data.substr(0, end);
        data = end == std::string_view::npos ? std::string_view{} : data.substr(end + 1);
        FtpListedEntry entry;
        const FtpLine kind = mlsd ? ParseMlsdLine(line, entry) : ParseListLine(line, entry);
        if (kind == FtpLine::kUnreadable) {
            unreadable.assign(line.substr(0, 300));
            return false;
        }
        if (kind == FtpLine::kEntry) entries.push_back(std::move(entry));
    }
    return true;
}

bool CFtpReplyReader::Next(FtpReply& reply) {
    for (;;) {
        const std::size_t end = pending.find('\n');
        if (end == std::string::npos) {
            // A line without an end that long is no reply.
            if (pending.size() <= 64 * 1024) return false;
            pending.clear();
            reply = FtpReply{};
            partial = FtpReply{};
            return true;
        }
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const bool coded =
            line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
        const int code = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
        const char mark = line.size() > 3 ? line[3] : ' ';
        if (partial.code == 0) {
            if (!coded || (mark != ' ' && mark != '-')) {
                reply = FtpReply{0, line};
                return true;
            }
            partial = FtpReply{code, line};
            if (mark == '-') continue;
        } else {
            partial.text += "\n" + line;
            // The last line repeats the code with a blank after it.
            if (!coded || code != partial.code || mark != ' ') continue;
        }
        reply = std::move(partial);
        partial = FtpReply{};
        return true;
    }
}

FtpFeatures ParseFeatures(std::string_view featReply) {
    FtpFeatures features;
    while (!featReply.empty()) {
        const std::size_t end = featReply.find('\n');
        std::string_view line = featReply.substr(0, end);
        featReply = end == std::string_view::npos ? std::string_view{} : featReply.substr(end + 1);
        if (line.empty() || line[0] != ' ') continue;  // features are the indented lines
        line.remove_prefix(1);
        const std::string_view name = line.substr(0, line.find(' '));
        if (SameLetters(name, "mlst") || SameLetters(name, "mlsd")) features.mlsd = true;
        if (SameLetters(name, "utf8")) features.utf8 = true;
        if (SameLetters(name, "mfmt")) features.mfmt = true;
    }
    return features;
}

bool ParsePassivePort(std::string_view reply, uint16_t& port) {
    uint64_t value = 0;
    if (reply.starts_with("229 ")) {
        // "(|||port|)"
        const std::size_t open = reply.find("(|||");
        if (open == std::string_view::npos) return false;
        const std::size_t close = reply.find('|', open + 4);
        if (close == std::string_view::npos ||
            !ParseNumber(reply.substr(open + 4, close - open - 4), value))
            return false;
    } else if (reply.starts_with("227 ")) {
        // "h1,h2,h3,h4,p1,p2", with or without parentheses around it.
        std::size_t at = 4;
        while (at < reply.size() && !IsDigit(reply[at])) ++at;
        uint64_t parts[6] = {};
        for (int i = 0; i < 6; ++i) {
            std::size_t end = at;
            while (end < reply.size() && IsDigit(reply[end])) ++end;
            if (!ParseNumber(reply.substr(at, end - at), parts[i]) || parts[i] > 255) return false;
            if (i < 5 && (end >= reply.size() || reply[end] != ',')) return false;
            at = end + 1;
        }
        value = parts[4] * 256 + parts[5];
    } else {
        return false;
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

bool ParseSizeReply(std::string_view reply, uint64_t& size) {
    if (!reply.starts_with("213 ")) return false;
    reply.remove_prefix(4);
    return ParseNumber(reply.substr(0, reply.find_first_of(" \r\n")), size);
}

bool ParseFtpTime(std::string_view text, int64_t& ticks) {
    if (text.size() < 14 || !AllDigits(text.substr(0, 14))) return false;
    if (text.size() > 14 && (text[14] != '.' || !AllDigits(text.substr(15)))) return false;
    auto number = [&](std::size_t at, std::size_t digits) {
        int64_t value = 0;
        for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const int64_t year = number(0, 4), month = number(4, 2), day = number(6, 2);
    const int64_t hour = number(8, 2), minute = number(10, 2), second = number(12, 2);
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour > 23 ||
        minute > 59 || second > 60) {
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) return false;
    const int64_t seconds = DaysSince1601(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                            (second == 60 ? 59 : second);
    ticks = seconds * 10'000'000;
    return true;
}

int32_t FtpFailureStatus(int32_t status, uint32_t error, std::string_view reply) {
    switch (error) {
        // A server name not found, a connection refused, lost, reset or
        // timed out.
        case 11001:  // WSAHOST_NOT_FOUND
        case 11002:  // WSATRY_AGAIN
        case 10050:  // WSAENETDOWN
        case 10051:  // WSAENETUNREACH
        case 10052:  // WSAENETRESET
        case 10053:  // WSAECONNABORTED
        case 10054:  // WSAECONNRESET
        case 10057:  // WSAENOTCONN
        case 10058:  // WSAESHUTDOWN
        case 10060:  // WSAETIMEDOUT
        case 10061:  // WSAECONNREFUSED
        case 10065:  // WSAEHOSTUNREACH
            return kToolNoServer;
        default:
            break;
    }
    if (reply.starts_with("421")) return kToolNoServer;  // the server closes the session
    return status;
}

int32_t FolderChangeStatus(std::string_view reply) {
    if (reply.starts_with("421")) return kToolNoServer;
    return reply.starts_with("550") ? kToolInvalidRemoteDir : kToolReadError;
}
