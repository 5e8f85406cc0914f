// Command lines as they come back from an event list file anyone may have
// edited: the parser, the merge rules on two parsed lines, and the folder
// walks of the over-long stand-in and the folder rename, in both code pages.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "sync/transfer_command.h"

namespace {

constexpr int32_t kEvents[] = {kEventRenameItem, kEventCreate,       kEventDelete,
                               kEventMkDir,      kEventRmDir,        kEventUpdateDir,
                               kEventUpdateItem, kEventRenameFolder, 0};

bool SameFields(const TransferCommand& a, const TransferCommand& b) {
    return a.cmd.Str() == b.cmd.Str() && a.dir.Str() == b.dir.Str() &&
           a.ldir.Str() == b.ldir.Str() && a.filename.Str() == b.filename.Str() &&
           a.from.Str() == b.from.Str() && a.to.Str() == b.to.Str() &&
           a.sync.Str() == b.sync.Str() && a.sub.Str() == b.sub.Str();
}

bool IsAsciiText(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// What a line that parsed to `p` gives when its fields are written out again
// in the put form: the same fields, when the line fits.
void CheckRecomposes(const TransferCommand& p) {
    CommandText line;
    if (!ComposeRenameItem(line, p.dir, p.ldir, p.from, p.to)) return;
    const TransferCommand again = ParseCommand(line.Str());
    FUZZ_CHECK(again.dir.Str() == p.dir.Str() && again.ldir.Str() == p.ldir.Str());
    FUZZ_CHECK(again.from.Str() == p.from.Str() && again.to.Str() == p.to.Str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    SelectCodePageFrom(in.Byte());
    const int32_t event = kEvents[in.Below(sizeof kEvents / sizeof kEvents[0])];
    const int32_t smbMode = static_cast<int32_t>(in.Below(2));
    const std::string pendingLine(in.Until('\n'));
    const std::string addedLine(in.Until('\n'));
    const std::string watched(in.Rest());

    const TransferCommand pending = ParseCommand(pendingLine);
    const TransferCommand added = ParseCommand(addedLine);
    CheckRecomposes(pending);

    // ASCII lines take a short way around the UTF-16 form; one character
    // outside ASCII in a piece without "=" changes nothing, but takes the
    // long way. Both must agree (0xB1 is one character in 1252 and in 932).
    if (IsAsciiText(pendingLine) && pendingLine.size() + 2 <= kMaxCommandBytes) {
        FUZZ_CHECK(SameFields(pending, ParseCommand(pendingLine + "|\xB1")));
    }

    const CoalesceOutcome outcome = DecideCoalesce(event, pending, added, smbMode);
    FUZZ_CHECK((outcome.rule == CoalesceRule::kNone) ==
               (!outcome.dropPending && !outcome.pendingBecomes &&
                outcome.newEffect == NewCommandEffect::kKeep));
    FUZZ_CHECK(!(outcome.dropPending && outcome.pendingBecomes));
    if (outcome.newEffect == NewCommandEffect::kBecome) FUZZ_CHECK(!outcome.newText.Empty());
    if (outcome.pendingBecomes) FUZZ_CHECK(!outcome.pendingText.Empty());
    // A folder rename becomes the move of its old folder, and drops only
    // what it names below that folder.
    std::string oldFolder, newFolder;
    if (FolderRenamePaths(added, oldFolder, newFolder)) {
        FUZZ_CHECK(!oldFolder.empty() && !newFolder.empty());
    }
    if (outcome.rule == CoalesceRule::kFolderMoveTakesPending) {
        FUZZ_CHECK(event == kEventRenameFolder && FolderRenamePaths(added, oldFolder, newFolder));
        const TransferCommand move = ParseCommand(outcome.newText.Str());
        FUZZ_CHECK(move.cmd.Str() == "rn" && move.dir.Empty() && move.from.Str() == oldFolder);
        if (outcome.dropPending) {
            FUZZ_CHECK(pending.cmd.Str() == "put" && pending.dir.Str().starts_with(oldFolder));
        }
    }
    // A recursive delete is never dropped by what was pending; a file's deletion only when a
    // pending recursive delete of its folder covers it.
    if (event == kEventRmDir) FUZZ_CHECK(outcome.newEffect == NewCommandEffect::kKeep);
    if (event == kEventDelete && outcome.newEffect != NewCommandEffect::kKeep) {
        FUZZ_CHECK(outcome.rule == CoalesceRule::kDeleteUnderTreeDelete);
    }

    // The stand-in walks up from the added command's folders; it must end,
    // and what it gives must be a recursive put that fits.
    CommandText standIn;
    if (ComposeEnclosingPutTree(standIn, added.dir, added.ldir, watched)) {
        const TransferCommand tree = ParseCommand(standIn.Str());
        FUZZ_CHECK(tree.cmd.Str() == "put" && tree.sync.Str() == "1" && tree.sub.Str() == "1");
    } else {
        FUZZ_CHECK(standIn.Empty());
    }

    CommandText renamed;
    const RenameFolderContext context{watched, pending.dir, smbMode};
    if (!ComposeRenameFolderText(renamed, added.from, added.to, added.ldir, context)) {
        FUZZ_CHECK(renamed.Empty());
    }
    return 0;
}
