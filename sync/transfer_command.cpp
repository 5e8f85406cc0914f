#include "sync/transfer_command.h"

#include <initializer_list>

#include "base/text_conversion.h"
#include "base/watcher_state.h"

namespace {

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// Concatenates the pieces into `out` when the whole fits; never cuts.
bool Join(CommandText& out, std::initializer_list<std::string_view> pieces) {
    std::size_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    out.Clear();
    if (total > kMaxCommandBytes) return false;
    for (std::string_view piece : pieces) out.Append(piece);
    return true;
}

template <std::size_t N>
void AssignAnsiCut(BoundedText<N>& field, std::string_view ansi) {
    field.Assign(ansi.substr(0, AnsiPrefixLength(ansi, N - 1)));
}

enum Field { kCmd, kDir, kLdir, kFilename, kFrom, kTo, kSync, kSub, kFieldCount };

template <class CharT>
int FieldOf(std::basic_string_view<CharT> name) {
    static constexpr const char* kNames[kFieldCount] = {"-cmd",  "-dir", "-ldir", "-filename",
                                                        "-from", "-to",  "-sync", "-sub"};
    for (int f = 0; f < kFieldCount; ++f) {
        const std::string_view wanted = kNames[f];
        if (name.size() != wanted.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < wanted.size() && same; ++i) {
            same = name[i] == static_cast<CharT>(wanted[i]);
        }
        if (same) return f;
    }
    return -1;
}

// Splits at "|" and "="; the later of two values of one name wins.
template <class CharT>
void SplitFields(std::basic_string_view<CharT> line,
                 std::basic_string_view<CharT> (&values)[kFieldCount]) {
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t end = line.find(CharT('|'), start);
        if (end == std::basic_string_view<CharT>::npos) end = line.size();
        const auto piece = line.substr(start, end - start);
        start = end + 1;
        const std::size_t eq = piece.find(CharT('='));
        if (piece.empty() || eq == std::basic_string_view<CharT>::npos) continue;
        const int field = FieldOf(piece.substr(0, eq));
        if (field >= 0) values[field] = piece.substr(eq + 1);
    }
}

// Field limits in characters of the UTF-16 form; 0: only the byte limit.
constexpr std::size_t kCharLimit[kFieldCount] = {15, 0, 0, 0, 0, 0, 1, 1};

template <std::size_t N>
void StoreField(BoundedText<N>& field, std::wstring_view value, std::size_t charLimit) {
    if (charLimit != 0) value = value.substr(0, charLimit);
    AssignAnsiCut(field, ToAnsiString(value));
}

template <class Fn>
void ForEachField(TransferCommand& c, Fn&& fn) {
    fn(c.cmd, kCmd);
    fn(c.dir, kDir);
    fn(c.ldir, kLdir);
    fn(c.filename, kFilename);
    fn(c.from, kFrom);
    fn(c.to, kTo);
    fn(c.sync, kSync);
    fn(c.sub, kSub);
}

std::wstring CutAtLastSeparator(std::wstring text, bool slashToo, bool& found) {
    std::size_t pos = text.rfind(L'\\');
    if (slashToo) {
        const std::size_t slash = text.rfind(L'/');
        if (slash != std::wstring::npos && (pos == std::wstring::npos || slash > pos)) pos = slash;
    }
    found = pos != std::wstring::npos;
    return found ? text.substr(0, pos) : std::wstring();
}

// "C:\W\a\b\" becomes "C:\W\a\" (and "/a/b/" becomes "/a/"); false at the top.
bool CutLastFolder(std::string& path) {
    std::wstring wide = ToWideString(path);
    if (!wide.empty()) wide.pop_back();
    bool found = false;
    const std::wstring parent = CutAtLastSeparator(wide, true, found);
    if (!found) return false;
    path = ToAnsiString(parent) + ToAnsiString(std::wstring_view(wide).substr(parent.size(), 1));
    return true;
}

bool Is1(const BoundedText<2>& field) { return field.Str() == "1"; }

