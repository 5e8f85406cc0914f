#include "tools/plftp/transfer_engine.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "base/name_case.h"
#include "base/text_conversion.h"
#include "tools/plftp/path_guard.h"
#include "tools/plftp/path_text.h"
#include "sync/transfer_command.h"

namespace {

bool IsFatal(int32_t status) { return status == kToolNoServer || status == kToolLoginRefused; }

std::wstring Wide(const BoundedText<512>& field) { return ToWideString(field.Str()); }

// The key two names of one folder are matched by on a side: the name itself
// where case counts, otherwise its letters in one case.
std::wstring NameKey(const std::wstring& name, bool caseSensitive) {
    return caseSensitive ? name : NameCaseKey(name);
}

// A target that keeps times to a coarser step than this machine cannot tell
// two versions of a file saved within one step at the same size apart. A file
// sent before the end of the step its time falls in may be saved again within
// that step after it was read: the target gets the step before, so the next
// comparison sends it again (once more at most when it was not saved again).
// A file sent later keeps its own time.
int64_t TimeToKeep(int64_t modified, int64_t sentAt, int64_t targetStep) {
    if (targetStep <= 1 || modified <= 0 || modified > sentAt) return modified;
    const int64_t stepStart = modified - modified % targetStep;
    return sentAt - stepStart < targetStep ? stepStart - targetStep : modified;
}

}  // namespace

// A side as the engine's thread sees it while transfers run on other
// connections: a call first waits for the transfers under way whose paths its
// own meets. A read or a write of an item waits for that item's transfer, a
// listing for those of the folder's items (their temporary files are there),
// a rename or a removal for everything at or below its paths and above them.
class CTransferEngine::CWaitingTarget final : public CLocalFolderTarget {
public:
    enum class Meets : uint8_t { kItem, kChildren, kTree };
    CWaitingTarget(CTransferTarget& inner, CLocalFolderTarget* innerLocal, CTransferPool& pool,
                   CTransferTarget& fallback, bool remoteSide)
        : inner(inner),
          innerLocal(innerLocal),
          pool(pool),
          fallback(fallback),
          remoteSide(remoteSide) {}

    Outcome List(const std::wstring& folder, std::vector<TreeEntry>& entries) override {
        Wait(folder, Meets::kChildren);
        return inner.List(folder, entries);
    }
    Outcome Stat(const std::wstring& path, TreeEntry& entry) override {
        Wait(path, Meets::kItem);
        return inner.Stat(path, entry);
    }
    Outcome ExactTime(const std::wstring& path, int64_t& modified) override {
        Wait(path, Meets::kItem);
        return inner.ExactTime(path, modified);
    }
    int64_t TimeStep() const override { return inner.TimeStep(); }
    bool KeepsTimes() const override { return inner.KeepsTimes(); }
    bool CaseSensitive() const override { return inner.CaseSensitive(); }
    std::string CannotHold(const std::wstring& name) const override {
        return inner.CannotHold(name);
    }
    std::wstring LocalFolder(const std::wstring& path) const override {
        return inner.LocalFolder(path);
    }
    Outcome MakeFolder(const std::wstring& folder) override {
        Wait(folder, Meets::kItem);
        return inner.MakeFolder(folder);
    }
    Outcome Store(const std::wstring& localFile, const std::wstring& partPath,
                  TreeEntry& written) override {
        Wait(partPath, Meets::kItem);
        return inner.Store(localFile, partPath, written);
    }
    Outcome Fetch(const std::wstring& path, const std::wstring& localFile) override {
        Wait(path, Meets::kItem);
        return inner.Fetch(path, localFile);
    }
    Outcome PlaceFile(const std::wstring& partPath, const std::wstring& path,
                      int64_t modified) override {
        Wait(partPath, Meets::kItem);
        Wait(path, Meets::kItem);
        return inner.PlaceFile(partPath, path, modified);
    }
    Outcome RemoveFile(const std::wstring& path) override {
        Wait(path, Meets::kItem);
        return inner.RemoveFile(path);
    }
    Outcome RemoveFolder(const std::wstring& folder) override {
        Wait(folder, Meets::kTree);
        return inner.RemoveFolder(folder);
    }
    Outcome Rename(const std::wstring& from, const std::wstring& to) override {
        Wait(from, Meets::kTree);
        Wait(to, Meets::kTree);
        return inner.Rename(from, to);
    }
    std::wstring Describe(const std::wstring& path) const override { return inner.Describe(path); }
    // Waits for the transfers of the item at `path`.
    void Touch(const std::wstring& path) { Wait(path, Meets::kItem); }
    std::wstring NativePath(const std::wstring& path) const override {
        return innerLocal->NativePath(path);
    }
    int64_t Now() const override { return innerLocal->Now(); }
    std::wstring StoredName(const std::wstring& path) const override {
        const_cast<CWaitingTarget*>(this)->Wait(path, Meets::kItem);
        return innerLocal->StoredName(path);
    }

private:
    void Wait(const std::wstring& path, Meets meets) {
        const std::wstring key = NameCaseKey(path);
        pool.WaitFor(
            remoteSide,
            [&](const std::wstring& busy) {
                const std::wstring busyKey = NameCaseKey(busy);
                switch (meets) {
                    case Meets::kItem:
                        return busyKey == key;
                    case Meets::kChildren:
                        return NameCaseKey(ParentPath(busy)) == key;
                    case Meets::kTree:
                        return IsWithin(busyKey, key, true) || IsWithin(key, busyKey, true);
                }
                return true;
            },
            fallback);
    }

    CTransferTarget& inner;
    CLocalFolderTarget* innerLocal;
    CTransferPool& pool;
    CTransferTarget& fallback;
    const bool remoteSide;
};

CTransferEngine::CTransferEngine(CLocalFolderTarget& localSide, CTransferTarget& remoteSide,
                                 const EngineSettings& settings, CRunJournal& journal)
    : localInner(localSide),
      remoteInner(remoteSide),
      pool(settings.connections > 1 && settings.connect
               ? std::make_unique<CTransferPool>(
                     settings.connections, settings.connect,
                     [](const Outcome& outcome) { return IsFatal(outcome.status); })
               : nullptr),
      waitingLocal(
          pool ? std::make_unique<CWaitingTarget>(localSide, &localSide, *pool, remoteSide, false)
               : nullptr),
      waitingRemote(
          pool ? std::make_unique<CWaitingTarget>(remoteSide, nullptr, *pool, remoteSide, true)
               : nullptr),
      local(waitingLocal ? *waitingLocal : localSide),
      remote(waitingRemote ? static_cast<CTransferTarget&>(*waitingRemote) : remoteSide),
      settings(settings),
      journal(journal) {
    if (settings.record) settings.record->SetCaseSensitive(remote.CaseSensitive());
}

CTransferEngine::~CTransferEngine() { (void)Finish(); }

bool CTransferEngine::Failed(const Outcome& outcome) {
    journal.Failure(item, outcome.reason);
    if (itemStatus == kToolSuccess) itemStatus = outcome.status;
    if (IsFatal(outcome.status)) {
        fatal = true;
        stopTransfers = true;
    }
    return !IsFatal(outcome.status);
}

bool CTransferEngine::Refused(int32_t status, const std::string& why) {
    journal.Action("refuse", L"", L"", why);
    return Failed(Outcome::Fail(status, "refused: " + why));
}

std::wstring CTransferEngine::LocalText(const std::wstring& path) const {
    return path.empty() ? L"" : local.NativePath(path);
}

void CTransferEngine::Log(std::string_view action, const std::wstring& localPath,
                          const std::wstring& remotePath, const Outcome& outcome) {
    const std::wstring remoteText = remotePath.empty() ? L"" : remote.Describe(remotePath);
    journal.Action(action, LocalText(localPath), remoteText,
                   outcome ? std::string("ok") : "failed: " + outcome.reason);
}

