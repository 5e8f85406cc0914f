// The real command buffer against the plain one (tests/support), on sequences
// the fuzzer steers: composed commands over a few folders and names so that
// the merge rules meet, raw lines of any bytes, the handler's count with holes
// and misses, group commits, firings, shutdown saves and a read-back as at the
// next start. After every step both must hold the same slots, count and
// duplicate flag, and the event list file the bytes the plain buffer would
// have written (once no flush message is queued).
#include <cstdint>
#include <string>
#include <string_view>

#include "base/watcher_state.h"
#include "fuzz/fuzz_support.h"
#include "support/reference_command_buffer.h"
#include "sync/command_buffer.h"
#include "sync/event_list_file.h"
#include "sync/transfer_command.h"

namespace {

constexpr int32_t kEvents[] = {kEventCreate, kEventDelete,    kEventRenameItem,   kEventMkDir,
                               kEventRmDir,  kEventUpdateDir, kEventRenameFolder, kEventUpdateItem};
constexpr int32_t kMoveEvents[] = {kEventCreate, kEventRenameItem, kEventRenameFolder};
constexpr const char* kFolders[] = {"", "a", "b", "a\\b", "c", "a\\b\\c"};
constexpr const char* kNames[] = {"x.txt", "y.txt", "a", "b", "c"};

template <class T, std::size_t N>
const T& Pick(FuzzInput& in, const T (&items)[N]) {
    return items[in.Below(N)];
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "\\" + name;
}

std::string RemoteDir(const std::string& folder, bool smb) {
    if (smb) return folder.empty() ? "share\\" : "share\\" + folder + "\\";
    std::string dir = "/" + folder + (folder.empty() ? "" : "/");
    for (char& c : dir) {
        if (c == '\\') c = '/';
    }
    return dir;
}

std::string LocalDir(const std::string& folder) {
    return folder.empty() ? "C:\\W\\" : "C:\\W\\" + folder + "\\";
}

// One command as the change handler composes it, every choice from the input.
// The event code usually matches the form; now and then it is another one.
std::string Composed(FuzzInput& in, bool smb, int32_t& event) {
    const std::string folder = Pick(in, kFolders);
    const std::string name = Pick(in, kNames);
    const std::string other = Pick(in, kNames);
    const std::string sub = Join(folder, Pick(in, kNames));
    const std::string dir = RemoteDir(folder, smb);
    const std::string ldir = LocalDir(folder);
    CommandText out;
    switch (in.Below(9)) {
        case 0:
            event = kEventCreate;
            ComposePutFile(out, dir, ldir, name);
            break;
        case 1:
            event = kEventDelete;
            ComposeDelFile(out, dir, ldir, name);
            break;
        case 2:
            event = kEventRenameItem;
            ComposeRenameItem(out, dir, ldir, name, other);
            break;
        case 3:
            event = kEventMkDir;
            ComposePutTree(out, RemoteDir(sub, smb), LocalDir(sub));
            break;
        case 4:
            event = kEventRmDir;
            ComposeDelTree(out, RemoteDir(sub, smb), LocalDir(sub));
            break;
        case 5:
            event = kEventUpdateDir;
            if (in.Below(2) == 0) {
                ComposePutFolder(out, dir, ldir);
            } else {
                ComposePutFolderSub(out, dir, ldir);
            }
            break;
        case 6: {
            event = kEventRenameFolder;
            const RenameFolderContext context{"C:\\W", in.Below(2) ? "/" : (smb ? "share" : "/r"),
                                              smb ? 1 : 0};
            ComposeRenameFolderText(out, LocalDir(sub), LocalDir(Join(folder, other)), ldir,
                                    context);
            break;
        }
        case 7:
            // A delete and a create merged, a file moved to another folder, a
            // folder moved.
            event = Pick(in, kMoveEvents);
            if (event == kEventRenameFolder) {
                ComposeMove(out, RemoteDir(sub, smb),
                            RemoteDir(Join(Pick(in, kFolders), other), smb));
            } else {
                ComposeMove(out, dir + name, RemoteDir(Pick(in, kFolders), smb) + name);
            }
            break;
        default:
            event = kEventDelete;
            ComposeDelName(out, dir, name);
            break;
    }
    if (in.Below(8) == 0) event = Pick(in, kEvents);
    return std::string(out.Str());
}

// The commands a read-back takes from these bytes, as the plain reading of
// the file format: complete lines of 1 to 511 bytes less "\r\n" or "\n".
std::vector<std::string> PlainLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : bytes) {
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.size() <= kMaxCommandBytes) lines.push_back(line);
        line.clear();
    }
    return lines;
}