// Whether `p` is a rename in `dir` to `name`, or a move to that path.
bool RenamesInto(const TransferCommand& p, const BoundedText<512>& dir,
                 const BoundedText<512>& name) {
    if (p.dir.Empty()) return p.to.Str() == std::string(dir.Str()) + std::string(name.Str());
    return p.dir.Str() == dir.Str() && p.to.Str() == name.Str();
}

// A recursive synchronising send of the folder `dir`.
bool IsTreeSendOf(const TransferCommand& p, const BoundedText<512>& dir) {
    return p.cmd.Str() == "put" && p.dir.Str() == dir.Str() && p.filename.Empty() && Is1(p.sync) &&
           Is1(p.sub);
}

}  // namespace

TransferCommand ParseCommand(std::string_view line) {
    line = line.substr(0, AnsiPrefixLength(line, kMaxCommandBytes));
    TransferCommand command;
    if (IsAscii(line)) {
        // ASCII bytes are single characters in every ANSI code page: the
        // UTF-16 round trip would change nothing.
        std::string_view values[kFieldCount];
        SplitFields(line, values);
        ForEachField(command, [&](auto& field, int f) { field.Assign(values[f]); });
        return command;
    }
    const std::wstring wide = ToWideString(line);
    std::wstring_view values[kFieldCount];
    SplitFields(std::wstring_view(wide), values);
    ForEachField(command, [&](auto& field, int f) { StoreField(field, values[f], kCharLimit[f]); });
    return command;
}

bool ComposePutFile(CommandText& out, std::string_view dir, std::string_view ldir,
                    std::string_view filename) {
    return Join(out, {"-cmd=put|-dir=", dir, "|-ldir=", ldir, "|-filename=", filename, "|"});
}

bool ComposeDelFile(CommandText& out, std::string_view dir, std::string_view ldir,
                    std::string_view filename) {
    return Join(out, {"-cmd=del|-dir=", dir, "|-ldir=", ldir, "|-filename=", filename, "|"});
}

bool ComposeRenameItem(CommandText& out, std::string_view dir, std::string_view ldir,
                       std::string_view oldName, std::string_view newName) {
    return Join(out,
                {"-cmd=rn|-dir=", dir, "|-ldir=", ldir, "|-from=", oldName, "|-to=", newName, "|"});
}

bool ComposePutTree(CommandText& out, std::string_view dir, std::string_view ldir) {
    return Join(out, {"-cmd=put|-dir=", dir, "|-ldir=", ldir, "|-sync=1|-sub=1|"});
}

bool ComposeDelTree(CommandText& out, std::string_view dir, std::string_view ldir) {
    return Join(out, {"-cmd=del|-dir=", dir, "|-ldir=", ldir, "|-sub=1|"});
}

bool ComposePutFolder(CommandText& out, std::string_view dir, std::string_view ldir) {
    return Join(out, {"-cmd=put|-dir=", dir, "|-ldir=", ldir, "|"});
}

bool ComposePutFolderSub(CommandText& out, std::string_view dir, std::string_view ldir) {
    return Join(out, {"-cmd=put|-dir=", dir, "|-ldir=", ldir, "|-sub=1|"});
}

bool ComposeDelName(CommandText& out, std::string_view dir, std::string_view filename) {
    return Join(out, {"-cmd=del|-dir=", dir, "|-filename=", filename, "|"});
}

bool ComposeMove(CommandText& out, std::string_view fromPath, std::string_view toPath) {
    return Join(out, {"-cmd=rn|-dir=|-from=", fromPath, "|-to=", toPath, "|"});
}