bool CTransferEngine::FoldersApart() {
    const std::wstring target = remote.LocalFolder(settings.remoteDir);
    if (target.empty() || !FoldersOverlap(target, settings.watchedFolder)) return true;
    Refused(kToolInvalidTarget, "the target folder " + ToAnsiString(target) +
                                    " and the watched folder " +
                                    ToAnsiString(settings.watchedFolder) + " overlap");
    return false;
}

int32_t CTransferEngine::RunCommandLine(std::string_view line) {
    ++itemSerial;
    item.assign(line);
    itemStatus = kToolSuccess;
    if (fatal) {
        Failed(Outcome::Fail(kToolNoServer, "not tried: the server went away before"));
        return itemStatus;
    }
    if (!FoldersApart()) return itemStatus;
    const TransferCommand command = ParseCommand(line);
    const bool remoteCase = remote.CaseSensitive();
    const bool sync = command.sync == "1";
    const bool sub = command.sub == "1";

    // Every field is confined before anything is touched.
    std::wstring dir, ldir, filename;
    if (!command.dir.Empty()) {
        if (std::string why =
                ConfinePath(Wide(command.dir), settings.remoteDir, remoteCase, false, dir);
            !why.empty()) {
            Refused(kToolInvalidRequest, "-dir=: " + why);
            return itemStatus;
        }
    }
    if (!command.ldir.Empty()) {
        if (std::string why =
                ConfinePath(Wide(command.ldir), settings.watchedFolder, false, false, ldir);
            !why.empty()) {
            Refused(kToolInvalidRequest, "-ldir=: " + why);
            return itemStatus;
        }
    }
    if (!command.filename.Empty()) {
        filename = Wide(command.filename);
        if (std::string why = UnsafeNameReason(filename); !why.empty()) {
            Refused(kToolInvalidRequest, "-filename=: " + why);
            return itemStatus;
        }
    }

    // Nothing is written or removed through a link on the way down either.
    // A remote folder found no link is not asked again in this run (until a
    // rename or a removal): a batch's lines mostly share their folders.
    auto throughLink = [&](CTransferTarget& side, const std::wstring& base, std::wstring path) {
        const bool isRemote = &side == &remote;
        std::vector<std::wstring> checked;
        for (; path.size() > base.size() && path != L"/"; path = ParentPath(path)) {
            if (isRemote && linkFreeFolders.contains(path)) break;
            TreeEntry entry;
            if (side.Stat(path, entry) && entry.link && entry.folder) return true;
            checked.push_back(path);
        }
        if (isRemote) linkFreeFolders.insert(checked.begin(), checked.end());
        return false;
    };
    // A move's ends are checked as the move will use them: confined and tidied
    // (`/m//k/x` is `/m/k/x`); an end that cannot be confined is refused below.
    std::wstring moveFrom, moveTo;
    if (command.dir.Empty() &&
        (!ConfinePath(Wide(command.from), settings.remoteDir, remoteCase, true, moveFrom).empty() ||
         !ConfinePath(Wide(command.to), settings.remoteDir, remoteCase, true, moveTo).empty())) {
        moveFrom.clear();
        moveTo.clear();
    }
    if ((!dir.empty() && throughLink(remote, settings.remoteDir, dir)) ||
        (!ldir.empty() && throughLink(local, settings.watchedFolder, ldir)) ||
        (!moveFrom.empty() && throughLink(remote, settings.remoteDir, ParentPath(moveFrom))) ||
        (!moveTo.empty() && throughLink(remote, settings.remoteDir, ParentPath(moveTo)))) {
        Refused(kToolInvalidRequest, "a path that passes through a link");
        return itemStatus;
    }

    if (command.cmd == "put" && !dir.empty() && !ldir.empty()) {
        if (!filename.empty()) {
            PutFile(dir, ldir, filename);
        } else {
            // A folder-wide send stands for the renames and deletions merged
            // into it, so what is gone locally goes on the remote side too.
            Mirror(TransferDirection::kPut, ldir, dir,
                   (sync && sub) || sub ? Walk::kRecursive : Walk::kFilesOnly, Extras::kRemove,
                   kToolSuccess);
        }
    } else if (command.cmd == "del" && !dir.empty() && (!filename.empty() || sub)) {
        if (filename.empty() && (dir.size() == settings.remoteDir.size())) {
            Refused(kToolInvalidRequest, "-dir=: the mapped folder itself is never removed");
        } else {
            Delete(filename.empty() ? dir : JoinPath(dir, filename));
        }
    } else if (command.cmd == "rn" && !command.from.Empty() && !command.to.Empty()) {
        if (command.dir.Empty()) {
            std::wstring from, to;
            std::string why =
                ConfinePath(Wide(command.from), settings.remoteDir, remoteCase, true, from);
            if (why.empty()) {
                why = ConfinePath(Wide(command.to), settings.remoteDir, remoteCase, true, to);
            }
            if (!why.empty()) {
                Refused(kToolInvalidRequest, "-from=/-to=: " + why);
                return itemStatus;
            }
            RenameRemote(from, to, LocalFor(to), true);
        } else {
            std::wstring oldName, newName;
            std::string why = ConfineName(Wide(command.from), oldName);
            if (why.empty()) why = ConfineName(Wide(command.to), newName);
            if (!why.empty()) {
                Refused(kToolInvalidRequest, "-from=/-to=: " + why);
                return itemStatus;
            }
            const std::wstring to = JoinPath(dir, newName);
            std::wstring localPath = ldir.empty() ? LocalFor(to) : JoinPath(ldir, newName);
            // A folder rename names the renamed folder itself in -ldir=, a file
            // rename the folder the file is in.
            TreeEntry probe;
            if (!ldir.empty() && NameKey(LeafName(ldir), false) == NameKey(newName, false) &&
                local.Stat(localPath, probe).status == kToolRemoteNotFound) {
                localPath = ldir;
            }
            RenameRemote(JoinPath(dir, oldName), to, localPath, false);
        }
    } else {
        Failed(Outcome::Fail(kToolInvalidRequest, "not a transfer command"));
    }
    return itemStatus;
}

bool CTransferEngine::BeginWholeFolderRun(std::string_view runItem) {
    ++itemSerial;
    item.assign(runItem);
    itemStatus = kToolSuccess;
    if (!FoldersApart()) return false;
    TreeEntry folder;
    if (!local.Stat(settings.watchedFolder, folder) || !folder.folder) {
        Failed(Outcome::Fail(kToolInvalidLocalDir,
                             "the local folder " +
                                 ToAnsiString(local.NativePath(settings.watchedFolder)) +
                                 " does not exist"));
        return false;
    }
    return true;
}

std::vector<std::wstring> CTransferEngine::RecordedAndGone(
    const std::wstring& localFolder, const std::set<std::wstring>& namesHere) const {
    const std::wstring prefix = RecordPath(localFolder, false);
    const std::wstring key = settings.record->Key(prefix.empty() ? prefix : prefix + L"/");
    std::vector<std::wstring> gone;
    const auto& all = settings.record->Entries();
    for (auto it = all.lower_bound(key); it != all.end() && it->first.starts_with(key); ++it) {
        const std::wstring rest = it->first.substr(key.size());
        if (rest.find(L'/') == std::wstring::npos && !namesHere.contains(rest)) {
            gone.push_back(it->second.path);
        }
    }
    return gone;
}

bool CTransferEngine::TargetEmptied() {
    if (!Recording() || settings.record->Size() == 0) return false;
    std::vector<TreeEntry> top;
    const Outcome listed = remote.List(settings.remoteDir, top);
    return (listed && top.empty()) || listed.status == kToolInvalidRemoteDir;
}

