// An in-memory file system and a transfer target on it: plftp's engine runs on two of these in
// the native tests, with the faults a real target shows (unreadable folders, cut transfers,
// failing renames, links, names it cannot keep) switched on per path.
#pragma once

#include <cstdint>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/plftp/path_guard.h"
#include "tools/plftp/path_text.h"
#include "tools/plftp/transfer_target.h"

// Paths are full paths in path form ("C:/W/a.txt", "R:/dir/x"); a link holds the full path of
// the folder it points to, and every operation through it reaches that folder, as Windows does.
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

    std::wstring Key(const std::wstring& path) const {
        if (caseSensitive) return path;
        std::wstring key = path;
        for (wchar_t& c : key) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        return key;
    }
    // The path with every link among its folders (not the last component) followed.
    std::wstring Resolve(const std::wstring& path) const {
        std::wstring done;
        std::size_t at = 0;
        while (at < path.size()) {
            std::size_t slash = path.find(L'/', at + 1);
            if (slash == std::wstring::npos) slash = path.size();
            done += path.substr(at, slash - at);
            if (slash < path.size()) {
                const auto node = nodes.find(Key(done));
                if (node != nodes.end() && !node->second.linkTo.empty()) done = node->second.linkTo;
            }
            at = slash;
        }
        return done;
    }
    Node* Find(const std::wstring& path) {
        const auto node = nodes.find(Key(Resolve(path)));
        return node == nodes.end() ? nullptr : &node->second;
    }
    // Makes the folders above as well.
    void AddFolder(const std::wstring& path) {
        const std::wstring parent = ParentPath(path);
        if (!parent.empty() && parent != L"/" && parent.find(L'/') != std::wstring::npos &&
            !Find(parent)) {
            AddFolder(parent);
        }
        if (!Find(path)) nodes[Key(Resolve(path))] = Node{Resolve(path), true, L"", "", 0};
    }
    void AddFile(const std::wstring& path, const std::string& data, int64_t modified = 1) {
        AddFolder(ParentPath(path));
        Node node{Resolve(path), false, L"", data, modified};
        if (Node* old = Find(path)) node.path = old->path;
        nodes[Key(Resolve(path))] = node;
    }
    void AddLink(const std::wstring& path, const std::wstring& to) {
        AddFolder(ParentPath(path));
        nodes[Key(Resolve(path))] = Node{Resolve(path), true, to, "", 0};
    }
    // The children of a folder (links not followed here).
    std::vector<Node*> Children(const std::wstring& folder) {
        std::vector<Node*> children;
        const std::wstring prefix = Key(folder) + L"/";
        for (auto& [key, node] : nodes) {
            if (key.starts_with(prefix) && key.find(L'/', prefix.size()) == std::wstring::npos) {
                children.push_back(&node);
            }
        }
        return children;
    }
    // "a/b=data" files and "a/" folders ("a@" links) below `folder`, sorted, ";"-separated.
    std::string Tree(const std::wstring& folder) const {
        std::string tree;
        const std::wstring prefix = Key(folder) + L"/";
        for (const auto& [key, node] : nodes) {
            if (!key.starts_with(prefix)) continue;
            std::string name;
            for (wchar_t c : node.path.substr(prefix.size())) {
                name += c < 0x80 ? static_cast<char>(c) : '#';
            }
            tree += (tree.empty() ? "" : ";") + name +
                    (!node.linkTo.empty() ? "@"
                     : node.folder        ? "/"
                                          : "=" + node.data);
        }
        return tree;
    }

    bool caseSensitive;
    std::map<std::wstring, Node> nodes;
};

// Faults, by full path on the disk.
struct MemoryFaults {
    std::set<std::wstring> unreadable;        // List fails with kToolReadError
    std::set<std::wstring> cutTransfers;      // Store or Fetch writes a third and calls it done
    std::set<std::wstring> failedTransfers;   // Store or Fetch fails
    std::set<std::wstring> failedPlaces;      // PlaceFile fails
    int32_t transferStatus = kToolReadError;  // the status of a failed transfer
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
    bool localFolder = true;   // LocalFolder() answers (a file target)

