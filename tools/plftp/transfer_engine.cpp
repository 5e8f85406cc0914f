#include "tools/plftp/transfer_engine.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "app/text_conversion.h"
#include "tools/plftp/path_text.h"
#include "watch/transfer_command.h"

namespace {

bool IsFatal(int32_t status) { return status == kToolNoServer || status == kToolLoginRefused; }

std::wstring Wide(const BoundedText<512>& field) { return ToWideString(field.Str()); }

}  // namespace

CTransferEngine::CTransferEngine(CLocalFolderTarget& local, CTransferTarget& remote,
                                 const EngineSettings& settings, CRunJournal& journal)
    : local(local), remote(remote), settings(settings), journal(journal) {}

bool CTransferEngine::Failed(const Outcome& outcome) {
    journal.Failure(item, outcome.reason);
    if (itemStatus == kToolSuccess) itemStatus = outcome.status;
    return !IsFatal(outcome.status);
}

void CTransferEngine::Log(std::string_view action, const std::wstring& localPath,
                          const std::wstring& remotePath, const Outcome& outcome) {
    const std::wstring localText = localPath.empty() ? L"" : local.NativePath(localPath);
    const std::wstring remoteText = remotePath.empty() ? L"" : remote.Describe(remotePath);
    journal.Action(action, localText, remoteText,
                   outcome ? std::string("ok") : "failed: " + outcome.reason);
}

int32_t CTransferEngine::RunCommandLine(std::string_view line) {
    item.assign(line);
    itemStatus = kToolSuccess;
    const TransferCommand command = ParseCommand(line);
    const std::wstring dir = CanonicalPath(Wide(command.dir));
    const std::wstring ldir = CanonicalPath(Wide(command.ldir));
    const std::wstring filename = Wide(command.filename);
    const bool sync = command.sync == "1";
    const bool sub = command.sub == "1";

    if (command.cmd == "put" && !dir.empty() && !ldir.empty()) {
        if (!filename.empty()) {
            PutFile(dir, ldir, filename);
        } else if (sync && sub) {
            Mirror(TransferDirection::kPut, ldir, dir, Walk::kRecursive, Extras::kRemove,
                   kToolSuccess);
        } else {
            // A folder-wide send stands for the renames and deletions merged
            // into it, so what is gone locally goes on the remote side too.
            Mirror(TransferDirection::kPut, ldir, dir, sub ? Walk::kRecursive : Walk::kFilesOnly,
                   Extras::kRemove, kToolSuccess);
        }
    } else if (command.cmd == "del" && !dir.empty() && (!filename.empty() || sub)) {
        Delete(filename.empty() ? dir : JoinPath(dir, filename));
    } else if (command.cmd == "rn" && !command.from.Empty() && !command.to.Empty()) {
        if (dir.empty()) {
            const std::wstring to = CanonicalPath(Wide(command.to));
            RenameRemote(CanonicalPath(Wide(command.from)), to, LocalFor(to), true);
        } else {
            const std::wstring newName = BareName(Wide(command.to));
            RenameRemote(JoinPath(dir, BareName(Wide(command.from))), JoinPath(dir, newName),
                         ldir.empty() ? LocalFor(JoinPath(dir, newName)) : JoinPath(ldir, newName),
                         false);
        }
    } else {
        Failed(Outcome::Fail(kToolInvalidRequest, "not a transfer command"));
    }
    return itemStatus;
}

int32_t CTransferEngine::Synchronise(TransferDirection direction, std::string_view runItem) {
    item.assign(runItem);
    itemStatus = kToolSuccess;
    TreeEntry folder;
    if (!local.Stat(settings.watchedFolder, folder) || !folder.folder) {
        Failed(Outcome::Fail(kToolInvalidLocalDir,
                             "the local folder " + ToAnsiString(local.NativePath(settings.watchedFolder)) +
                                 " does not exist"));
        return itemStatus;
    }
    Mirror(direction, settings.watchedFolder, settings.remoteDir, Walk::kRecursive, Extras::kRemove,
           direction == TransferDirection::kPut ? kToolInvalidLocalDir : kToolInvalidRemoteDir);
    return itemStatus;
}

std::wstring CTransferEngine::LocalFor(const std::wstring& remotePath) const {
    std::wstring relative;
    if (!RelativeTo(remotePath, settings.remoteDir, relative)) return {};
    return relative == L"/" ? settings.watchedFolder
                            : JoinPath(settings.watchedFolder, relative.substr(1));
}

void CTransferEngine::PutFile(const std::wstring& remoteFolder, const std::wstring& localFolder,
                              const std::wstring& name) {
    SendLocalItem(JoinPath(localFolder, name), JoinPath(remoteFolder, name), false);
}