int32_t CTransferEngine::Synchronise(TransferDirection direction, std::string_view runItem) {
    if (!BeginWholeFolderRun(runItem)) return itemStatus;
    const bool put = direction == TransferDirection::kPut;
    Extras extras = put ? Extras::kRemove : Extras::kKeep;
    // A target that is empty as a whole (a share mounted empty, a folder
    // emptied or made anew) is no one's deletion of each item: a put sends the
    // folder again as to a target never synced, a get removes nothing here.
    const bool emptied = TargetEmptied();
    if (emptied) {
        journal.Action(put ? "put" : "get", LocalText(settings.watchedFolder),
                       remote.Describe(settings.remoteDir),
                       put ? "the target is empty: everything is sent again"
                           : "kept: the target is empty; nothing here is removed on its account");
        if (put) settings.record->Clear();
    }
    // A download takes over the deletions the record can prove: the target no
    // longer has an item plftp synced, and it is unchanged here.
    if (!put && Recording() && !emptied) extras = Extras::kRemove;
    Mirror(direction, settings.watchedFolder, settings.remoteDir, Walk::kRecursive, extras,
           put ? kToolInvalidLocalDir : kToolInvalidRemoteDir);
    if (pool) pool->WaitAll(remoteInner);
    return itemStatus;
}

std::wstring CTransferEngine::LocalFor(const std::wstring& remotePath) const {
    if (!IsWithin(remotePath, settings.remoteDir, remote.CaseSensitive())) return {};
    const std::wstring_view rest =
        std::wstring_view(remotePath)
            .substr(settings.remoteDir == L"/" ? 0 : settings.remoteDir.size());
    if (rest.empty() || rest == L"/") return settings.watchedFolder;
    return JoinPath(settings.watchedFolder, rest.substr(rest.front() == L'/' ? 1 : 0));
}

bool CTransferEngine::Ignored(const TreeEntry& entry) const {
    return MatchesAnyPattern(entry.folder ? settings.ignoreDir : settings.ignore, entry.name);
}

bool CTransferEngine::Removable(const TreeEntry& entry) const {
    if (IsTransferTempName(entry.name)) return true;
    if (Ignored(entry)) return false;
    return entry.folder || entry.link || settings.sizeLimit == 0 ||
           entry.size <= settings.sizeLimit;
}

void CTransferEngine::PutFile(const std::wstring& remoteFolder, const std::wstring& localFolder,
                              const std::wstring& name) {
    TreeEntry probe{name};
    if (Ignored(probe)) {
        journal.Action("put", LocalText(JoinPath(localFolder, name)),
                       remote.Describe(JoinPath(remoteFolder, name)), "skipped: ignored");
        return;
    }
    SendLocalItem(JoinPath(localFolder, name), JoinPath(remoteFolder, name), false);
}

void CTransferEngine::SendLocalItem(const std::wstring& localPath, const std::wstring& remotePath,
                                    bool onlyWhenDifferent, Extras extras) {
    TreeEntry source;
    const Outcome found = local.Stat(localPath, source);
    if (found.status == kToolRemoteNotFound) {
        // Gone since the change was seen: whatever removed it sends its own command.
        journal.Action("put", LocalText(localPath), remote.Describe(remotePath),
                       "skipped: no longer there");
        return;
    }
    if (!found) {
        Log("put", localPath, remotePath, found);
        Failed(found);
        return;
    }
    if (source.link) {
        journal.Action("put", LocalText(localPath), remote.Describe(remotePath), "skipped: a link");
        return;
    }
    if (Ignored(source)) {
        journal.Action("put", LocalText(localPath), remote.Describe(remotePath),
                       "skipped: ignored");
        return;
    }
    if (std::string why = remote.CannotHold(LeafName(remotePath)); !why.empty()) {
        Log("put", localPath, remotePath, Outcome::Fail(kToolWriteError, why));
        Failed(Outcome::Fail(kToolWriteError, "cannot keep the name on the target: " + why));
        return;
    }
    if (source.folder) {
        Mirror(TransferDirection::kPut, localPath, remotePath, Walk::kRecursive, extras,
               kToolSuccess);
        return;
    }
    if (settings.sizeLimit != 0 && source.size > settings.sizeLimit) {
        skippedForSize = true;
        journal.Action("put", LocalText(localPath), remote.Describe(remotePath),
                       "skipped: over the size limit");
        return;
    }
    TreeEntry target;
    const bool there = remote.Stat(remotePath, target).status == kToolSuccess;
    if (const RecordEntry* recorded = Recorded(localPath, false);
        !there && recorded && Unchanged(local, localPath, source, *recorded)) {
        // Unchanged here since it was synced, and gone there: the target's deletion stands.
        journal.Action("put", LocalText(localPath), remote.Describe(remotePath),
                       "kept out: deleted on the target since the last sync");
        return;
    }
    if (there && (target.link || target.folder)) {
        Failed(Outcome::Fail(kToolWriteError, "a folder or link stands where " +
                                                  ToAnsiString(remote.Describe(remotePath)) +
                                                  " is to go"));
        return;
    }
    if (const RecordEntry* recorded = Recorded(localPath, false);
        there && recorded && !Unchanged(remote, remotePath, target, *recorded)) {
        // A change on the target that plftp has not seen is never replaced: a
        // file unchanged here waits for the next get, one changed here too is
        // a conflict (as in a whole-folder run).
        if (Unchanged(local, localPath, source, *recorded)) {
            journal.Action("put", LocalText(localPath), remote.Describe(remotePath),
                           "kept: changed on the target since the last sync; a get brings it");
        } else if (SameFile(local, localPath, source, remote, remotePath, target)) {
            Remember(localPath, source, target);
        } else {
            Conflict(TransferDirection::kPut, localPath, remotePath, source, target);
        }
        return;
    }
    if (onlyWhenDifferent && there &&
        SameFile(local, localPath, source, remote, remotePath, target)) {
        Remember(localPath, source, target);
        return;
    }
    if (!MakeFolders(remote, ParentPath(remotePath))) return;
    const Outcome outcome = TransferFile(TransferDirection::kPut, localPath, remotePath, source,
                                         Named::kByCommand, true, true);
    if (!outcome) Failed(outcome);
}

void CTransferEngine::Delete(const std::wstring& remotePath) {
    TreeEntry entry;
    const Outcome found = remote.Stat(remotePath, entry);
    if (found.status == kToolRemoteNotFound) {
        journal.Action("delete", L"", remote.Describe(remotePath), "ok: already gone");
        if (TreeEntry here; Recording() && !local.Stat(LocalFor(remotePath), here)) {
            settings.record->Drop(RecordPath(remotePath, true));
        }
        return;
    }
    if (!found) {
        Log("delete", L"", remotePath, found);
        Failed(found);
        return;
    }
    // The side being read keeps its item: a name that is there again locally
    // is not removed from the target. Where the target tells case apart, the
    // local name must be there in the same case: a file renamed in case only
    // is another file there.
    const std::wstring localPath = LocalFor(remotePath);
    TreeEntry localEntry;
    if (!localPath.empty() && local.Stat(localPath, localEntry) &&
        (!remote.CaseSensitive() || local.StoredName(localPath) == LeafName(localPath))) {
        journal.Action("delete", LocalText(localPath), remote.Describe(remotePath),
                       "kept: still there locally");
        return;
    }
    if (!Removable(entry)) {
        journal.Action("delete", L"", remote.Describe(remotePath),
                       "kept: ignored or over the size limit");
        return;
    }
    bool kept = false;
    const Outcome outcome = RemoveItem(remote, remotePath, entry, kept);
    if (!outcome) Failed(outcome);
}

