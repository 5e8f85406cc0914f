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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    SelectCodePageFrom(input.Byte());
    const bool caseSensitive = input.Byte() & 1;
    MemoryDisk localDisk(false), remoteDisk(caseSensitive);
    localDisk.AddFolder(L"C:");
    localDisk.AddFile(L"C:/W/a.txt", "a");
    localDisk.AddFile(L"C:/W/d/b.txt", "b");
    localDisk.AddFile(L"C:/Outside/o.txt", "o");
    localDisk.AddLink(L"C:/W/j", L"C:/Outside");
    remoteDisk.AddFolder(L"R:");
    remoteDisk.AddFile(L"R:/Else/e.txt", "e");
    remoteDisk.AddFile(L"R:/m/a.txt", "remote");
    remoteDisk.AddLink(L"R:/m/k", L"R:/Else");
    // The listing: names a server may send, one a line, until an empty line.
    for (std::string_view name = input.Until('\n'); !name.empty(); name = input.Until('\n')) {
        const std::wstring wide = ToWideString(name);
        if (wide.find(L'/') != std::wstring::npos || wide == L"." || wide == L"..") continue;
        remoteDisk.AddFile(L"R:/m/" + wide, std::string(name));
    }
    const std::string localOutside = Outside(localDisk, L"C:/W");
    const std::string remoteOutside = Outside(remoteDisk, L"R:/m");

    MemoryTarget local(localDisk, L"", &remoteDisk), remote(remoteDisk, L"R:", &localDisk);
    remote.serverNames = true;
    NullJournal journal;
    CTransferEngine engine(local, remote, EngineSettings{L"C:/W", L"/m", L"*.tmp", L"cache", 64},
                           journal);
    (void)engine.Synchronise(TransferDirection::kGet, "sync");
    for (std::string_view line = input.Until('\n'); !input.Empty() || !line.empty();
         line = input.Until('\n')) {
        (void)engine.RunCommandLine(line);
        if (input.Empty()) break;
    }
    (void)engine.Synchronise(TransferDirection::kPut, "sync");

    FUZZ_CHECK(Outside(localDisk, L"C:/W") == localOutside);
    FUZZ_CHECK(Outside(remoteDisk, L"R:/m") == remoteOutside);
    for (const auto& [key, node] : localDisk.nodes) {
        if (node.path.starts_with(L"C:/W/")) FUZZ_CHECK(IsSafeName(LeafName(node.path)));
    }
    return 0;
}