void CTransferEngine::SendLocalItem(const std::wstring& localPath, const std::wstring& remotePath,
                                    bool onlyWhenDifferent) {
    TreeEntry source;
    if (!local.Stat(localPath, source)) {
        // Gone since the change was seen: whatever removed it sends its own command.
        journal.Action("put", local.NativePath(localPath), remote.Describe(remotePath),
                       "skipped: no longer there");
        return;
    }
    if (source.folder) {
        Mirror(TransferDirection::kPut, localPath, remotePath, Walk::kRecursive, Extras::kRemove,
               kToolSuccess);
        return;
    }
    if (onlyWhenDifferent) {
        TreeEntry target;
        if (remote.Stat(remotePath, target) && !target.folder &&
            SameFile(local, localPath, source, remote, remotePath, target)) {
            return;
        }
    }
    if (!MakeFolders(remote, ParentPath(remotePath))) return;
    TransferFile(TransferDirection::kPut, localPath, remotePath, source);
}

void CTransferEngine::Delete(const std::wstring& remotePath) {
    Outcome outcome = remote.RemoveFile(remotePath);
    if (!outcome) {
        TreeEntry entry;
        const Outcome found = remote.Stat(remotePath, entry);
        if (found.status == kToolRemoteNotFound) {
            journal.Action("delete", L"", remote.Describe(remotePath), "ok: already gone");
            return;
        }
        if (!found) {
            Log("delete", L"", remotePath, found);
            Failed(found);
            return;
        }
        if (entry.folder) {
            RemoveItem(remote, remotePath, true);
            return;
        }
    }
    Log("delete", L"", remotePath, outcome);
    if (!outcome) Failed(outcome);
}

void CTransferEngine::RenameRemote(const std::wstring& from, const std::wstring& to,
                                   const std::wstring& localPath, bool reconcile) {
    bool renamed = false;
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
            } else if (ClearWayTo(to)) {
                outcome = remote.Rename(from, to);
            } else {
                return;
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
        }
    }
    if (localPath.empty() || (renamed && !reconcile)) return;
    SendLocalItem(localPath, to, true);
}

bool CTransferEngine::ClearWayTo(const std::wstring& path) {
    TreeEntry existing;
    if (remote.Stat(path, existing)) return RemoveItem(remote, path, existing.folder);
    return MakeFolders(remote, ParentPath(path));
}

