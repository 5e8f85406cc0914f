// A per-folder configuration file of any content, read as at the watcher
// start, in both code pages: what the reader stores must follow from the
// lines it saw.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "config/folder_config.h"
#include "fuzz/fuzz_support.h"

namespace {

// A stored text is a piece of one line of the file (CR LF read as LF).
template <std::size_t N>
void CheckFromFile(const BoundedText<N>& field, std::string_view content) {
    FUZZ_CHECK(content.find(field.Str()) != std::string_view::npos);
}

// Characters of the standard Base64 alphabet at the start of `text`.
std::size_t AlphabetPrefix(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size()) {
        const char c = text[n];
        const bool in = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!in) break;
        ++n;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string path = FuzzFolder() + "/key_put.config";
    FuzzInput in(data, size);
    SelectCodePageFrom(in.Byte());
    const std::string_view content = in.Rest();
    WriteBytes(path, content);

    WatcherState& state = State();
    state.Reset();
    state.putConfigPath.Assign(path);
    ReadFolderConfig();

    // A mode is on when its setting was non-zero on some line; the last line wins
    // for the value, but never switches a mode off again.
    if (state.syncThreshold != 0) FUZZ_CHECK(state.thresholdSync == 1);
    if (state.syncInterval != 0) FUZZ_CHECK(state.intervalSync == 1);
    FUZZ_CHECK(state.googleDriveMode == (state.protocol.Str() == "GoogleDrive" ? 1 : 0));
    if (state.smbMode == 1) FUZZ_CHECK(content.find("protocol=smb") != std::string_view::npos);
    if (state.googleDriveMode == 1) {
        // Only the first "|"-separated field of the directory stays.
        FUZZ_CHECK(ToWideString(state.remoteDir.Str()).find(L'|') == std::wstring::npos);
    }
    if (state.remoteDirSet == 1) FUZZ_CHECK(content.find("dir=") != std::string_view::npos);
    if (state.googleDriveMode == 0) CheckFromFile(state.remoteDir, content);
    CheckFromFile(state.serverAddress, content);
    CheckFromFile(state.serverPort, content);
    CheckFromFile(state.configCmd, content);
    CheckFromFile(state.protocol, content);
    CheckFromFile(state.encoding, content);
    CheckFromFile(state.userName, content);
    CheckFromFile(state.sizeLimit, content);
    CheckFromFile(state.ignorePatterns, content);
    CheckFromFile(state.ignoreDirPatterns, content);

    // Each full group of four characters gives three bytes, a final group of
    // two or three one byte less than it has characters.
    const std::size_t characters = AlphabetPrefix(content);
    FUZZ_CHECK(DecodeBase64(content).size() == characters * 6 / 8);
    ParseInt(content);
    return 0;
}