void CTransferEngine::RenameRemote(const std::wstring& from, const std::wstring& to,
                                   const std::wstring& localPath, bool reconcile) {
    bool renamed = false;
    const bool caseOnly =
        from != to && NameKey(from, remote.CaseSensitive()) == NameKey(to, remote.CaseSensitive());
    if (from != to && !caseOnly && FileAlreadyAtTarget(to, localPath)) {
        // The file is already where it moves to (the send of its new folder
        // came first, with the file as it is now): the older copy is never
        // renamed over it. The target is brought up to the local file and the
        // old name removed, unless that name is there again locally.
        journal.Action("rename", L"", remote.Describe(from) + L" -> " + remote.Describe(to),
                       "skipped: the target is already there");
        SendLocalItem(localPath, to, true, Extras::kKeep);
        TakeCaseOf(to);
        Delete(from);
        return;
    }
    if (from != to) {
        Outcome outcome = remote.Rename(from, to);
        bool sourceMissing = false;
        if (!outcome) {
            TreeEntry entry;
            const Outcome source = remote.Stat(from, entry);
            if (source.status == kToolRemoteNotFound) {
                sourceMissing = true;
            } else if (!source) {
                outcome = source;
            } else if (!caseOnly) {
                // Something is in the way at `to`: it is replaced only when it
                // may be removed, never by removing `from` under another name.
                TreeEntry existing;
                if (remote.Stat(to, existing)) {
                    if (!Removable(existing)) {
                        outcome = Outcome::Fail(kToolRenameError, "the item in the way is kept");
                    } else {
                        bool kept = false;
                        outcome = RemoveItem(remote, to, existing, kept);
                        if (outcome && kept) {
                            outcome =
                                Outcome::Fail(kToolRenameError, "the item in the way is kept");
                        }
                    }
                } else if (!MakeFolders(remote, ParentPath(to))) {
                    return;
                } else {
                    outcome = Outcome::Ok();  // the folder it moves into is there now
                }
                if (outcome) outcome = remote.Rename(from, to);
            }
        }
        const std::wstring both = remote.Describe(from) + L" -> " + remote.Describe(to);
        if (sourceMissing) {
            // Nothing to rename there: the local item is sent instead.
            journal.Action("rename", L"", both, "skipped: not on the remote side");
        } else {
            journal.Action("rename", L"", both, outcome ? "ok" : "failed: " + outcome.reason);
            if (!outcome) {
                Failed(outcome);
                return;
            }
            renamed = true;
            knownRemoteFolders.clear();  // a folder may have moved
            linkFreeFolders.clear();
            if (Recording()) settings.record->Move(RecordPath(from, true), RecordPath(to, true));
        }
    }
    if (localPath.empty()) return;
    // Without a record a plain rename removes nothing: what the renamed item
    // holds and the local one lacks may be somebody else's. With it only what
    // plftp put there, unchanged since, goes: a deletion whose own line could
    // not name the item (a stand-in send of a folder renamed before the tool
    // ran) is carried out here.
    SendLocalItem(localPath, to, true,
                  renamed && !reconcile && !Recording() ? Extras::kKeep : Extras::kRemove);
}

void CTransferEngine::TakeCaseOf(const std::wstring& path) {
    if (remote.CaseSensitive()) return;
    std::vector<TreeEntry> entries;
    if (!remote.List(ParentPath(path), entries)) return;
    const std::wstring name = LeafName(path);
    const auto found = std::ranges::find_if(entries, [&](const TreeEntry& entry) {
        return entry.name != name && NameKey(entry.name, false) == NameKey(name, false);
    });
    if (found == entries.end()) return;
    const std::wstring stored = JoinPath(ParentPath(path), found->name);
    const Outcome outcome = remote.Rename(stored, path);
    journal.Action("rename", L"", remote.Describe(stored) + L" -> " + remote.Describe(path),
                   outcome ? "ok" : "failed: " + outcome.reason);
    if (!outcome) {
        Failed(outcome);
    } else if (Recording()) {
        settings.record->Move(RecordPath(stored, true), RecordPath(path, true));
    }
}

bool CTransferEngine::FileAlreadyAtTarget(const std::wstring& to, const std::wstring& localPath) {
    if (localPath.empty()) return false;
    TreeEntry localFile, remoteFile;
    return local.Stat(localPath, localFile) && !localFile.folder && !localFile.link &&
           remote.Stat(to, remoteFile) && !remoteFile.folder && !remoteFile.link;
}

bool CTransferEngine::MakeFolders(CTransferTarget& side, const std::wstring& folder) {
    const bool isRemote = &side == &remote;
    if (folder.empty() || folder == L"/" || (isRemote && knownRemoteFolders.contains(folder))) {
        return true;
    }
    TreeEntry entry;
    Outcome outcome = side.Stat(folder, entry);
    if (outcome && entry.folder && !entry.link) {
        if (isRemote) knownRemoteFolders.insert(folder);
        return true;
    }
    if (outcome) {
        Failed(Outcome::Fail(kToolWriteError, "a file or link stands where the folder " +
                                                  ToAnsiString(side.Describe(folder)) +
                                                  " is to go"));
        return false;
    }
    if (outcome.status != kToolRemoteNotFound) {
        Failed(outcome);
        return false;
    }
    if (!MakeFolders(side, ParentPath(folder))) return false;
    outcome = side.MakeFolder(folder);
    Log("mkdir", isRemote ? L"" : folder, isRemote ? folder : L"", outcome);
    if (!outcome) {
        Failed(outcome);
        return false;
    }
    if (isRemote) knownRemoteFolders.insert(folder);
    // A folder plftp made is plftp's, also where the local one is gone again
    // (a move through a folder renamed since): unknown to the record, it
    // would stay as somebody's empty folder, and keep its parent with it.
    const std::wstring localFolder = isRemote ? LocalFor(folder) : folder;
    if (!Recording() || localFolder.empty()) return true;
    TreeEntry here;
    const Outcome found = local.Stat(localFolder, here);
    if (found ? here.folder && !here.link : found.status == kToolRemoteNotFound) {
        Remember(localFolder, TreeEntry{here.name, true}, TreeEntry{here.name, true});
    }
    return true;
}

Outcome CTransferEngine::RemoveItem(CTransferTarget& side, const std::wstring& path,
                                    const TreeEntry& entry, bool& kept) {
    const bool isRemote = &side == &remote;
    const std::wstring localPath = isRemote ? L"" : path;
    const std::wstring remotePath = isRemote ? path : L"";
    bool unknownFolder = false;
    if (Recording() && !IsTransferTempName(LeafName(path))) {
        // Only what plftp left there, unchanged since: anything else is
        // somebody's work (the other side's, or this folder's own). A folder
        // the record lacks goes with what in it is plftp's, if all of it is.
        const RecordEntry* recorded = Recorded(path, isRemote);
        unknownFolder = !recorded && entry.folder && !entry.link;
        TreeEntry current = entry;
        const char* why = unknownFolder             ? nullptr
                          : !recorded || entry.link ? "kept: not synced from here"
                          : !Unchanged(side, path, current, *recorded)
                              ? "kept: changed since the last sync"
                              : nullptr;
        if (why) {
            kept = true;
            if (recorded)
                journal.Action("delete", LocalText(localPath),
                               remotePath.empty() ? L"" : side.Describe(path), why);
            return Outcome::Ok();
        }
    }
    Outcome removed = RemoveUnrecorded(side, path, entry, kept, unknownFolder);
    if (removed && !kept && Recording()) settings.record->Drop(RecordPath(path, isRemote));
    return removed;
}