    std::wstring NativePath(const std::wstring& path) const override {
        return root.empty() || path != L"/" ? root + path : root;
    }
    Outcome List(const std::wstring& folder, std::vector<TreeEntry>& entries) override {
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
        return name.empty() || name == L"." || name == L".." ||
                       name.find(L'/') != std::wstring::npos
                   ? "no name"
                   : "";
    }
    std::wstring LocalFolder(const std::wstring& path) const override {
        return localFolder ? CanonicalPath(NativePath(path)) : std::wstring();
    }
    Outcome MakeFolder(const std::wstring& folder) override {
        MemoryDisk::Node* node = disk.Find(NativePath(folder));
        if (node && node->folder) return Outcome::Ok();
        // Paths end at 260 characters, as without long-path support.
        if (node || !disk.Find(ParentPath(NativePath(folder))) || NativePath(folder).size() > 260) {
            return Outcome::Fail(kToolWriteError, "cannot make the folder");
        }
        disk.AddFolder(NativePath(folder));
        return Outcome::Ok();
    }
    Outcome Store(const std::wstring& localFile, const std::wstring& partPath) override {
        MemoryDisk::Node* source = peer->Find(localFile);
        if (!source) return Outcome::Fail(kToolFileNotFound, "gone");
        return Copy(*source, NativePath(partPath), disk);
    }
    Outcome Fetch(const std::wstring& path, const std::wstring& localFile) override {
        MemoryDisk::Node* source = disk.Find(NativePath(path));
        if (!source || source->folder) return Outcome::Fail(kToolRemoteNotFound, "not there");
        return Copy(*source, localFile, *peer);
    }
    Outcome PlaceFile(const std::wstring& partPath, const std::wstring& path,
                      int64_t modified) override {
        const std::wstring native = NativePath(path);
        if (faults.failedPlaces.contains(disk.Resolve(native))) {
            return Outcome::Fail(kToolRenameError, "cannot rename into place");
        }
        MemoryDisk::Node* part = disk.Find(NativePath(partPath));
        if (!part) return Outcome::Fail(kToolRenameError, "no part file");
        MemoryDisk::Node node = *part;
        disk.nodes.erase(disk.Key(disk.Resolve(NativePath(partPath))));
        if (modified != 0) node.modified = modified;
        disk.AddFile(native, node.data, node.modified);
        return Outcome::Ok();
    }
    Outcome RemoveFile(const std::wstring& path) override {
        MemoryDisk::Node* node = disk.Find(NativePath(path));
        if (!node || node->folder) return Outcome::Fail(kToolRemoveError, "no file");
        disk.nodes.erase(disk.Key(node->path));
        return Outcome::Ok();
    }
    Outcome RemoveFolder(const std::wstring& folder) override {
        MemoryDisk::Node* node = disk.Find(NativePath(folder));
        if (!node || !node->folder) return Outcome::Fail(kToolRemoveError, "no folder");
        if (node->linkTo.empty() && !disk.Children(node->path).empty()) {
            return Outcome::Fail(kToolRemoveError, "not empty");
        }
        disk.nodes.erase(disk.Key(node->path));
        return Outcome::Ok();
    }
    Outcome Rename(const std::wstring& from, const std::wstring& to) override {
        MemoryDisk::Node* node = disk.Find(NativePath(from));
        MemoryDisk::Node* there = disk.Find(NativePath(to));
        if (!node) return Outcome::Fail(kToolRenameError, "no source");
        if (there && there != node) return Outcome::Fail(kToolRenameError, "exists");
        const std::wstring oldPath = node->path;
        const std::wstring newPath = disk.Resolve(NativePath(to));
        std::map<std::wstring, MemoryDisk::Node> moved;
        for (auto it = disk.nodes.begin(); it != disk.nodes.end();) {
            const std::wstring key = it->first, oldKey = disk.Key(oldPath);
            if (key == oldKey || key.starts_with(oldKey + L"/")) {
                MemoryDisk::Node n = it->second;
                n.path = newPath + n.path.substr(oldPath.size());
                moved[disk.Key(n.path)] = n;
                it = disk.nodes.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& [key, n] : moved) disk.nodes[key] = n;
        return Outcome::Ok();
    }
    std::wstring Describe(const std::wstring& path) const override { return NativePath(path); }

private:
    static TreeEntry Entry(const MemoryDisk::Node& node) {
        TreeEntry entry;
        entry.name = LeafName(node.path);
        entry.folder = node.folder;
        entry.link = !node.linkTo.empty();
        entry.size = node.data.size();
        entry.modified = node.modified;
        entry.exactTime = true;
        return entry;
    }
    // A transfer of `source` to `to` on `toDisk`, with the faults set for the source's path.
    Outcome Copy(const MemoryDisk::Node& source, const std::wstring& to, MemoryDisk& toDisk) {
        if (faults.failedTransfers.contains(source.path)) {
            return Outcome::Fail(faults.transferStatus, "transfer failed");
        }
        MemoryDisk::Node* folder = toDisk.Find(ParentPath(to));
        if (!folder || !folder->folder || LeafName(to).size() > 255) {
            return Outcome::Fail(kToolWriteError, "cannot write");
        }
        std::string data = source.data;
        if (faults.cutTransfers.contains(source.path)) data.resize(data.size() / 3);
        toDisk.AddFile(to, data, source.modified);
        return Outcome::Ok();
    }

    MemoryDisk& disk;
    std::wstring root;
    MemoryDisk* peer;
};
