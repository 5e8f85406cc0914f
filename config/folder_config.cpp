#include "config/folder_config.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "base/file_ops.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"

namespace {

// Lines are read in pieces of at most this many bytes, as fgets into a
// 512-byte buffer gives them; the rest of a longer line is a piece of its own.
constexpr std::size_t kPieceBytes = 511;

// Reads a file's bytes as the C runtime's text mode does on Windows (a
// carriage return before a line feed is dropped, any other is kept), in pieces
// that end after a line feed or at kPieceBytes bytes. Reading the bytes whole
// and translating here gives the same pieces on every platform.
class PieceReader {
public:
    explicit PieceReader(std::string_view bytes) : bytes(bytes) {}

    // The next piece, up to its first NUL byte as a C string would be; false
    // at the end of the file.
    bool Next(std::string& piece) {
        piece.clear();
        while (piece.size() < kPieceBytes) {
            const int c = Get();
            if (c < 0) break;
            piece.push_back(static_cast<char>(c));
            if (c == '\n') break;
        }
        if (piece.empty()) return false;
        piece.resize(std::string_view(piece.c_str()).size());
        return true;
    }

private:
    int Get() {
        if (at >= bytes.size()) return -1;
        const char c = bytes[at++];
        if (c == '\r' && at < bytes.size() && bytes[at] == '\n') {
            ++at;
            return '\n';
        }
        return static_cast<unsigned char>(c);
    }

    std::string_view bytes;
    std::size_t at = 0;
};

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The C library's decimal conversion as Windows' atoi does it: white space
// skipped, an optional sign, the leading digits; out-of-range values are held
// at the limits of the type.
int32_t ParseDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = std::min<int64_t>(value * 10 + (text[i] - '0'), kLimit);
    }
    if (negative) return static_cast<int32_t>(-value);
    return static_cast<int32_t>(std::min<int64_t>(value, kLimit - 1));
}

// A value longer than its field is cut to fit, between characters of the
// ANSI code page.
template <std::size_t N>
void StoreText(BoundedText<N>& field, std::string_view value) {
    field.Assign(value.substr(0, AnsiPrefixLength(value, field.MaxLength())));
}

// An empty value keeps what the field held (for verbose: the environment's).
void StoreInt(int32_t& field, std::string_view value) {
    if (!value.empty()) field = ParseInt(value);
}

struct Setting {
    std::string_view key;  // matched exactly, "=" included
    void (*store)(WatcherFields& state, std::string_view value);
};

// In the order they are tried; no key is a prefix of another.
constexpr Setting kSettings[] = {
    {"sync_threshold=",
     [](WatcherFields& s, std::string_view v) {
         s.syncThreshold = ParseDecimal(v);
         if (s.syncThreshold != 0) s.thresholdSync = 1;
     }},
    {"sync_timestamp=",
     [](WatcherFields& s, std::string_view v) {
         s.syncInterval = ParseDecimal(v);
         if (s.syncInterval != 0) s.intervalSync = 1;
     }},
    {"dir=",
     [](WatcherFields& s, std::string_view v) {
         StoreText(s.remoteDir, v);
         if (!v.empty()) s.remoteDirSet = 1;
     }},
    {"ip=", [](WatcherFields& s, std::string_view v) { StoreText(s.serverAddress, v); }},
    {"port=", [](WatcherFields& s, std::string_view v) { StoreText(s.serverPort, v); }},
    {"verbose=", [](WatcherFields& s, std::string_view v) { StoreInt(s.verbose, v); }},
    {"sub=", [](WatcherFields& s, std::string_view v) { StoreInt(s.subFolders, v); }},
    {"cmd=", [](WatcherFields& s, std::string_view v) { StoreText(s.configCmd, v); }},
    {"protocol=",
     [](WatcherFields& s, std::string_view v) {
         StoreText(s.protocol, v);
         if (s.protocol == "smb") s.smbMode = 1;
     }},
    {"encoding=", [](WatcherFields& s, std::string_view v) { StoreText(s.encoding, v); }},
    {"password=",
     [](WatcherFields& s, std::string_view v) {
         const std::string decoded = DecodeBase64(v);
         // Up to the first NUL byte, as a C string holds it.
         s.password.Assign(std::string_view(decoded.c_str()));
     }},
    {"username=", [](WatcherFields& s, std::string_view v) { StoreText(s.userName, v); }},
    {"sizelimit=", [](WatcherFields& s, std::string_view v) { StoreText(s.sizeLimit, v); }},
    {"ignore=", [](WatcherFields& s, std::string_view v) { StoreText(s.ignorePatterns, v); }},
    {"ignore_dir=",
     [](WatcherFields& s, std::string_view v) { StoreText(s.ignoreDirPatterns, v); }},
    {"queue=", [](WatcherFields& s, std::string_view v) { StoreInt(s.pipeRetries, v); }},
};

