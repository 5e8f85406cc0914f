// plftp's sync record and its journal as a kill, a full disk or another program may leave them:
// a record is read whole or not at all (and then leaves no item), a journal's whole lines are
// replayed up to the first that cannot be read, and what is read writes back as it was read.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "tools/plftp/sync_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const std::size_t recordLength = in.Byte() | (std::size_t{in.Byte()} << 8);
    const std::string recordBytes(in.Take(recordLength));
    const std::string journalBytes(in.Rest());

    CSyncRecord record;
    record.SetCaseSensitive((flags & 1) != 0);
    const bool whole = record.Read(recordBytes, "t");
    FUZZ_CHECK(whole || record.Size() == 0);
    if (whole) {
        // A record read whole writes back to a text that reads as the same record.
        const std::string text = record.Text("t");
        CSyncRecord again;
        again.SetCaseSensitive((flags & 1) != 0);
        FUZZ_CHECK(again.Read(text, "t") && again.Text("t") == text);
    }
    (void)record.Replay(journalBytes);
    for (const auto& [key, entry] : record.Entries()) {
        FUZZ_CHECK(!entry.path.empty() && record.Find(entry.path) == &entry);
    }
    const std::string text = record.Text("t");
    CSyncRecord copy;
    copy.SetCaseSensitive((flags & 1) != 0);
    FUZZ_CHECK(copy.Read(text, "t") && copy.Size() == record.Size());
    return 0;
}