Outcome CTransferEngine::RemoveUnrecorded(CTransferTarget& side, const std::wstring& path,
                                          const TreeEntry& entry, bool& kept, bool keepIfEmpty) {
    const bool isRemote = &side == &remote;
    const std::wstring localPath = isRemote ? L"" : path;
    const std::wstring remotePath = isRemote ? path : L"";
    if (!entry.folder || entry.link) {
        // A link goes as a link: what it points to is never looked at.
        Outcome outcome = entry.folder ? side.RemoveFolder(path) : side.RemoveFile(path);
        TreeEntry still;
        if (!outcome && side.Stat(path, still).status == kToolRemoteNotFound) {
            outcome = Outcome::Ok();  // gone meanwhile: what was wanted
        }
        Log(entry.link ? "unlink" : "delete", localPath, remotePath, outcome);
        return outcome;
    }
    std::vector<TreeEntry> entries;
    Outcome outcome = side.List(path, entries);
    if (outcome.status == kToolInvalidRemoteDir) return Outcome::Ok();  // already gone
    if (!outcome) {
        Log("rmdir", localPath, remotePath, outcome);
        return outcome;
    }
    if (keepIfEmpty && entries.empty()) {
        kept = true;
        return Outcome::Ok();
    }
    bool keptHere = false;
    for (const TreeEntry& child : entries) {
        if (!Removable(child)) {
            keptHere = true;
            journal.Action("delete", isRemote ? L"" : LocalText(JoinPath(path, child.name)),
                           isRemote ? side.Describe(JoinPath(path, child.name)) : L"",
                           "kept: ignored or over the size limit");
            continue;
        }
        outcome = RemoveItem(side, JoinPath(path, child.name), child, keptHere);
        if (!outcome) return outcome;
    }
    if (isRemote) {
        knownRemoteFolders.clear();  // the folders below it went too
        linkFreeFolders.clear();
    }
    if (keptHere) {
        kept = true;
        journal.Action("rmdir", LocalText(localPath),
                       remotePath.empty() ? L"" : side.Describe(path),
                       "kept: holds files plftp may not remove (not synced by it, ignored or over "
                       "the size limit)");
        return Outcome::Ok();
    }
    outcome = side.RemoveFolder(path);
    Log("rmdir", localPath, remotePath, outcome);
    return outcome;
}

bool CTransferEngine::SameFile(CTransferTarget& sourceSide, const std::wstring& sourcePath,
                               TreeEntry& source, CTransferTarget& targetSide,
                               const std::wstring& targetPath, TreeEntry& target) {
    if (source.size != target.size) return false;
    for (auto [side, path, entry] : {std::tuple{&sourceSide, &sourcePath, &source},
                                     std::tuple{&targetSide, &targetPath, &target}}) {
        if (entry->exactTime) continue;
        int64_t exact = 0;
        if (side->ExactTime(*path, exact)) {
            entry->modified = exact;
            entry->exactTime = true;
        }
    }
    // Without a time on both sides the size alone decides. Otherwise the times
    // must agree to the coarser side's step and no more loosely: a file saved
    // again a moment after it was sent, at the same size, is a new version.
    if (source.modified == 0 || target.modified == 0) return true;
    const int64_t step = std::max(sourceSide.TimeStep(), targetSide.TimeStep());
    const int64_t difference = source.modified - target.modified;
    // A target that keeps no time it is given holds the time its copy was
    // written at: a copy written after the source's last change is that
    // version, and a source saved after it is sent.
    if (!targetSide.KeepsTimes()) return difference < step;
    return difference < step && difference > -step;
}

// A download replaces a local file only with a newer one: an edit made while
// the watcher was off, or not sent yet, is kept and goes with the next send.
// Without a time on either side nothing says which is newer: the local file stays.
bool CTransferEngine::ServerCopyIsNewer(const std::wstring& remotePath, TreeEntry& source,
                                        const TreeEntry& target) {
    if (!source.exactTime) {
        int64_t exact = 0;
        if (remote.ExactTime(remotePath, exact)) {
            source.modified = exact;
            source.exactTime = true;
        }
    }
    if (source.modified == 0 || target.modified == 0) return false;
    const int64_t step = std::max(remote.TimeStep(), local.TimeStep());
    return source.modified - target.modified >= step;
}

struct CTransferEngine::FileTransfer {
    bool put = true;
    std::wstring localPath, remotePath, part;
    TreeEntry source;
    int64_t kept = 0;         // the time the placed file is given
    std::wstring recordPath;  // empty: the record is not told
    std::optional<RecordEntry> before;
    uint64_t itemSerial = 0;
    std::string item;
    TreeEntry written;
    bool gone = false;  // a put whose local file went away meanwhile
};

Outcome CTransferEngine::TransferFile(TransferDirection direction, const std::wstring& localPath,
                                      const std::wstring& remotePath, TreeEntry& source,
                                      Named named, bool remember, bool mayDefer) {
    const bool put = direction == TransferDirection::kPut;
    // A file named by a command whose name has changed in case since: the
    // change that renamed it sends it. Where case counts it is another name;
    // where it does not, a put under the old case would take the file back to
    // it (engine row "put of a name renamed in case since"). A name a listing
    // gave is as stored.
    if (put && named == Named::kByCommand) {
        const std::wstring stored = local.StoredName(localPath);
        if (!stored.empty() && stored != LeafName(localPath)) {
            journal.Action("put", LocalText(localPath), remote.Describe(remotePath),
                           "skipped: no longer there under this name");
            return Outcome::Ok();
        }
    }
    auto transfer = std::make_shared<FileTransfer>();
    transfer->put = put;
    transfer->localPath = localPath;
    transfer->remotePath = remotePath;
    const std::wstring& targetPath = put ? remotePath : localPath;
    transfer->part = JoinPath(ParentPath(targetPath), PartName(LeafName(targetPath)));
    transfer->source = source;
    transfer->kept =
        put ? TimeToKeep(source.modified, local.Now(), remote.TimeStep()) : source.modified;
    transfer->itemSerial = itemSerial;
    transfer->item = item;
    // The journal learns of the transfer before it begins: a kill in it leaves
    // the item to be sent again, never taken for a conflict.
    if (remember && Recording()) transfer->recordPath = RecordPath(localPath, false);
    if (!transfer->recordPath.empty()) {
        if (const RecordEntry* known = settings.record->Find(transfer->recordPath)) {
            transfer->before = *known;
        }
        settings.record->Intent(transfer->recordPath,
                                put ? CSyncRecord::Direction::kPut : CSyncRecord::Direction::kGet);
    }
    if (!pool || !mayDefer) {
        if (pool) {  // on the engine's own connection, after the transfers of the same paths
            waitingRemote->Touch(remotePath);
            (put ? waitingRemote : waitingLocal)->Touch(transfer->part);
            waitingLocal->Touch(localPath);
        }
        const Outcome outcome = Complete(*transfer, CarryOut(*transfer, remoteInner));
        source = transfer->source;
        return outcome;
    }
    CTransferPool::Job job;
    job.remotePaths = {remotePath};
    job.localPaths = {localPath};
    (put ? job.remotePaths : job.localPaths).push_back(transfer->part);
    job.work = [this, transfer](CTransferTarget& remoteSide) {
        return CarryOut(*transfer, remoteSide);
    };
    job.finish = [this, transfer](const Outcome& outcome) {
        if (Outcome completed = Complete(*transfer, outcome); !completed) {
            FailedLater(*transfer, completed);
        }
    };
    pool->Submit(std::move(job), remoteInner);
    return Outcome::Ok();
}