bool CTransferEngine::MakeFolders(CTransferTarget& side, const std::wstring& folder) {
    const bool isRemote = &side == &remote;
    if (folder.empty() || folder == L"/" || (isRemote && knownRemoteFolders.contains(folder))) {
        return true;
    }
    TreeEntry entry;
    Outcome outcome = side.Stat(folder, entry);
    if (outcome && entry.folder) {
        if (isRemote) knownRemoteFolders.insert(folder);
        return true;
    }
    if (outcome.status != kToolRemoteNotFound && !outcome) {
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
    return true;
}

bool CTransferEngine::RemoveItem(CTransferTarget& side, const std::wstring& path, bool folder) {
    const bool isRemote = &side == &remote;
    const std::wstring localText = isRemote ? L"" : path;
    const std::wstring remoteText = isRemote ? path : L"";
    if (!folder) {
        const Outcome outcome = side.RemoveFile(path);
        Log("delete", localText, remoteText, outcome);
        return outcome || Failed(outcome);
    }
    std::vector<TreeEntry> entries;
    Outcome outcome = side.List(path, entries);
    if (outcome.status == kToolInvalidRemoteDir) return true;  // already gone
    if (!outcome) return Failed(outcome);
    for (const TreeEntry& entry : entries) {
        if (!RemoveItem(side, JoinPath(path, entry.name), entry.folder)) return false;
    }
    outcome = side.RemoveFolder(path);
    Log("rmdir", localText, remoteText, outcome);
    if (isRemote) knownRemoteFolders.clear();  // the folders below it went too
    return outcome || Failed(outcome);
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
    return difference < step && difference > -step;
}

bool CTransferEngine::TransferFile(TransferDirection direction, const std::wstring& localPath,
                               const std::wstring& remotePath, TreeEntry& source) {
    if (settings.sizeLimit != 0 && source.size > settings.sizeLimit) {
        skippedForSize = true;
        journal.Action(direction == TransferDirection::kPut ? "put" : "get",
                       local.NativePath(localPath), remote.Describe(remotePath),
                       "skipped: over the size limit");
        return true;
    }
    if (direction == TransferDirection::kPut) {
        const Outcome outcome = remote.Store(local.NativePath(localPath), remotePath, source.modified);
        if (outcome.status == kToolFileNotFound) {
            journal.Action("put", local.NativePath(localPath), remote.Describe(remotePath),
                           "skipped: no longer there");
            return true;
        }
        Log("put", localPath, remotePath, outcome);
        return outcome || Failed(outcome);
    }
    if (!source.exactTime) {
        int64_t exact = 0;
        if (remote.ExactTime(remotePath, exact)) source.modified = exact;
    }
    const std::wstring part = local.PartPath(localPath);
    Outcome outcome = remote.Fetch(remotePath, part);
    if (outcome) outcome = local.Commit(part, localPath, source.modified);
    Log("get", localPath, remotePath, outcome);
    return outcome || Failed(outcome);
}

bool CTransferEngine::Mirror(TransferDirection direction, const std::wstring& localFolder,
                             const std::wstring& remoteFolder, Walk walk, Extras extras,
                             int32_t missingSource) {
    const bool put = direction == TransferDirection::kPut;
    CTransferTarget& sourceSide = put ? static_cast<CTransferTarget&>(local) : remote;
    CTransferTarget& targetSide = put ? remote : static_cast<CTransferTarget&>(local);
    const std::wstring& sourceFolder = put ? localFolder : remoteFolder;
    const std::wstring& targetFolder = put ? remoteFolder : localFolder;

    std::vector<TreeEntry> sourceEntries;
    Outcome outcome = sourceSide.List(sourceFolder, sourceEntries);
    if (outcome.status == kToolInvalidRemoteDir) {
        if (missingSource == kToolSuccess) {
            journal.Action(put ? "put" : "get", local.NativePath(localFolder),
                           remote.Describe(remoteFolder), "skipped: no longer there");
            return true;
        }
        outcome.status = missingSource;
    }
    if (!outcome) return Failed(outcome);

    std::vector<TreeEntry> targetList;
    outcome = targetSide.List(targetFolder, targetList);
    if (outcome.status == kToolInvalidRemoteDir) {
        if (!MakeFolders(targetSide, targetFolder)) return false;
        targetList.clear();
    } else if (!outcome) {
        return Failed(outcome);
    }
    knownRemoteFolders.insert(remoteFolder);
    std::map<std::wstring, TreeEntry> targetEntries;
    for (TreeEntry& entry : targetList) targetEntries.emplace(entry.name, std::move(entry));

    auto ignored = [&](const TreeEntry& entry) {
        return MatchesAnyPattern(entry.folder ? settings.ignoreDir : settings.ignore, entry.name);
    };

    for (TreeEntry& source : sourceEntries) {
        if (ignored(source)) continue;
        const std::wstring localPath = JoinPath(localFolder, source.name);
        const std::wstring remotePath = JoinPath(remoteFolder, source.name);
        const std::wstring& targetPath = put ? remotePath : localPath;
        const std::wstring& sourcePath = put ? localPath : remotePath;
        const auto found = targetEntries.find(source.name);
        TreeEntry* target = found == targetEntries.end() ? nullptr : &found->second;
        if (source.folder) {
            if (walk == Walk::kFilesOnly) continue;
            if (target && !target->folder) {
                if (!RemoveItem(targetSide, targetPath, false)) return false;
                target = nullptr;
            }
            if (!target) {
                outcome = targetSide.MakeFolder(targetPath);
                Log("mkdir", put ? L"" : localPath, put ? remotePath : L"", outcome);
                if (!outcome) {
                    if (!Failed(outcome)) return false;
                    continue;
                }
            }
            if (put) knownRemoteFolders.insert(remotePath);
            if (!Mirror(direction, localPath, remotePath, walk, extras, kToolSuccess)) return false;
            continue;
        }
        if (target && target->folder) {
            if (!RemoveItem(targetSide, targetPath, true)) return false;
            target = nullptr;
        }
        if (target && SameFile(sourceSide, sourcePath, source, targetSide, targetPath, *target)) {
            continue;
        }
        if (!TransferFile(direction, localPath, remotePath, source)) return false;
    }

    if (extras == Extras::kRemove) {
        std::map<std::wstring, bool> sourceNames;
        for (const TreeEntry& source : sourceEntries) sourceNames.emplace(source.name, source.folder);
        for (const auto& [name, target] : targetEntries) {
            // What plftp would not send is never removed either.
            const bool overLimit =
                !target.folder && settings.sizeLimit != 0 && target.size > settings.sizeLimit;
            if (ignored(target) || overLimit || sourceNames.contains(name)) continue;
            if (walk == Walk::kFilesOnly && target.folder) continue;  // files only
            if (!RemoveItem(targetSide, JoinPath(targetFolder, name), target.folder)) return false;
        }
    }
    return true;
}