bool ComposeRenameFolderText(CommandText& out, std::string_view oldPath, std::string_view newPath,
                             std::string_view ldir, const RenameFolderContext& context) {
    std::wstring oldWide = ToWideString(oldPath);
    std::wstring newWide = ToWideString(newPath);
    if (!oldWide.empty()) oldWide.pop_back();
    if (!newWide.empty()) newWide.pop_back();
    bool found = false;
    const std::wstring parentWide = CutAtLastSeparator(oldWide, false, found);
    const std::string oldName =
        ToAnsiString(found ? std::wstring_view(oldWide).substr(parentWide.size() + 1) : oldWide);
    const std::wstring newParent = CutAtLastSeparator(newWide, false, found);
    const std::string newName =
        ToAnsiString(found ? std::wstring_view(newWide).substr(newParent.size() + 1) : newWide);

    const std::string parent = ToAnsiString(parentWide);
    const bool below = parent.size() > context.watchedPath.size();
    std::string relative;
    if (below) {
        relative = parent.substr(context.watchedPath.size() + 1);
        if (context.smbMode == 0) {
            std::wstring wide = ToWideString(relative);
            for (wchar_t& ch : wide) {
                if (ch == L'\\') ch = L'/';
            }
            relative = ToAnsiString(wide);
        }
    }
    const std::string_view remote = context.remoteDir;
    if (context.smbMode != 0) {
        if (!below) {
            return Join(out, {"-cmd=rn|-dir=", remote, "\\|-ldir=", ldir, "|-from=\\", oldName,
                              "\\|-to=\\", newName, "\\|"});
        }
        return Join(out, {"-cmd=rn|-dir=", remote, "\\", relative, "\\|-ldir=", ldir, "|-from=\\",
                          oldName, "\\|-to=\\", newName, "\\|"});
    }
    if (!below) {
        if (remote == "/") {
            return Join(out,
                        {"-cmd=rn|-dir=/|-ldir=", ldir, "|-from=", oldName, "|-to=", newName, "|"});
        }
        return Join(out, {"-cmd=rn|-dir=", remote, "/|-ldir=", ldir, "|-from=", oldName,
                          "|-to=", newName, "|"});
    }
    if (remote == "/") {
        return Join(out, {"-cmd=rn|-dir=/", relative, "/|-ldir=", ldir, "|-from=", oldName,
                          "|-to=", newName, "|"});
    }
    return Join(out, {"-cmd=rn|-dir=", remote, "/", relative, "/|-ldir=", ldir, "|-from=", oldName,
                      "|-to=", newName, "|"});
}

bool ComposeRenameFolder(const char* oldPath, const char* newPath, const char* ldir) {
    WatcherState& state = State();
    const RenameFolderContext context{state.watchedPath.Str(), state.remoteDir.Str(),
                                      state.smbMode};
    CommandText text;
    const bool fits = ComposeRenameFolderText(text, oldPath ? oldPath : "", newPath ? newPath : "",
                                              ldir ? ldir : "", context);
    state.newCommand.Assign(text.Str());
    return fits;
}

bool ComposeEnclosingPutTree(CommandText& out, std::string_view dir, std::string_view ldir,
                             std::string_view watchedLdir) {
    std::string folderDir(dir);
    std::string folderLdir(ldir);
    for (;;) {
        if (ComposePutTree(out, folderDir, folderLdir)) return true;
        if (folderLdir.size() <= watchedLdir.size()) return false;
        if (!CutLastFolder(folderDir) || !CutLastFolder(folderLdir)) return false;
    }
}

