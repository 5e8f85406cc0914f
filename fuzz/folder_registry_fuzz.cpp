// A registry file of any content (other watchers, other versions, a torn
// write) and an item folder, in both code pages: the relative directory
// straight from the text and through the file, and the owner rewrite, which
// must keep every entry.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "config/folder_registry.h"
#include "fuzz/fuzz_support.h"

namespace {

std::size_t EntryCount(std::string_view content) {
    std::size_t entries = 0;
    for (std::string_view line : SplitRegistryLines(content)) {
        if (IsRegistryEntry(line)) ++entries;
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string dataDir = FuzzFolder();
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    SelectCodePageFrom(flags);
    const bool smbMode = (flags & 2) != 0;
    const bool networkFolder = (flags & 4) != 0;
    const std::string itemDir(in.Until('\0'));
    const std::string_view content = in.Rest();

    const std::string relative = RelativeDirectoryIn(content, itemDir, smbMode, networkFolder);
    FUZZ_CHECK(!relative.empty());
    if (!smbMode) {
        // Separators are "/" on the UTF-16 form, whatever the bytes.
        FUZZ_CHECK(ToWideString(relative).find(L'\\') == std::wstring::npos);
        if (networkFolder) FUZZ_CHECK(relative.front() == '/');
    }

    // Through the file and the state: the same, cut to the field between characters.
    WriteBytes(dataDir + "/cnwfolder.txt", content);
    WatcherState& state = State();
    state.Reset();
    state.dataDir.Assign(dataDir);
    state.itemDir.Assign(itemDir);
    state.smbMode = smbMode ? 1 : 0;
    state.networkFolder = networkFolder ? 1 : 0;
    RelativeDirectory();
    const std::string whole =
        RelativeDirectoryIn(content, state.itemDir.Str(), smbMode, networkFolder);
    FUZZ_CHECK(state.relativeDir.Str() ==
               std::string_view(whole).substr(0, AnsiPrefixLength(whole, 511)));

    // A claim or a release changes one owner at most and drops no entry.
    const std::string claimed = RewriteRegistryOwner(content, itemDir, "4242");
    FUZZ_CHECK(EntryCount(claimed) == EntryCount(content));
    const std::string released = RewriteRegistryOwner(claimed, itemDir, "0");
    FUZZ_CHECK(EntryCount(released) == EntryCount(content));
    if (itemDir.find('\n') == std::string::npos) {
        const std::string appended = AppendRegistryLine(content, itemDir + "=1\n");
        FUZZ_CHECK(EntryCount(appended) == EntryCount(content) + 1);
    }
    return 0;
}
