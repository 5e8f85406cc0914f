// A seeded stream of transfer commands as the change event handler composes them, for random tests.
#pragma once
// Few folders and names, so that merges, duplicates and holes come up often; the same seed gives
// the same stream in every process (the kill test's child and its parent rely on it).

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "sync/transfer_command.h"

struct GeneratedCommand {
    CommandText text;
    int32_t eventKind = 0;
};

class CommandGenerator {
public:
    explicit CommandGenerator(uint32_t seed) : random(seed) {}

    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(random() % n); }

    GeneratedCommand Next() {
        static constexpr const char* kFolders[] = {"", "a", "b", "a\\b", "c"};
        static constexpr const char* kNames[] = {"x.txt", "y.txt", "z.txt", "a", "b"};
        static constexpr int32_t kEvents[] = {kEventCreate,       kEventDelete,    kEventRenameItem,
                                              kEventMkDir,        kEventRmDir,     kEventUpdateDir,
                                              kEventRenameFolder, kEventUpdateItem};
        GeneratedCommand out;
        const std::string folder = kFolders[Below(5)];
        const std::string dir = RemoteDir(folder);
        const std::string ldir = LocalDir(folder);
        const std::string name = kNames[Below(5)];
        const std::string other = kNames[Below(5)];
        const std::string sub = kNames[3 + Below(2)];
        const uint32_t form = Below(100);
        if (form < 2) {
            out.eventKind = kEvents[Below(8)];  // an empty command
            return out;
        }
        if (form < 18) {
            out.eventKind = kEventCreate;
            ComposePutFile(out.text, dir, ldir, name);
        } else if (form < 32) {
            out.eventKind = kEventDelete;
            ComposeDelFile(out.text, dir, ldir, name);
        } else if (form < 44) {
            out.eventKind = kEventRenameItem;
            ComposeRenameItem(out.text, dir, ldir, name, other);
        } else if (form < 54) {
            out.eventKind = kEventMkDir;
            ComposePutTree(out.text, RemoteDir(Join(folder, sub)), LocalDir(Join(folder, sub)));
        } else if (form < 64) {
            out.eventKind = kEventRmDir;
            ComposeDelTree(out.text, RemoteDir(Join(folder, sub)), LocalDir(Join(folder, sub)));
        } else if (form < 72) {
            out.eventKind = kEventUpdateDir;
            if (Below(2) == 0) {
                ComposePutFolder(out.text, dir, ldir);
            } else {
                ComposePutFolderSub(out.text, dir, ldir);
            }
        } else if (form < 82) {
            out.eventKind = kEventRenameFolder;
            const RenameFolderContext context{"C:\\W", Below(2) ? "/" : "/r", 0};
            ComposeRenameFolderText(out.text, LocalDir(Join(folder, sub)),
                                    LocalDir(Join(folder, other)), ldir, context);
        } else if (form < 88) {
            out.eventKind = kEventUpdateItem;
            ComposePutFile(out.text, dir, ldir, name);
        } else if (form < 94) {
            // A merge result arriving again, and forms under foreign events.
            out.eventKind = kEvents[Below(8)];
            ComposeMove(out.text, dir + name, RemoteDir(kFolders[Below(5)]) + name);
        } else {
            out.eventKind = kEvents[Below(8)];
            ComposeDelName(out.text, dir, name);
        }
        return out;
    }

private:
    static std::string Join(const std::string& folder, const std::string& name) {
        return folder.empty() ? name : folder + "\\" + name;
    }
    static std::string RemoteDir(const std::string& folder) {
        std::string dir = "/" + folder + (folder.empty() ? "" : "/");
        std::replace(dir.begin(), dir.end(), '\\', '/');
        return dir;
    }
    static std::string LocalDir(const std::string& folder) {
        return folder.empty() ? "C:\\W\\" : "C:\\W\\" + folder + "\\";
    }

    std::mt19937 random;
};
