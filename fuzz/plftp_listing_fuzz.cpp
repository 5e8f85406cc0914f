// plftp's reading of what an FTP server sends: listings (MLSD and LIST, any bytes) and control
// replies. Nothing crashes, every entry is one name (never ".", "..", empty or with "/"), a name
// written in any of the three listing forms reads back byte for byte with its kind and size, and
// replies come out the same however the bytes are cut.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/plftp/ftp_listing.h"

namespace {

void CheckEntries(const std::vector<FtpListedEntry>& entries) {
    for (const FtpListedEntry& entry : entries) {
        FUZZ_CHECK(!entry.name.empty() && entry.name != "." && entry.name != "..");
        FUZZ_CHECK(entry.name.find_first_of(std::string_view("/\r\n\0", 4)) == std::string::npos);
    }
}

// One line of each form for the entry; each must read back as it was written.
void CheckRoundTrip(const std::string& name, bool folder, uint64_t size) {
    const std::string digits = std::to_string(size);
    const std::string lines[] = {
        (folder ? "type=dir;modify=20240102030405; " : "type=file;size=" + digits + "; ") + name,
        std::string(folder ? "drwxr-xr-x" : "-rw-r--r--") + "   1 owner group " + digits +
            " Jan 02 03:04 " + name + "\r",
        folder ? "01-02-24  03:04PM       <DIR>          " + name
               : "01-02-24  03:04PM " +
                     std::string(20 - std::min<std::size_t>(20, digits.size()), ' ') + digits +
                     " " + name};
    for (int form = 0; form < 3; ++form) {
        FtpListedEntry entry;
        const FtpLine kind =
            form == 0 ? ParseMlsdLine(lines[form], entry) : ParseListLine(lines[form], entry);
        FUZZ_CHECK(kind == FtpLine::kEntry);
        FUZZ_CHECK(entry.name == name);
        FUZZ_CHECK(entry.folder == folder && !entry.link);
        FUZZ_CHECK(folder || entry.size == size);
    }
}

std::vector<std::string> Replies(const std::vector<std::string_view>& pieces) {
    CFtpReplyReader reader;
    std::vector<std::string> replies;
    FtpReply reply;
    for (std::string_view piece : pieces) {
        reader.Add(piece);
        while (reader.Next(reply)) replies.push_back(std::to_string(reply.code) + reply.text);
    }
    return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const uint8_t mode = input.Byte();
    const bool folder = input.Byte() & 1;
    uint64_t fileSize = 0;
    for (int i = 0; i < 8; ++i) fileSize = (fileSize << 8) | input.Byte();
    const std::size_t cut = input.Below(64);
    const std::string_view rest = input.Rest();

    std::vector<FtpListedEntry> entries;
    std::string unreadable;
    if (ParseFtpListing(rest, (mode & 1) != 0, entries, unreadable)) CheckEntries(entries);

    // Any name plftp takes from a listing: no "/", NUL or line end, not "." or "..".
    std::string name(rest.substr(0, rest.find('\n')));
    if (name.find_first_of(std::string_view("/\r\0", 3)) == std::string::npos && !name.empty() &&
        name != "." && name != "..") {
        CheckRoundTrip(name, folder, fileSize);
    }

    const std::size_t at = std::min(cut, rest.size());
    FUZZ_CHECK(Replies({rest}) == Replies({rest.substr(0, at), rest.substr(at)}));
    FtpFeatures features = ParseFeatures(rest);
    (void)features;
    uint16_t port = 0;
    (void)ParsePassivePort(rest, port);
    int64_t ticks = 0;
    if (ParseFtpTime(rest, ticks)) FUZZ_CHECK(ticks >= 0);
    return 0;
}