Outcome CTransferEngine::CarryOut(FileTransfer& transfer, CTransferTarget& remoteSide) const {
    if (stopTransfers) {
        return Outcome::Fail(kToolNoServer, "not tried: the server went away before");
    }
    const bool put = transfer.put;
    CTransferTarget& targetSide = put ? remoteSide : static_cast<CTransferTarget&>(localInner);
    const std::wstring& targetPath = put ? transfer.remotePath : transfer.localPath;
    TreeEntry& source = transfer.source;
    if (!put && !source.exactTime) {
        int64_t exact = 0;
        if (remoteSide.ExactTime(transfer.remotePath, exact)) source.modified = exact;
        transfer.kept = source.modified;
    }
    TreeEntry& written = transfer.written;
    Outcome outcome =
        put ? remoteSide.Store(localInner.NativePath(transfer.localPath), transfer.part, written)
            : remoteSide.Fetch(transfer.remotePath, localInner.NativePath(transfer.part));
    if (put && outcome.status == kToolFileNotFound) {
        transfer.gone = true;
        return Outcome::Ok();
    }
    // The size the listing gave must have arrived: a cut transfer never
    // replaces the file it was to renew.
    if (outcome && !put) outcome = localInner.Stat(transfer.part, written);
    if (outcome && (written.folder || written.size != source.size)) {
        outcome = Outcome::Fail(put ? kToolWriteError : kToolReadError,
                                "incomplete transfer: " + std::to_string(written.size) + " of " +
                                    std::to_string(source.size) + " bytes");
    }
    // The copy may have kept the time already (a folder target's does).
    const int64_t kept = transfer.kept;
    if (outcome) {
        outcome = targetSide.PlaceFile(transfer.part, targetPath,
                                       written.exactTime && written.modified == kept ? 0 : kept);
    }
    if (!outcome && !stopTransfers && !IsFatal(outcome.status)) {
        TreeEntry leftover;
        if (targetSide.Stat(transfer.part, leftover) && !leftover.folder) {
            (void)targetSide.RemoveFile(transfer.part);
        }
    }
    return outcome;
}

Outcome CTransferEngine::Complete(FileTransfer& transfer, Outcome outcome) {
    const bool put = transfer.put;
    auto restoreRecord = [&] {
        if (transfer.recordPath.empty()) return;
        if (transfer.before) {
            settings.record->Set(*transfer.before);
        } else {
            settings.record->Drop(transfer.recordPath);
        }
    };
    if (transfer.gone) {
        restoreRecord();
        journal.Action("put", LocalText(transfer.localPath), remote.Describe(transfer.remotePath),
                       "skipped: no longer there");
        return Outcome::Ok();
    }
    if (!outcome) {
        restoreRecord();
    } else if (!transfer.recordPath.empty()) {
        // The sending side as it was read before the transfer (a save during
        // it is a change for the next run); the receiving side as placed,
        // its time only where the target is known to have kept it.
        const TreeEntry& written = transfer.written;
        TreeEntry placed = written;
        placed.modified =
            written.exactTime && written.modified == transfer.kept ? transfer.kept : 0;
        placed.exactTime = placed.modified != 0;
        if (put) {
            Remember(transfer.localPath, transfer.source, placed);
        } else if (TreeEntry now; localInner.Stat(transfer.localPath, now)) {
            Remember(transfer.localPath, now, transfer.source);
        }
    }
    Log(put ? "put" : "get", transfer.localPath, transfer.remotePath, outcome);
    return outcome;
}

void CTransferEngine::FailedLater(const FileTransfer& transfer, const Outcome& outcome) {
    failedFolders.insert(NameCaseKey(ParentPath(transfer.localPath)));
    if (transfer.itemSerial == itemSerial) {
        Failed(outcome);
        return;
    }
    journal.Failure(transfer.item, outcome.reason);
    if (lateStatus == kToolSuccess) lateStatus = outcome.status;
    if (IsFatal(outcome.status)) {
        fatal = true;
        stopTransfers = true;
    }
}

void CTransferEngine::Settle(const std::wstring& localFolder, bool& troubled) {
    if (!pool) return;
    const std::wstring key = NameCaseKey(localFolder);
    pool->WaitFor(
        false, [&](const std::wstring& path) { return NameCaseKey(ParentPath(path)) == key; },
        remoteInner);
    troubled = troubled || failedFolders.contains(key);
}

int32_t CTransferEngine::Finish() {
    ++itemSerial;  // what ends now ends after its item returned
    if (pool) pool->Close(remoteInner);
    return lateStatus;
}

