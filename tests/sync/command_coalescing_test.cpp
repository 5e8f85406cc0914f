// The merge rules as a batch sees them: commands go through AddCommand one by
// one, and the buffer and the event list file hold the net effect.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/watcher_state.h"
#include "support/buffer_fixture.h"
#include "support/reference_command_buffer.h"
#include "watch/transfer_command.h"

namespace {

std::string PutFile(const std::string& dir, const std::string& name,
                    const std::string& ldir = "L\\") {
    CommandText t;
    ComposePutFile(t, dir, ldir, name);
    return std::string(t.Str());
}
std::string DelFile(const std::string& dir, const std::string& name) {
    CommandText t;
    ComposeDelFile(t, dir, "L\\", name);
    return std::string(t.Str());
}
std::string Rename(const std::string& dir, const std::string& from, const std::string& to) {
    CommandText t;
    ComposeRenameItem(t, dir, "L\\", from, to);
    return std::string(t.Str());
}
std::string PutTree(const std::string& dir, const std::string& ldir) {
    CommandText t;
    ComposePutTree(t, dir, ldir);
    return std::string(t.Str());
}
std::string DelTree(const std::string& dir) {
    CommandText t;
    ComposeDelTree(t, dir, "L\\");
    return std::string(t.Str());
}
std::string PutFolder(const std::string& dir) {
    CommandText t;
    ComposePutFolder(t, dir, "L\\");
    return std::string(t.Str());
}
std::string Move(const std::string& from, const std::string& to) {
    CommandText t;
    ComposeMove(t, from, to);
    return std::string(t.Str());
}

using Step = std::pair<int32_t, std::string>;

struct RuleCase {
    const char* what;
    int32_t smbMode;
    std::vector<Step> steps;
    std::vector<std::string> batch;  // the non-empty slots afterwards, in order
};

class CoalescingTest : public BufferTest {
protected:
    void Check(const RuleCase& c) {
        State().Reset();
        SetUp();
        std::remove(eventList.c_str());
        State().smbMode = c.smbMode;
        ReferenceBuffer reference;
        const std::string referencePath = folder.Ansi() + "/reference.txt";
        ReferenceCreate(reference, referencePath, c.smbMode);
        for (const auto& [event, command] : c.steps) {
            Add(command, event);
            ReferenceAdd(reference, command.c_str(), event);
            ReferenceCount(reference);
        }
        EXPECT_EQ(Commands(), c.batch) << c.what;
        EXPECT_EQ(EventListBytes(), FileOf(c.batch)) << c.what;
        EXPECT_TRUE(exitCodes.empty()) << c.what;
        // The plain buffer agrees.
        std::vector<std::string> plain;
        for (const CommandSlot& slot : reference.slots) {
            if (!slot.Empty()) plain.emplace_back(slot.Str());
        }
        EXPECT_EQ(plain, c.batch) << c.what;
        EXPECT_EQ(ReadFileBytes(referencePath), FileOf(c.batch)) << c.what;
    }
};

TEST_F(CoalescingTest, DeletionRules) {
    const RuleCase cases[] = {
        {"D1: a file created and deleted again never reaches the remote side",
         0,
         {{kEventCreate, PutFile("/sub/", "a.txt")}, {kEventDelete, DelFile("/sub/", "a.txt")}},
         {}},
        {"D1 needs the same folder",
         0,
         {{kEventCreate, PutFile("/a/", "a.txt")}, {kEventDelete, DelFile("/b/", "a.txt")}},
         {PutFile("/a/", "a.txt"), DelFile("/b/", "a.txt")}},
        {"D2: a renamed file deleted is deleted under the name the remote side knows",
         0,
         {{kEventRenameItem, Rename("/sub/", "a.txt", "b.txt")},
          {kEventDelete, DelFile("/sub/", "b.txt")}},
         {"-cmd=del|-dir=/sub/|-filename=a.txt|"}},
        {"D3: a pending recursive delete of the folder covers the deletion",
         0,
         {{kEventRmDir, DelTree("/a/")}, {kEventDelete, DelFile("/a/", "x.txt")}},
         {DelTree("/a/")}},
        {"D1 for every matching put, the other commands untouched",
         0,
         {{kEventCreate, PutFile("/a/", "x.txt")},
          {kEventUpdateItem, PutFile("/a/", "x.txt", "M\\")},
          {kEventCreate, PutFile("/a/", "y.txt")},
          {kEventDelete, DelFile("/a/", "x.txt")}},
         {PutFile("/a/", "y.txt")}},
    };
    for (const RuleCase& c : cases) Check(c);
}

TEST_F(CoalescingTest, CreationRules) {
    const RuleCase cases[] = {
        {"C1: deleted and created again in the same folder is one move onto itself",
         0,
         {{kEventDelete, DelFile("/sub/", "a.txt")}, {kEventCreate, PutFile("/sub/", "a.txt")}},
         {Move("/sub/a.txt", "/sub/a.txt")}},
        {"C1: the last matching deletion gives the move, every match is dropped",
         0,
         {{kEventDelete, DelFile("/a/", "x.txt")},
          {kEventDelete, DelFile("/b/", "x.txt")},
          {kEventCreate, PutFile("/c/", "x.txt")}},
         {"-cmd=rn|-dir=|-from=/b/x.txt|-to=/c/x.txt|"}},
        {"C1 is off in SMB mode",
         1,
         {{kEventDelete, DelFile("s\\a\\", "x.txt")}, {kEventCreate, PutFile("s\\b\\", "x.txt")}},
         {DelFile("s\\a\\", "x.txt"), PutFile("s\\b\\", "x.txt")}},
        {"C1 is passed over when the move would not fit in a slot",
         0,
         {{kEventDelete, DelFile("/" + std::string(240, 'd') + "/", "x.txt")},
          {kEventCreate, PutFile("/" + std::string(240, 'e') + "/", "x.txt")}},
         {DelFile("/" + std::string(240, 'd') + "/", "x.txt"),
          PutFile("/" + std::string(240, 'e') + "/", "x.txt")}},
        {"C2: a pending send of the whole folder covers the new file",
         0,
         {{kEventUpdateDir, PutFolder("/a/")}, {kEventCreate, PutFile("/a/", "x.txt")}},
         {PutFolder("/a/")}},
    };
    for (const RuleCase& c : cases) Check(c);
}

TEST_F(CoalescingTest, FileRenameRules) {
    const RuleCase cases[] = {
        {"R1: a file not yet sent is sent under its new name, with its own ldir",
         0,
         {{kEventCreate, PutFile("/sub/", "a.txt", "C:\\W\\sub\\")},
          {kEventRenameItem, Rename("/sub/", "a.txt", "b.txt")}},
         {PutFile("/sub/", "b.txt", "C:\\W\\sub\\")}},
        {"R2: a pending send of the folder covers the rename",
         0,
         {{kEventUpdateDir, PutFolder("/a/")}, {kEventRenameItem, Rename("/a/", "x", "y")}},
         {PutFolder("/a/")}},
        {"a rename of another file keeps both",
         0,
         {{kEventCreate, PutFile("/a/", "x")}, {kEventRenameItem, Rename("/a/", "q", "y")}},
         {PutFile("/a/", "x"), Rename("/a/", "q", "y")}},
    };
    for (const RuleCase& c : cases) Check(c);
}

TEST_F(CoalescingTest, FolderRules) {
    const RuleCase cases[] = {
        {"M1: a folder deleted and created elsewhere with its name is a move",
         0,
         {{kEventRmDir, DelTree("/old/x/")}, {kEventMkDir, PutTree("/new/x/", "C:\\W\\new\\x\\")}},
         {"-cmd=rn|-dir=|-from=/old/x/|-to=/new/x/|"}},
        {"M2: a pending recursive send of an enclosing folder covers the new one",
         0,
         {{kEventMkDir, PutTree("/a/", "C:\\W\\a\\")},
          {kEventMkDir, PutTree("/a/b/", "C:\\W\\a\\b\\")}},
         {PutTree("/a/", "C:\\W\\a\\")}},
        {"M2 needs both the local and the remote folder to enclose",
         0,
         {{kEventMkDir, PutTree("/a/", "C:\\W\\a\\")},
          {kEventMkDir, PutTree("/z/b/", "C:\\W\\a\\b\\")}},
         {PutTree("/a/", "C:\\W\\a\\"), PutTree("/z/b/", "C:\\W\\a\\b\\")}},
        {"T1: a folder sent and deleted again: neither is sent",
         0,
         {{kEventMkDir, PutTree("/a/x/", "C:\\W\\a\\x\\")}, {kEventRmDir, DelTree("/a/x/")}},
         {}},
        {"T2: the recursive delete replaces pending deletions in the folder",
         0,
         {{kEventDelete, DelFile("/a/x/", "1")},
          {kEventDelete, DelFile("/a/x/", "2")},
          {kEventRmDir, DelTree("/a/x/")}},
         {DelTree("/a/x/")}},
        {"a new recursive delete leaves a pending move alone",
         0,
         {{kEventCreate, Move("/a/x", "/b/x")}, {kEventRmDir, DelTree("/c/")}},
         {Move("/a/x", "/b/x"), DelTree("/c/")}},
        {"U1: a folder-wide send replaces the folder's puts and renames",
         0,
         {{kEventCreate, PutFile("/a/", "x")},
          {kEventRenameItem, Rename("/a/", "p", "q")},
          {kEventDelete, DelFile("/a/", "y")},
          {kEventUpdateDir, PutFolder("/a/")}},
         {DelFile("/a/", "y"), PutFolder("/a/")}},
    };
    for (const RuleCase& c : cases) Check(c);
}

TEST_F(CoalescingTest, FolderRenameRules) {
    const RuleCase cases[] = {
        {"F1 never matches with forward slashes: both stay",
         0,
         {{kEventMkDir, PutTree("/sub/old/", "C:\\W\\sub\\old\\")},
          {kEventRenameFolder, "-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
         {PutTree("/sub/old/", "C:\\W\\sub\\old\\"),
          "-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
        {"F1: in SMB mode the pending send follows the folder's new name",
         1,
         {{kEventMkDir, PutTree("share\\sub\\old\\", "C:\\W\\sub\\old\\")},
          {kEventRenameFolder,
           "-cmd=rn|-dir=share\\sub\\|-ldir=C:\\W\\sub\\|-from=\\old\\|-to=\\new\\|"}},
         {PutTree("share\\sub\\new\\", "C:\\W\\sub\\\\new\\\\")}},
        {"F2: a pending command with the same old name is dropped",
         0,
         {{kEventRenameItem, Rename("/sub/", "old", "x")},
          {kEventRenameFolder, "-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
         {"-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
    };
    for (const RuleCase& c : cases) Check(c);
}

TEST_F(CoalescingTest, OtherEventsMergeNothing) {
    const RuleCase cases[] = {
        {"an updated item is simply added",
         0,
         {{kEventCreate, PutFile("/a/", "x")}, {kEventUpdateItem, PutFile("/a/", "x", "M\\")}},
         {PutFile("/a/", "x"), PutFile("/a/", "x", "M\\")}},
        {"rules select on the event, not on the command's cmd",
         0,
         {{kEventCreate, PutFile("/a/", "x")}, {kEventUpdateItem, DelFile("/a/", "x")}},
         {PutFile("/a/", "x"), DelFile("/a/", "x")}},
    };
    for (const RuleCase& c : cases) Check(c);
}

}  // namespace