std::string_view LastComponent(std::string_view text) {
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    const std::size_t slash = text.rfind('/');
    return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

std::string DropLastCharacter(std::string_view text) {
    if (text.empty()) return std::string();
    if (IsAscii(text)) return std::string(text.substr(0, text.size() - 1));
    std::wstring wide = ToWideString(text);
    wide.pop_back();
    return ToAnsiString(wide);
}

bool RepeatsOnlyAsLast(std::string_view command) {
    const TransferCommand parsed = ParseCommand(command);
    return parsed.cmd.Str() == "rn" || (parsed.cmd.Str() == "put" && parsed.filename.Empty());
}

bool SplitRemotePath(std::string_view path, std::string& folder, std::string& name) {
    const std::wstring wide = ToWideString(path);
    const std::size_t at = wide.find_last_of(L"\\/");
    if (at == std::wstring::npos || at + 1 == wide.size()) return false;
    folder = ToAnsiString(std::wstring_view(wide).substr(0, at + 1));
    name = ToAnsiString(std::wstring_view(wide).substr(at + 1));
    return true;
}

namespace {

bool EndsWithSeparator(std::string_view text) {
    if (text.empty()) return false;
    const std::wstring wide = ToWideString(text);
    return !wide.empty() && (wide.back() == L'/' || wide.back() == L'\\');
}

// A folder name as a rename gives it ("old", or "\old\" in SMB mode) without
// its backslashes at either end.
std::string BareFolderName(std::string_view name) {
    std::wstring wide = ToWideString(name);
    while (!wide.empty() && wide.back() == L'\\') wide.pop_back();
    std::size_t start = 0;
    while (start < wide.size() && wide[start] == L'\\') ++start;
    return ToAnsiString(std::wstring_view(wide).substr(start));
}

}  // namespace

bool FolderRenamePaths(const TransferCommand& added, std::string& oldFolder,
                       std::string& newFolder) {
    if (added.dir.Empty()) {
        oldFolder.assign(added.from.Str());
        newFolder.assign(added.to.Str());
    } else {
        if (!EndsWithSeparator(added.dir)) return false;
        const std::wstring dir = ToWideString(added.dir);
        const std::string separator = ToAnsiString(std::wstring_view(dir).substr(dir.size() - 1));
        const std::string oldName = BareFolderName(added.from);
        const std::string newName = BareFolderName(added.to);
        if (oldName.empty() || newName.empty()) return false;
        oldFolder = std::string(added.dir.Str()) + oldName + separator;
        newFolder = std::string(added.dir.Str()) + newName + separator;
    }
    return EndsWithSeparator(oldFolder) && EndsWithSeparator(newFolder);
}

CoalesceOutcome DecideCoalesce(int32_t eventCode, const TransferCommand& p,
                               const TransferCommand& n, int32_t smbMode) {
    CoalesceOutcome out;
    const auto dropPending = [&](CoalesceRule rule) {
        out.rule = rule;
        out.dropPending = true;
    };
    const auto dropNew = [&](CoalesceRule rule) {
        out.rule = rule;
        out.newEffect = NewCommandEffect::kDrop;
    };
    const std::string_view cmd = p.cmd.Str();
    switch (eventCode) {
        // A deletion stays even when the put or rename it follows is dropped: the remote side
        // may have the file already. A folder-wide send whose batch went before the file's
        // command was added reads the folder as it is when it runs, and puts what it finds.
        case kEventDelete:
            if (cmd == "put" && p.dir.Str() == n.dir.Str() &&
                p.filename.Str() == n.filename.Str()) {
                dropPending(CoalesceRule::kDeleteDropsPut);
            } else if (cmd == "rn" && p.dir.Str() == n.dir.Str() &&
                       p.to.Str() == n.filename.Str() &&
                       ComposeDelName(out.pendingText, n.dir, p.from)) {
                out.rule = CoalesceRule::kDeleteFollowsRename;
                out.pendingBecomes = true;
            } else if (cmd == "del" && p.dir.Str() == n.dir.Str() && Is1(p.sub)) {
                dropNew(CoalesceRule::kDeleteUnderTreeDelete);
            }
            break;
        case kEventCreate:
            if (smbMode == 0 && cmd == "del" && p.filename.Str() == n.filename.Str() &&
                ComposeMove(out.newText, std::string(p.dir.Str()) + std::string(n.filename.Str()),
                            std::string(n.dir.Str()) + std::string(n.filename.Str()))) {
                dropPending(CoalesceRule::kCreateAfterDelete);
                out.newEffect = NewCommandEffect::kBecome;
            } else if (IsTreeSendOf(p, n.dir)) {
                // Only a recursive send, of a folder made or moved in, covers a new file: a
                // send of a folder's own files compares sizes and times, and at FTP's one
                // second a file made again at the same size looks unchanged. A file command
                // sends whatever the times say.
                dropNew(CoalesceRule::kCreateUnderFolderSend);
            }
            break;
        case kEventRenameItem:
            if (n.dir.Empty()) {
                // A move to another folder: the move itself sends the file
                // when the remote side does not have it under its old path.
                std::string folder, name;
                if (cmd == "put" && SplitRemotePath(n.from, folder, name) &&
                    p.dir.Str() == folder && p.filename.Str() == name) {
                    dropPending(CoalesceRule::kMoveDropsPut);
                }
            } else if (cmd == "put" && p.filename.Str() == n.from.Str() &&
                       p.dir.Str() == n.dir.Str() &&
                       ComposePutFile(out.pendingText, p.dir, p.ldir, n.to) &&
                       ComposeDelFile(out.newText, n.dir, p.ldir, n.from)) {
                // The put goes under the new name; the old name is deleted, in case a
                // folder-wide send has put the file there (see the deletion above).
                out.rule = CoalesceRule::kRenameCarriesPut;
                out.pendingBecomes = true;
                out.newEffect = NewCommandEffect::kBecome;
            } else if (IsTreeSendOf(p, n.dir)) {
                dropNew(CoalesceRule::kRenameUnderFolderSend);
            } else if (cmd == "rn" && RenamesInto(p, n.dir, n.from)) {
                // The folder send runs first; this rename or move then brings the old name back
                // on the remote side, and only the new rename takes it away (a file moved into a
                // new folder and renamed there at once; command_coalescing_test).
                out.rule = CoalesceRule::kRenameOfRenamedStays;
                out.newEffect = NewCommandEffect::kStay;
            }
            break;
        case kEventMkDir:
            if (cmd == "del" && Is1(p.sub) && LastComponent(p.dir) == LastComponent(n.dir) &&
                ComposeMove(out.newText, p.dir, n.dir)) {
                dropPending(CoalesceRule::kFolderAfterTreeDelete);
                out.newEffect = NewCommandEffect::kBecome;
            } else if (Is1(p.sync) && Is1(p.sub) &&
                       n.ldir.Str().find(p.ldir.Str()) != std::string_view::npos &&
                       n.dir.Str().find(p.dir.Str()) != std::string_view::npos) {
                dropNew(CoalesceRule::kFolderUnderTreeSend);
            }
            break;
        case kEventRmDir:
            // The folder may have been on the remote side before the put:
            // its deletion is kept whatever was pending in it.
            if (cmd == "put" && p.dir.Str() == n.dir.Str()) {
                dropPending(CoalesceRule::kTreeDeleteDropsPut);
            } else if (cmd == "del" && p.dir.Str() == n.dir.Str()) {
                dropPending(CoalesceRule::kTreeDeleteDropsDelete);
            }
            break;
        case kEventUpdateDir:
            // A folder-wide send replaces an earlier one of the folder; the file commands
            // stay and run before it (see the creation above).
            if (cmd == "put" && p.dir.Str() == n.dir.Str() && p.filename.Empty())
                dropPending(CoalesceRule::kFolderSendReplaces);
            break;
        case kEventRenameFolder: {
            // Pending puts below the old folder name local items that are gone:
            // sent now they would be skipped, and a plain rename would leave
            // their changes out. The move renames the remote folder and then
            // makes it equal to the local one, which covers them. The other
            // commands there stay and run first, under the names the remote
            // side still has: the move makes the folder equal only while the
            // folder is there under its new name, and one renamed again before
            // the tool runs is left to a plain rename, which removes only what
            // the tool's record says it put there.
            std::string oldFolder, newFolder;
            if (!FolderRenamePaths(n, oldFolder, newFolder)) break;
            const auto inside = [&](const auto& field) {
                return field.Str().starts_with(std::string_view(oldFolder));
            };
            const bool isMove = cmd == "rn" && p.dir.Empty();
            const bool dirInside = !p.dir.Empty() && inside(p.dir);
            const bool fromInside = isMove && inside(p.from);
            const bool toInside = isMove && inside(p.to);
            if ((dirInside || fromInside || toInside) &&
                ComposeMove(out.newText, oldFolder, newFolder)) {
                out.rule = CoalesceRule::kFolderMoveTakesPending;
                out.newEffect = NewCommandEffect::kBecome;
                out.dropPending = cmd == "put" && dirInside;
            }
            break;
        }
        default:
            break;
    }
    return out;
}