bool CTransferEngine::Mirror(TransferDirection direction, const std::wstring& localFolder,
                             const std::wstring& remoteFolder, Walk walk, Extras extras,
                             int32_t missingSource, bool makeTarget, bool targetMade) {
    const bool put = direction == TransferDirection::kPut;
    CTransferTarget& sourceSide = put ? static_cast<CTransferTarget&>(local) : remote;
    CTransferTarget& targetSide = put ? remote : static_cast<CTransferTarget&>(local);
    const std::wstring& sourceFolder = put ? localFolder : remoteFolder;
    const std::wstring& targetFolder = put ? remoteFolder : localFolder;
    const bool targetCase = targetSide.CaseSensitive();

    std::vector<TreeEntry> sourceEntries;
    Outcome outcome = sourceSide.List(sourceFolder, sourceEntries);
    if (outcome.status == kToolInvalidRemoteDir) {
        if (missingSource == kToolSuccess) {
            journal.Action(put ? "put" : "get", LocalText(localFolder),
                           remote.Describe(remoteFolder), "skipped: no longer there");
            return true;
        }
        outcome.status = missingSource;
    }
    if (!outcome) return Failed(outcome);

    std::vector<TreeEntry> targetList;
    outcome = targetMade ? Outcome::Ok() : targetSide.List(targetFolder, targetList);
    bool targetMissing = false;
    if (outcome.status == kToolInvalidRemoteDir) {
        targetMissing = true;
        if (makeTarget && !MakeFolders(targetSide, targetFolder)) return !fatal;
        targetList.clear();
    } else if (!outcome) {
        return Failed(outcome);
    }
    // A folder the other side deleted is made again only for what is to go into it.
    auto targetReady = [&] {
        if (!targetMissing || makeTarget) return true;
        targetMissing = !MakeFolders(targetSide, targetFolder);
        return !targetMissing;
    };
    if (put && !targetMissing) knownRemoteFolders.insert(remoteFolder);
    std::map<std::wstring, TreeEntry> targetEntries;
    for (TreeEntry& entry : targetList) {
        const std::wstring key = NameKey(entry.name, targetCase);
        targetEntries.emplace(key, std::move(entry));
    }

    // Anything that fails in this folder keeps its extras: a partial picture
    // of a folder never decides a delete.
    bool troubled = false;
    auto fail = [&](const Outcome& failure) {
        troubled = true;
        return Failed(failure);
    };
    std::set<std::wstring> sourceKeys;
    std::set<std::wstring> namesHere;  // both sides' names in either case, for the record
    if (Recording()) {
        for (const TreeEntry& entry : sourceEntries) {
            namesHere.insert(settings.record->Key(entry.name));
        }
        for (const auto& [key, entry] : targetEntries) {
            namesHere.insert(settings.record->Key(entry.name));
        }
    }
    for (TreeEntry& source : sourceEntries) {
        if (fatal) return false;  // a transfer under way found the server gone
        if (IsTransferTempName(source.name)) continue;
        const std::wstring key = NameKey(source.name, targetCase);
        const std::wstring localPath = JoinPath(localFolder, source.name);
        const std::wstring remotePath = JoinPath(remoteFolder, source.name);
        const std::wstring& targetPath = put ? remotePath : localPath;
        const std::wstring& sourcePath = put ? localPath : remotePath;
        if (!sourceKeys.insert(key).second) {
            if (!fail(Outcome::Fail(kToolWriteError,
                                    "two names differ only in case, the target keeps one: " +
                                        ToAnsiString(sourceSide.Describe(sourcePath))))) {
                return false;
            }
            continue;
        }
        if (Ignored(source)) continue;
        if (source.link) {
            journal.Action(put ? "put" : "get", LocalText(localPath), remote.Describe(remotePath),
                           "skipped: a link");
            continue;
        }
        if (std::string why = targetSide.CannotHold(source.name); !why.empty()) {
            journal.Action(put ? "put" : "get", put ? LocalText(localPath) : L"",
                           remote.Describe(remotePath), "failed: " + why);
            if (!fail(Outcome::Fail(kToolWriteError,
                                    "cannot keep the name " +
                                        ToAnsiString(sourceSide.Describe(sourcePath)) + ": " +
                                        why))) {
                return false;
            }
            continue;
        }
        if (!source.folder && settings.sizeLimit != 0 && source.size > settings.sizeLimit) {
            // Left out, and its counterpart left alone with it.
            skippedForSize = true;
            journal.Action(put ? "put" : "get", LocalText(localPath), remote.Describe(remotePath),
                           "skipped: over the size limit");
            continue;
        }
        const auto found = targetEntries.find(key);
        TreeEntry* target = found == targetEntries.end() ? nullptr : &found->second;
        const RecordEntry* recorded = Recording() ? Recorded(localPath, false) : nullptr;
        if (!target && recorded) {
            // The receiving side deleted what the record knows: it is sent
            // again only for a change on the sending side (below a folder,
            // item by item).
            if (source.folder && recorded->folder) {
                if (walk == Walk::kRecursive &&
                    !Mirror(direction, localPath, remotePath, walk, extras, kToolSuccess, false)) {
                    return false;
                }
                continue;
            }
            if (Unchanged(sourceSide, sourcePath, source, *recorded)) {
                journal.Action(put ? "put" : "get", LocalText(localPath),
                               remote.Describe(remotePath),
                               put ? "kept out: deleted on the target since the last sync"
                                   : "kept out: deleted here since the last sync");
                continue;
            }
        }
        if (!targetReady()) {
            if (!fail(Outcome::Fail(
                    kToolWriteError,
                    "cannot make " + ToAnsiString(targetSide.Describe(targetFolder))))) {
                return false;
            }
            continue;
        }
        if (target && target->link) {
            if (!fail(Outcome::Fail(kToolWriteError,
                                    "a link stands where " +
                                        ToAnsiString(targetSide.Describe(targetPath)) +
                                        " is to go"))) {
                return false;
            }
            continue;
        }
        if (!put && target && target->folder != source.folder) {
            // A download never removes a local item: a local file where the
            // server has a folder, or the other way round, stays, and goes
            // with the next send.
            journal.Action("get", LocalText(localPath), remote.Describe(remotePath),
                           target->folder ? "kept: a local folder stands where the file is"
                                          : "kept: a local file stands where the folder is");
            continue;
        }
        if (!put && target && !target->folder && !Recording() &&
            !SameFile(sourceSide, sourcePath, source, targetSide, targetPath, *target) &&
            !ServerCopyIsNewer(remotePath, source, *target)) {
            // Kept as it is, its name too.
            journal.Action("get", LocalText(localPath), remote.Describe(remotePath),
                           "kept: the local file is as new or newer");
            continue;
        }
        if (target && target->name != source.name) {
            // Only the case differs on a side that does not tell case apart:
            // the item is renamed, never deleted and made again.
            const std::wstring oldPath = JoinPath(targetFolder, target->name);
            outcome = targetSide.Rename(oldPath, targetPath);
            Log("rename", put ? L"" : oldPath, put ? oldPath : L"", outcome);
            if (!outcome) {
                if (!fail(outcome)) return false;
                continue;
            }
            if (Recording()) {
                settings.record->Move(RecordPath(oldPath, put), RecordPath(targetPath, put));
            }
            target->name = source.name;
        }
        if (source.folder) {
            if (walk == Walk::kFilesOnly) continue;
            if (target && !target->folder) {
                bool kept = false;
                outcome = Removable(*target)
                              ? RemoveItem(targetSide, targetPath, *target, kept)
                              : Outcome::Fail(kToolWriteError,
                                              "a kept file stands where a folder is to go");
                if (!outcome) {
                    if (!fail(outcome)) return false;
                    continue;
                }
                target = nullptr;
            }
            const bool made = !target;
            if (made) {
                outcome = targetSide.MakeFolder(targetPath);
                Log("mkdir", put ? L"" : localPath, put ? remotePath : L"", outcome);
                if (!outcome) {
                    if (!fail(outcome)) return false;
                    continue;
                }
            }
            if (put) knownRemoteFolders.insert(remotePath);
            if (!Mirror(direction, localPath, remotePath, walk, extras, kToolSuccess, true, made)) {
                return false;
            }
            Remember(localPath, TreeEntry{source.name, true}, TreeEntry{source.name, true});
            continue;
        }
        if (target && target->folder) {
            bool kept = false;
            outcome = RemoveItem(targetSide, targetPath, *target, kept);
            if (outcome && kept)
                outcome =
                    Outcome::Fail(kToolWriteError, "a kept folder stands where a file is to go");
            if (!outcome) {
                if (!fail(outcome)) return false;
                continue;
            }
            target = nullptr;
        }
        if (target && Recording()) {
            Reconcile(direction, localPath, remotePath, put ? source : *target,
                      put ? *target : source);
            if (fatal) return false;
            continue;
        }
        if (target && SameFile(sourceSide, sourcePath, source, targetSide, targetPath, *target)) {
            continue;
        }
        outcome =
            TransferFile(direction, localPath, remotePath, source, Named::kByListing, true, true);
        if (!outcome && !fail(outcome)) return false;
    }

    // What the record knows here and neither side has any more, and what only
    // the receiving side has: only a folder whose transfers all ended well decides on them.
    const std::vector<std::wstring> gone =
        Recording() ? RecordedAndGone(localFolder, namesHere) : std::vector<std::wstring>{};
    const bool extrasHere =
        extras == Extras::kRemove && std::ranges::any_of(targetEntries, [&](const auto& pair) {
            return !sourceKeys.contains(pair.first);
        });
    if (!gone.empty() || extrasHere) Settle(localFolder, troubled);
    if (Recording() && !troubled) {
        for (const std::wstring& path : gone) settings.record->Drop(path);
    }
    if (extras == Extras::kKeep) return true;
    if (troubled) {
        journal.Action(put ? "put" : "get", LocalText(localFolder), remote.Describe(remoteFolder),
                       "kept: what only the receiving side has, as something here failed");
        return true;
    }
    for (const auto& [key, target] : targetEntries) {
        if (sourceKeys.contains(key)) continue;
        // What plftp would not send is never removed either (a get removes
        // nothing: it never comes here).
        if (!Removable(target)) continue;
        if (walk == Walk::kFilesOnly && target.folder && !target.link) continue;  // files only
        bool kept = false;
        outcome = RemoveItem(targetSide, JoinPath(targetFolder, target.name), target, kept);
        if (!outcome && !Failed(outcome)) return false;
    }
    return true;
}

std::wstring CTransferEngine::RecordPath(const std::wstring& path, bool remoteSide) const {
    std::wstring relative;
    if (!RelativeTo(path, remoteSide ? settings.remoteDir : settings.watchedFolder, relative)) {
        return {};
    }
    return relative.substr(1);  // "" for the mapped folders themselves
}

const RecordEntry* CTransferEngine::Recorded(const std::wstring& path, bool remoteSide) const {
    const std::wstring relative = RecordPath(path, remoteSide);
    return relative.empty() || !settings.record ? nullptr : settings.record->Find(relative);
}

bool CTransferEngine::Unchanged(CTransferTarget& side, const std::wstring& path, TreeEntry& entry,
                                const RecordEntry& recorded) {
    const bool isRemote = &side == &remote;
    const RecordSide& was = isRemote ? recorded.remote : recorded.local;
    // A listing's time to the minute is asked to the second only when it can
    // decide: the sizes agree and the record has a time.
    if (!entry.folder && !entry.exactTime && was.modified != 0 && entry.size == was.size) {
        int64_t exact = 0;
        if (side.ExactTime(path, exact)) {
            entry.modified = exact;
            entry.exactTime = true;
        }
    }
    return SideUnchanged(was, recorded.folder, entry.folder && !entry.link, entry.size,
                         entry.exactTime ? entry.modified : 0, side.TimeStep());
}

