// plftp's engine on what others write: a server listing (any names) fetched by a get, then
// file-list lines, on the in-memory target. Whatever they hold, nothing outside the watched
// folder and the mapped remote folder changes, and every name written locally is one Windows
// can keep as it is named.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tests/tools/plftp_memory_target.h"
#include "tools/plftp/transfer_engine.h"

namespace {

class NullJournal final : public CRunJournal {
public:
    void Action(std::string_view, const std::wstring&, const std::wstring&,
                std::string_view) override {}
    void Failure(std::string_view, std::string_view) override {}
};

// The nodes of a disk outside the folders a run may change.
std::string Outside(const MemoryDisk& disk, const std::wstring& mine) {
    std::string text;
    const std::wstring key = MemoryDisk(disk.caseSensitive).Key(mine);
    for (const auto& [path, node] : disk.nodes) {
        if (path == key || path.starts_with(key + L"/")) continue;
        text += ToAnsiString(path) + (node.folder ? "/" : "=" + node.data) + ";";
    }
    return text;
}

// At most this many listed names and file-list lines: listing a folder of the in-memory disk
// scans the whole disk, so a listing of hundreds of names cost over a second a run, and many names
// or lines show nothing a few do not.
constexpr int kMaxNames = 16;
constexpr int kMaxLines = 16;

// The disks before a run (the remote one with names in either case, or case kept) and what lies
// outside the folders a run may change, made once.
struct StartState {
    MemoryDisk local{false};
    MemoryDisk remote[2] = {MemoryDisk(false), MemoryDisk(true)};
    std::string localOutside;
    std::string remoteOutside[2];
};

const StartState& Start() {
    static const StartState start = [] {
        StartState made;
        made.local.AddFolder(L"C:");
        made.local.AddFile(L"C:/W/a.txt", "a");
        made.local.AddFile(L"C:/W/d/b.txt", "b");
        made.local.AddFile(L"C:/Outside/o.txt", "o");
        made.local.AddLink(L"C:/W/j", L"C:/Outside");
        made.localOutside = Outside(made.local, L"C:/W");
        for (int caseSensitive = 0; caseSensitive < 2; ++caseSensitive) {
            MemoryDisk& remote = made.remote[caseSensitive];
            remote.AddFolder(L"R:");
            remote.AddFile(L"R:/Else/e.txt", "e");
            remote.AddFile(L"R:/m/a.txt", "remote");
            remote.AddLink(L"R:/m/k", L"R:/Else");
            made.remoteOutside[caseSensitive] = Outside(remote, L"R:/m");
        }
        return made;
    }();
    return start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    SelectCodePageFrom(input.Byte());
    const uint8_t flags = input.Byte();
    const int caseSensitive = flags & 1;
    CSyncRecord record;  // the sync record's rules, or (flag 2 clear) the replacing mirror
    const StartState& start = Start();
    MemoryDisk localDisk = start.local, remoteDisk = start.remote[caseSensitive];
    // The listing: names a server may send, one a line, until an empty line.
    int names = 0;
    for (std::string_view name = input.Until('\n'); !name.empty(); name = input.Until('\n')) {
        if (++names > kMaxNames) continue;
        const std::wstring wide = ToWideString(name);
        if (wide.find(L'/') != std::wstring::npos || wide == L"." || wide == L"..") continue;
        remoteDisk.AddFile(L"R:/m/" + wide, std::string(name));
    }

    MemoryTarget local(localDisk, L"", &remoteDisk), remote(remoteDisk, L"R:", &localDisk);
    remote.serverNames = true;
    NullJournal journal;
    CTransferEngine engine(local, remote,
                           EngineSettings{L"C:/W", L"/m", L"*.tmp", L"cache", 64,
                                          (flags & 2) ? &record : nullptr, L"PC"},
                           journal);
    (void)engine.Synchronise(TransferDirection::kGet, "sync");
    int lines = 0;
    for (std::string_view line = input.Until('\n'); !input.Empty() || !line.empty();
         line = input.Until('\n')) {
        (void)engine.RunCommandLine(line);
        if (input.Empty() || ++lines == kMaxLines) break;
    }
    (void)engine.Synchronise(TransferDirection::kPut, "sync");

    FUZZ_CHECK(Outside(localDisk, L"C:/W") == start.localOutside);
    FUZZ_CHECK(Outside(remoteDisk, L"R:/m") == start.remoteOutside[caseSensitive]);
    for (const auto& [key, node] : localDisk.nodes) {
        if (node.path.starts_with(L"C:/W/")) FUZZ_CHECK(IsSafeName(LeafName(node.path)));
    }
    return 0;
}