class Differential {
public:
    Differential(bool smb, std::string path) : eventList(std::move(path)) {
        WatcherState& state = State();
        state.Reset();
        state.smbMode = smb ? 1 : 0;
        state.eventListPath.Assign(eventList);
        state.sendListPath.Assign(eventList + ".send");
        state.watchedPath.Assign("C:\\W");
        WriteBytes(eventList, "");
        CreateCommandBuffer(state.commands);
        ReferenceCreate(reference, std::string(), state.smbMode);
    }

    // An addition (AddCommand counts what it stores), then with `hole` an
    // event counted without a command.
    void Add(const std::string& command, int32_t event, bool hole) {
        const AddResult result = AddCommand(command.c_str(), event);
        ReferenceAdd(reference, command.c_str(), event);
        FUZZ_CHECK((result == AddResult::kDuplicate) == (reference.duplicate != 0));
        ReferenceCount(reference);
        if (hole) {
            ++State().commands.commandCount;
            ++reference.count;
        }
        Compare();
    }

    // Group commit: the dialog queues its flush message, or the message arrives.
    void FlushMessage() {
        if (State().commands.flushQueued) {
            EventListFlushArrived();
        } else {
            RequestEventListFlush();
        }
        Compare();
    }

    // The firing brings the file level and takes it away; an empty one stays behind.
    void Fire() {
        FlushEventList();
        EmptyCommandBuffer();
        ReferenceEmpty(reference);
        WriteBytes(eventList, "");
        reference.fileBytes.clear();
        Compare();
    }

    void SaveAndClear() {
        SaveAndClearBuffer();
        ReferenceSaveAndClear(reference);
        Compare();
    }

    // The next start: a fresh buffer reads the file back (a queued flush
    // message arrives before the end).
    void Restart() {
        WatcherState& state = State();
        if (state.commands.flushQueued) EventListFlushArrived();
        ReleaseCommandBuffer();
        CreateCommandBuffer(state.commands);
        const int32_t read = ReadBackEventList();
        const std::vector<std::string> lines = PlainLines(reference.fileBytes);
        FUZZ_CHECK(read == static_cast<int32_t>(lines.size()));
        const std::string bytes = reference.fileBytes;
        ReferenceCreate(reference, std::string(), state.smbMode);
        reference.fileBytes = bytes;
        for (const std::string& line : lines) {
            if (reference.count >= reference.capacity) {
                reference.capacity = 2 * reference.capacity + 1;
                reference.slots.resize(static_cast<std::size_t>(reference.capacity));
            }
            reference.slots[static_cast<std::size_t>(reference.count++)].Assign(line);
        }
        Compare();
    }

private:
    void Compare() const {
        const CommandBuffer& real = State().commands;
        FUZZ_CHECK(real.commandCapacity == reference.capacity);
        FUZZ_CHECK(real.commandCount == reference.count);
        FUZZ_CHECK(real.commandSlots.size() == reference.slots.size());
        for (std::size_t i = 0; i < real.commandSlots.size(); ++i) {
            FUZZ_CHECK(real.commandSlots[i].Str() == reference.slots[i].Str());
        }
        // While a flush message is queued the file may lag behind.
        if (!real.flushQueued) FUZZ_CHECK(ReadBytes(eventList) == reference.fileBytes);
    }

    std::string eventList;
    ReferenceBuffer reference;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string eventList = FuzzFolder() + "/key.txt";
    QuietSeams();
    FuzzInput in(data, size);
    SelectCodePageFrom(in.Byte());
    const bool smb = in.Below(4) == 0;
    Differential both(smb, eventList);
    // Steps cost a file write each: long inputs add nothing the short ones miss.
    for (int step = 0; step < 400 && !in.Empty(); ++step) {
        const uint32_t action = in.Below(64);
        if (action == 0) {
            both.Fire();
        } else if (action == 1) {
            both.SaveAndClear();
        } else if (action == 2) {
            both.Restart();
        } else if (action < 6) {
            both.FlushMessage();
        } else if (action < 10) {
            // Any bytes, under any event code.
            const auto event = static_cast<int32_t>(uint32_t{in.Byte()} << (in.Below(4) * 8));
            const std::string raw(in.Take(in.Byte() * 3u));
            both.Add(raw, event, in.Below(3) == 2);
        } else {
            int32_t event = 0;
            const std::string command = Composed(in, smb, event);
            both.Add(command, event, in.Below(16) == 0 && in.Below(3) == 2);
        }
    }
    ReleaseCommandBuffer();
    return 0;
}