void CTransferEngine::Remember(const std::wstring& localPath, const TreeEntry& localEntry,
                               const TreeEntry& remoteEntry) {
    if (!Recording() || localEntry.link || remoteEntry.link) return;
    RecordEntry entry;
    entry.path = RecordPath(localPath, false);
    if (entry.path.empty()) return;
    entry.folder = localEntry.folder;
    if (!entry.folder) {
        entry.local = {localEntry.size, localEntry.modified};
        entry.remote = {remoteEntry.size, remoteEntry.exactTime ? remoteEntry.modified : 0};
    }
    settings.record->Set(entry);
    // The folders it lies in are synced too: a folder renamed or made on the
    // way (a move into a folder made by the batch) is known with its items.
    for (std::size_t slash = entry.path.rfind(L'/'); slash != std::wstring::npos && slash > 0;
         slash = entry.path.rfind(L'/', slash - 1)) {
        const std::wstring folder = entry.path.substr(0, slash);
        if (settings.record->Find(folder)) break;
        settings.record->Set(RecordEntry{folder, true, {}, {}});
    }
}

void CTransferEngine::Conflict(TransferDirection direction, const std::wstring& localPath,
                               const std::wstring& remotePath, TreeEntry& localEntry,
                               TreeEntry& remoteEntry) {
    const std::wstring aside = ConflictName(LeafName(remotePath), settings.device, local.Now());
    const std::wstring remoteAside = JoinPath(ParentPath(remotePath), aside);
    const std::wstring localAside = JoinPath(ParentPath(localPath), aside);
    journal.Action("conflict", LocalText(localPath), remote.Describe(remotePath),
                   "both changed: this folder's version goes to " +
                       ToAnsiString(remote.Describe(remoteAside)));
    // A copy already under that name (a conflict of the same minute) is an
    // older version of the same local file: it is replaced.
    Outcome outcome = TransferFile(TransferDirection::kPut, localPath, remoteAside, localEntry,
                                   Named::kByListing, false);
    if (!outcome) {
        Failed(outcome);
        return;
    }
    journal.Failure(item, "conflict: " + ToAnsiString(remote.Describe(remotePath)) +
                              " changed on both sides since the last sync; both versions kept, "
                              "this folder's as " +
                              ToAnsiString(remote.Describe(remoteAside)));
    if (itemStatus == kToolSuccess) itemStatus = kToolConflictKept;
    if (direction == TransferDirection::kPut) {
        // The target's version keeps the name; the next get brings it here.
        RecordEntry entry;
        entry.path = RecordPath(localPath, false);
        entry.local = {localEntry.size, localEntry.modified};
        entry.remote = {kRecordChanged, 0};
        settings.record->Set(entry);
        return;
    }
    TreeEntry copy;
    outcome = remote.Stat(remoteAside, copy);
    if (outcome) {
        outcome =
            TransferFile(TransferDirection::kGet, localAside, remoteAside, copy, Named::kByListing);
    }
    if (outcome) {
        outcome = TransferFile(TransferDirection::kGet, localPath, remotePath, remoteEntry,
                               Named::kByListing);
    }
    if (!outcome) Failed(outcome);
}

void CTransferEngine::Reconcile(TransferDirection direction, const std::wstring& localPath,
                                const std::wstring& remotePath, TreeEntry& localEntry,
                                TreeEntry& remoteEntry) {
    const bool put = direction == TransferDirection::kPut;
    const RecordEntry* recorded = Recorded(localPath, false);
    const bool localSame = recorded && Unchanged(local, localPath, localEntry, *recorded);
    const bool remoteSame = recorded && Unchanged(remote, remotePath, remoteEntry, *recorded);
    if (recorded && localSame && remoteSame) {
        // Nothing to do; a time the record lacked is learnt.
        if (recorded->remote.modified == 0 && remoteEntry.exactTime &&
            recorded->remote.size == remoteEntry.size) {
            Remember(localPath, localEntry, remoteEntry);
        }
        return;
    }
    if (recorded && (put ? remoteSame : localSame)) {
        // Changed on the sending side only.
        const Outcome outcome =
            TransferFile(direction, localPath, remotePath, put ? localEntry : remoteEntry,
                         Named::kByListing, true, true);
        if (!outcome) Failed(outcome);
        return;
    }
    if (recorded && (put ? localSame : remoteSame)) {
        journal.Action(put ? "put" : "get", LocalText(localPath), remote.Describe(remotePath),
                       put ? "kept: changed on the target since the last sync; a get brings it"
                           : "kept: changed here since the last sync; a put sends it");
        return;
    }
    // Both changed, or no record of it: equal files are recorded, others kept both.
    if (SameFile(local, localPath, localEntry, remote, remotePath, remoteEntry)) {
        Remember(localPath, localEntry, remoteEntry);
        return;
    }
    Conflict(direction, localPath, remotePath, localEntry, remoteEntry);
}

int32_t CTransferEngine::SendChanges(std::string_view runItem) {
    // Without a record every local item is new to it: sent, or merged with the target's.
    if (!Recording() || TargetEmptied()) return Synchronise(TransferDirection::kPut, runItem);
    if (!BeginWholeFolderRun(runItem)) return itemStatus;
    SendChangesIn(settings.watchedFolder, settings.remoteDir);
    if (pool) pool->WaitAll(remoteInner);
    return itemStatus;
}

void CTransferEngine::SendChangesIn(const std::wstring& localFolder,
                                    const std::wstring& remoteFolder) {
    std::vector<TreeEntry> entries;
    if (Outcome outcome = local.List(localFolder, entries); !outcome) {
        Failed(outcome);
        return;
    }
    std::set<std::wstring> here;
    for (TreeEntry& entry : entries) {
        if (fatal) return;
        here.insert(settings.record->Key(entry.name));
        if (IsTransferTempName(entry.name) || entry.link || Ignored(entry)) continue;
        const std::wstring localPath = JoinPath(localFolder, entry.name);
        const std::wstring remotePath = JoinPath(remoteFolder, entry.name);
        const RecordEntry* recorded = Recorded(localPath, false);
        if (recorded && recorded->folder && entry.folder) {
            SendChangesIn(localPath, remotePath);
            continue;
        }
        if (recorded && Unchanged(local, localPath, entry, *recorded)) continue;
        if (entry.folder) {
            SendLocalItem(localPath, remotePath, true);
            continue;
        }
        if (settings.sizeLimit != 0 && entry.size > settings.sizeLimit) {
            skippedForSize = true;
            journal.Action("put", LocalText(localPath), remote.Describe(remotePath),
                           "skipped: over the size limit");
            continue;
        }
        TreeEntry target;
        const Outcome found = remote.Stat(remotePath, target);
        if (found.status == kToolRemoteNotFound) {
            if (!MakeFolders(remote, remoteFolder)) continue;
            if (Outcome outcome = TransferFile(TransferDirection::kPut, localPath, remotePath,
                                               entry, Named::kByListing, true, true);
                !outcome) {
                Failed(outcome);
            }
        } else if (!found) {
            Failed(found);
        } else if (target.folder || target.link) {
            Failed(Outcome::Fail(kToolWriteError, "a folder or link stands where " +
                                                      ToAnsiString(remote.Describe(remotePath)) +
                                                      " is to go"));
        } else {
            Reconcile(TransferDirection::kPut, localPath, remotePath, entry, target);
        }
    }
    // What the record knows here and the folder no longer has: deleted here.
    for (const std::wstring& path : RecordedAndGone(localFolder, here)) {
        if (fatal) return;
        Delete(JoinPath(remoteFolder, LeafName(L"/" + path)));
    }
}
