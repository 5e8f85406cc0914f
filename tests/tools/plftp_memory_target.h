// An in-memory file system and a transfer target on it: plftp's engine runs on two of these in
// the native tests, with the faults a real target shows (unreadable folders, cut or failed
// transfers, failing renames, links, names it cannot keep) switched on per path.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/name_case.h"
#include "base/text_conversion.h"
#include "tools/plftp/transfer_engine.h"
#include "tools/plftp/path_guard.h"
#include "tools/plftp/path_text.h"
#include "tools/plftp/transfer_target.h"

// A UTF-16 unit in UTF-8 (a surrogate half on its own, as the trees never hold one).
inline void AppendUtf8(std::string& out, wchar_t unit) {
    const auto c = static_cast<uint32_t>(unit) & 0xFFFF;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Full paths in path form ("C:/W/a.txt", "R:/dir/x"); a link holds the full path of the folder it
// points to, and every path through it reaches that folder, as on Windows.
class MemoryDisk {
public:
    struct Node {
        std::wstring path;  // as created, case kept
        bool folder = false;
        std::wstring linkTo;  // a link to a folder when not empty
        std::string data;
        int64_t modified = 0;
    };

    explicit MemoryDisk(bool caseSensitive = false) : caseSensitive(caseSensitive) {}

    std::wstring Key(std::wstring path) const { return caseSensitive ? path : NameCaseKey(path); }
    // The path with every link among its folders (not its last component) followed, from the
    // left: the part a link leads to is taken as it stands. Only the links are tried at each step,
    // so a deep path costs its length times the number of links, not its depth times its length.
    std::wstring Resolve(const std::wstring& path) const {
        std::vector<std::pair<const std::wstring*, const Node*>> links;
        for (const auto& [key, node] : nodes) {
            if (!node.linkTo.empty()) links.emplace_back(&key, &node);
        }
        std::wstring done = path;
        for (std::size_t resolved = 0;;) {
            const std::wstring key = Key(done);
            const Node* first = nullptr;
            std::size_t firstLength = 0;
            for (const auto& [linkKey, node] : links) {
                const std::size_t length = linkKey->size();
                if (length > resolved && length < key.size() && key[length] == L'/' &&
                    key.starts_with(*linkKey) && (!first || length < firstLength)) {
                    first = node;
                    firstLength = length;
                }
            }
            if (!first) return done;
            done = first->linkTo + done.substr(firstLength);
            resolved = first->linkTo.size();
        }
    }
    Node* Find(const std::wstring& path) {
        const auto node = nodes.find(Key(Resolve(path)));
        return node == nodes.end() ? nullptr : &node->second;
    }
    // With the folders above it.
    Node& Add(const std::wstring& path, Node node) {
        const std::wstring parent = ParentPath(path);
        if (parent.find(L'/') != std::wstring::npos && parent != L"/" && !Find(parent))
            AddFolder(parent);
        if (Node* old = Find(path)) node.path = old->path;
        return nodes[Key(node.path)] = std::move(node);
    }
    void AddFolder(const std::wstring& path) {
        if (!Find(path)) Add(path, Node{Resolve(path), true, L"", "", 0});
    }
    void AddFile(const std::wstring& path, const std::string& data, int64_t modified = 1) {
        Add(path, Node{Resolve(path), false, L"", data, modified});
    }
    void AddLink(const std::wstring& path, const std::wstring& to) {
        Add(path, Node{Resolve(path), true, to, "", 0});
    }
    std::vector<Node*> Children(const std::wstring& folder) {
        std::vector<Node*> children;
        const std::wstring prefix = Key(folder) + L"/";
        for (auto& [key, node] : nodes) {
            if (key.starts_with(prefix) && key.find(L'/', prefix.size()) == std::wstring::npos)
                children.push_back(&node);
        }
        return children;
    }
    // "a/b=data" files, "a/" folders and "a@" links below `folder`, sorted, ";"-separated;
    // names in UTF-8.
    std::string Tree(const std::wstring& folder) const {
        std::string tree;
        const std::wstring prefix = Key(folder) + L"/";
        for (const auto& [key, node] : nodes) {
            if (!key.starts_with(prefix)) continue;
            tree += tree.empty() ? "" : ";";
            for (wchar_t c : node.path.substr(prefix.size())) AppendUtf8(tree, c);
            tree += !node.linkTo.empty() ? "@" : node.folder ? "/" : "=" + node.data;
        }
        return tree;
    }

    bool caseSensitive;
    std::map<std::wstring, Node> nodes;
};

// Faults, by full path on the disk.
struct MemoryFaults {
    std::set<std::wstring> unreadable;       // List fails with kToolReadError
    std::set<std::wstring> cutTransfers;     // Store or Fetch writes a third and calls it done
    std::set<std::wstring> failedTransfers;  // Store or Fetch fails with kToolReadError
    std::set<std::wstring> failedPlaces;     // PlaceFile fails
};

class MemoryTarget final : public CLocalFolderTarget {
public:
    // `root` in front of every path ("" for the watched side); `peer` is the disk the other side's
    // native paths name, for Store and Fetch.
    MemoryTarget(MemoryDisk& disk, std::wstring root, MemoryDisk* peer = nullptr)
        : disk(disk), root(std::move(root)), peer(peer ? peer : &disk) {}

    MemoryFaults faults;
    bool serverNames = false;  // a Unix server: any name but "/" and "." ".." can be kept
    bool ansiNames = false;    // names on this side are in the ANSI code page
    int64_t timeStep = 1;      // of the times kept here
    int64_t clock = 0;         // Now(); 0 keeps every time as it is

    int64_t TimeStep() const override { return timeStep; }
    int64_t Now() const override { return clock; }
    std::wstring StoredName(const std::wstring& path) const override {
        const auto held = Hold();
        const MemoryDisk::Node* node = disk.Find(NativePath(path));
        return node ? LeafName(node->path) : std::wstring();
    }

    std::wstring NativePath(const std::wstring& path) const override {
        return root.empty() || path != L"/" ? root + path : root;
    }
    Outcome List(const std::wstring& folder, std::vector<TreeEntry>& entries) override {
        const auto held = Hold();
        entries.clear();
        const std::wstring native = disk.Resolve(NativePath(folder));
        if (faults.unreadable.contains(native)) return Outcome::Fail(kToolReadError, "unreadable");
        MemoryDisk::Node* node = disk.Find(native);
        if (node && !node->linkTo.empty()) node = disk.Find(node->linkTo);
        if (!node || !node->folder) return Outcome::Fail(kToolInvalidRemoteDir, "no folder");
        for (MemoryDisk::Node* child : disk.Children(node->path)) entries.push_back(Entry(*child));
        return Outcome::Ok();
    }
    Outcome Stat(const std::wstring& path, TreeEntry& entry) override {
        const auto held = Hold();
        MemoryDisk::Node* node = disk.Find(NativePath(path));
        if (!node) return Outcome::Fail(kToolRemoteNotFound, "not there");
        entry = Entry(*node);
        return Outcome::Ok();
    }
    Outcome ExactTime(const std::wstring& path, int64_t& modified) override {
        TreeEntry entry;
        Outcome outcome = Stat(path, entry);
        modified = entry.modified;
        return outcome;
    }
    bool CaseSensitive() const override { return disk.caseSensitive; }
    std::string CannotHold(const std::wstring& name) const override {
        if (ansiNames && !FitsAnsiCodePage(name)) return "not in the code page";
        if (!serverNames) return UnsafeNameReason(name);
        return name.empty() || name == L"." || name == L".." || name.find(L'/') != name.npos
                   ? "no name"
                   : "";
    }
    std::wstring LocalFolder(const std::wstring& path) const override {
        return CanonicalPath(NativePath(path));
    }
    Outcome MakeFolder(const std::wstring& folder) override {
        const auto held = Hold();
        MemoryDisk::Node* node = disk.Find(NativePath(folder));
        if (node && node->folder) return Outcome::Ok();
        if (node || !disk.Find(ParentPath(NativePath(folder))))
            return Outcome::Fail(kToolWriteError, "cannot make the folder");
        disk.AddFolder(NativePath(folder));
        return Outcome::Ok();
    }
    Outcome Store(const std::wstring& localFile, const std::wstring& partPath,
                  TreeEntry& written) override {
        const auto held = Hold();
        MemoryDisk::Node* source = peer->Find(localFile);
        if (!source) return Outcome::Fail(kToolFileNotFound, "gone");
        Outcome outcome = Copy(*source, NativePath(partPath), disk);
        return outcome ? Stat(partPath, written) : outcome;
    }
    Outcome Fetch(const std::wstring& path, const std::wstring& localFile) override {
        const auto held = Hold();
        MemoryDisk::Node* source = disk.Find(NativePath(path));
        if (!source || source->folder) return Outcome::Fail(kToolRemoteNotFound, "not there");
        return Copy(*source, localFile, *peer);
    }
    Outcome PlaceFile(const std::wstring& partPath, const std::wstring& path,
                      int64_t modified) override {
        const auto held = Hold();
        MemoryDisk::Node* part = disk.Find(NativePath(partPath));
        if (!part || faults.failedPlaces.contains(disk.Resolve(NativePath(path))))
            return Outcome::Fail(kToolRenameError, "cannot rename into place");
        const MemoryDisk::Node node = *part;
        disk.nodes.erase(disk.Key(node.path));
        disk.AddFile(NativePath(path), node.data, modified != 0 ? modified : node.modified);
        return Outcome::Ok();
    }
    Outcome RemoveFile(const std::wstring& path) override {
        const auto held = Hold();
        MemoryDisk::Node* node = disk.Find(NativePath(path));
        if (!node || node->folder) return Outcome::Fail(kToolRemoveError, "no file");
        disk.nodes.erase(disk.Key(node->path));
        return Outcome::Ok();
    }
    Outcome RemoveFolder(const std::wstring& folder) override {
        const auto held = Hold();
        MemoryDisk::Node* node = disk.Find(NativePath(folder));
        if (!node || !node->folder || (node->linkTo.empty() && !disk.Children(node->path).empty()))
            return Outcome::Fail(kToolRemoveError, "no empty folder");
        disk.nodes.erase(disk.Key(node->path));
        return Outcome::Ok();
    }
    Outcome Rename(const std::wstring& from, const std::wstring& to) override {
        const auto held = Hold();
        MemoryDisk::Node* node = disk.Find(NativePath(from));
        MemoryDisk::Node* there = disk.Find(NativePath(to));
        const MemoryDisk::Node* parent = disk.Find(ParentPath(NativePath(to)));
        if (!node || (there && there != node) || !parent || !parent->folder)
            return Outcome::Fail(kToolRenameError, "cannot");
        const std::wstring oldPath = node->path, oldKey = disk.Key(oldPath);
        const std::wstring newPath = disk.Resolve(NativePath(to));
        std::vector<MemoryDisk::Node> moved;
        for (auto it = disk.nodes.begin(); it != disk.nodes.end();) {
            if (it->first != oldKey && !it->first.starts_with(oldKey + L"/")) {
                ++it;
                continue;
            }
            moved.push_back(it->second);
            moved.back().path = newPath + moved.back().path.substr(oldPath.size());
            it = disk.nodes.erase(it);
        }
        for (MemoryDisk::Node& n : moved) disk.nodes[disk.Key(n.path)] = n;
        return Outcome::Ok();
    }
    std::wstring Describe(const std::wstring& path) const override { return NativePath(path); }

private:
    // One call at a time on all disks: the engine's thread and a pool's workers share them.
    static std::unique_lock<std::recursive_mutex> Hold() {
        static std::recursive_mutex calls;
        return std::unique_lock(calls);
    }
    static TreeEntry Entry(const MemoryDisk::Node& node) {
        return TreeEntry{LeafName(node.path), node.folder,   !node.linkTo.empty(),
                         node.data.size(),    node.modified, true};
    }
    // A transfer of `source` to `to` on `toDisk`, with the faults set for the source's path.
    Outcome Copy(const MemoryDisk::Node& source, const std::wstring& to, MemoryDisk& toDisk) {
        if (faults.failedTransfers.contains(source.path))
            return Outcome::Fail(kToolReadError, "transfer failed");
        MemoryDisk::Node* folder = toDisk.Find(ParentPath(to));
        if (!folder || !folder->folder || LeafName(to).size() > 255)
            return Outcome::Fail(kToolWriteError, "cannot write");
        std::string data = source.data;
        if (faults.cutTransfers.contains(source.path)) data.resize(data.size() / 3);
        toDisk.AddFile(to, data, source.modified);
        return Outcome::Ok();
    }

    MemoryDisk& disk;
    std::wstring root;
    MemoryDisk* peer;
};

class RecordingJournal final : public CRunJournal {
public:
    void Action(std::string_view action, const std::wstring& localPath,
                const std::wstring& remotePath, std::string_view result) override {
        log += std::string(action) + " " + ToAnsiString(localPath) + " " +
               ToAnsiString(remotePath) + " " + std::string(result) + "\n";
    }
    void Failure(std::string_view item, std::string_view reason) override {
        failures += std::string(item) + ": " + std::string(reason) + "\n";
    }
    std::string log, failures;
};

// ";"-separated: "a/" a folder, "a=data" a file, "a@C:/X" a link to the folder C:/X, "-a" a
// path removed with all below it.
inline void Fill(MemoryDisk& disk, const std::wstring& root, const std::wstring& layout) {
    for (std::size_t at = 0, end; at < layout.size(); at = end + 1) {
        end = std::min(layout.find(L';', at), layout.size());
        const std::wstring item = layout.substr(at, end - at);
        const std::size_t eq = item.find(L'='), link = item.find(L'@');
        if (item.starts_with(L'-')) {
            const std::wstring key = disk.Key(root + L"/" + CanonicalPath(item.substr(1)));
            std::erase_if(disk.nodes, [&](const auto& node) {
                return node.first == key || node.first.starts_with(key + L"/");
            });
        } else if (link < eq) {
            disk.AddLink(root + L"/" + item.substr(0, link), item.substr(link + 1));
        } else if (eq != std::wstring::npos) {
            // "a=data~7": written at time 7 (else 1).
            const std::size_t tilde = item.find(L'~', eq);
            const int64_t time =
                tilde == std::wstring::npos ? 1 : std::stoll(item.substr(tilde + 1));
            disk.AddFile(root + L"/" + item.substr(0, eq),
                         ToAnsiString(item.substr(eq + 1, tilde - eq - 1)), time);
        } else if (!item.empty()) {
            disk.AddFolder(root + L"/" + CanonicalPath(item));
        }
    }
}

// `settings` with the transfers on `connections` connections of their own (copies of `remote`,
// with its faults), as plftp's FTP target has them; 1 keeps them on the engine's own.
inline EngineSettings Pooled(EngineSettings settings, MemoryTarget& remote,
                             std::size_t connections) {
    if (connections > 1) {
        settings.connections = connections;
        settings.connect = [&remote](Outcome&) { return std::make_unique<MemoryTarget>(remote); };
    }
    return settings;
}