void ApplyLine(WatcherFields& state, std::string_view line) {
    for (const Setting& setting : kSettings) {
        // A line is tested only when it is longer than the key: a key alone
        // on a last line without its line feed is not a setting.
        if (line.size() <= setting.key.size() || !line.starts_with(setting.key)) continue;
        std::string_view value = line.substr(setting.key.size());
        if (value.ends_with('\n')) value.remove_suffix(1);
        setting.store(state, value);
        return;
    }
}

// In Google Drive mode "dir=" holds "|"-separated fields of which the first is
// the remote directory. The separator is looked for in the UTF-16 form: in code
// page 932 a byte of value "|" can be the second half of a character.
void KeepFirstDirField(BoundedText<512>& remoteDir) {
    const std::wstring wide = ToWideString(remoteDir.Str());
    const std::size_t start = wide.find_first_not_of(L'|');
    if (start == std::wstring::npos) {
        remoteDir.Clear();
        return;
    }
    if (start == 0 && wide.find(L'|') == std::wstring::npos) return;  // whole, bytes untouched
    const std::size_t end = wide.find(L'|', start);
    const std::string first = ToAnsiString(
        std::wstring_view(wide).substr(start, end == std::wstring::npos ? end : end - start));
    StoreText(remoteDir, first);
}

}  // namespace

int32_t ParseInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint32_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

std::string DecodeBase64(std::string_view text) {
    auto index = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;  // "=", the line end and every other byte end the input
    };
    std::string bytes;
    unsigned group[4] = {};
    std::size_t filled = 0;
    // The first `count` bytes of the current group; each byte needs only the
    // characters up to the one after it, so a short final group is complete
    // for the bytes it yields.
    auto emit = [&](std::size_t count) {
        const unsigned out[3] = {(group[0] << 2) + ((group[1] >> 4) & 3),
                                 ((group[1] & 15) << 4) + ((group[2] >> 2) & 15),
                                 ((group[2] & 3) << 6) + group[3]};
        for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>(out[i] & 0xFF));
    };
    for (char c : text) {
        const int value = index(c);
        if (value < 0) break;
        group[filled++] = static_cast<unsigned>(value);
        if (filled == 4) {
            emit(3);
            filled = 0;
        }
    }
    if (filled >= 2) emit(filled - 1);
    return bytes;
}

void ReadFolderConfig() {
    WatcherState& state = State();
    state.serverAddress.Clear();
    state.serverPort.Clear();
    state.remoteDir.Clear();
    state.protocol.Clear();
    state.configCmd.Clear();
    state.encoding.Clear();
    state.password.Clear();
    state.userName.Clear();
    state.sizeLimit.Clear();
    state.ignorePatterns.Clear();
    state.ignoreDirPatterns.Clear();
    state.syncThreshold = 0;
    state.syncInterval = 0;
    // The flags, verbose, subFolders and pipeRetries keep their values: a
    // missing line leaves what start-up set.

    std::string bytes;
    if (ReadWholeFile(std::string(state.putConfigPath.Str()), bytes) == FileResult::kOk) {
        PieceReader reader(bytes);
        std::string piece;
        while (reader.Next(piece)) ApplyLine(state, piece);
    }

    if (state.protocol == "GoogleDrive") {
        KeepFirstDirField(state.remoteDir);
        state.googleDriveMode = 1;
    } else {
        state.googleDriveMode = 0;
    }
}
