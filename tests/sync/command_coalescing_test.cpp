// Catches: merges that drop, keep or reorder a pending command against their rule, on the real
// buffer and the plain one alike.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/watcher_state.h"
#include "support/buffer_fixture.h"
#include "support/reference_command_buffer.h"
#include "watch/transfer_command.h"

namespace {

template <class Compose, class... Args>
std::string Text(Compose compose, const Args&... args) {
    CommandText t;
    compose(t, args...);
    return std::string(t.Str());
}
std::string PutFile(const std::string& dir, const std::string& name, const char* ldir = "L\\") {
    return Text(ComposePutFile, dir, ldir, name);
}
std::string DelFile(const std::string& dir, const char* name) {
    return Text(ComposeDelFile, dir, "L\\", name);
}
std::string Rename(const char* dir, const char* from, const char* to) {
    return Text(ComposeRenameItem, dir, "L\\", from, to);
}
std::string PutTree(const char* dir, const char* ldir) { return Text(ComposePutTree, dir, ldir); }
std::string DelTree(const char* dir) { return Text(ComposeDelTree, dir, "L\\"); }
std::string PutFolder(const char* dir) { return Text(ComposePutFolder, dir, "L\\"); }
std::string Move(const char* from, const char* to) { return Text(ComposeMove, from, to); }

struct RuleCase {
    const char* what;
    std::vector<std::pair<int32_t, std::string>> steps;  // event, command
    std::vector<std::string> batch;  // the non-empty slots afterwards, in order
    int32_t smbMode = 0;
};

class CoalescingTest : public BufferTest {};

TEST_F(CoalescingTest, EveryRuleGivesTheSameBatchOnBothBuffers) {
    const RuleCase cases[] = {
        {"D1: a file created and deleted again never reaches the remote side",
         {{kEventCreate, PutFile("/sub/", "a.txt")}, {kEventDelete, DelFile("/sub/", "a.txt")}},
         {}},
        {"D1 needs the same folder",
         {{kEventCreate, PutFile("/a/", "a.txt")}, {kEventDelete, DelFile("/b/", "a.txt")}},
         {PutFile("/a/", "a.txt"), DelFile("/b/", "a.txt")}},
        {"D2: a renamed file deleted is deleted under the name the remote side knows",
         {{kEventRenameItem, Rename("/sub/", "a.txt", "b.txt")},
          {kEventDelete, DelFile("/sub/", "b.txt")}},
         {"-cmd=del|-dir=/sub/|-filename=a.txt|"}},
        {"D3: a pending recursive delete of the folder covers the deletion",
         {{kEventRmDir, DelTree("/a/")}, {kEventDelete, DelFile("/a/", "x.txt")}},
         {DelTree("/a/")}},
        {"D1 for every matching put, the other commands untouched",
         {{kEventCreate, PutFile("/a/", "x.txt")},
          {kEventUpdateItem, PutFile("/a/", "x.txt", "M\\")},
          {kEventCreate, PutFile("/a/", "y.txt")}, {kEventDelete, DelFile("/a/", "x.txt")}},
         {PutFile("/a/", "y.txt")}},
        {"C1: deleted and created again in the same folder is one move onto itself",
         {{kEventDelete, DelFile("/sub/", "a.txt")}, {kEventCreate, PutFile("/sub/", "a.txt")}},
         {Move("/sub/a.txt", "/sub/a.txt")}},
        {"C1: the last matching deletion gives the move, every match is dropped",
         {{kEventDelete, DelFile("/a/", "x.txt")}, {kEventDelete, DelFile("/b/", "x.txt")},
          {kEventCreate, PutFile("/c/", "x.txt")}},
         {"-cmd=rn|-dir=|-from=/b/x.txt|-to=/c/x.txt|"}},
        {"C1 is off in SMB mode",
         {{kEventDelete, DelFile("s\\a\\", "x.txt")}, {kEventCreate, PutFile("s\\b\\", "x.txt")}},
         {DelFile("s\\a\\", "x.txt"), PutFile("s\\b\\", "x.txt")},
         1},
        {"C1 is passed over when the move would not fit in a slot",
         {{kEventDelete, DelFile("/" + std::string(240, 'd') + "/", "x.txt")},
          {kEventCreate, PutFile("/" + std::string(240, 'e') + "/", "x.txt")}},
         {DelFile("/" + std::string(240, 'd') + "/", "x.txt"),
          PutFile("/" + std::string(240, 'e') + "/", "x.txt")}},
        {"C2: a pending send of the whole folder covers the new file",
         {{kEventUpdateDir, PutFolder("/a/")}, {kEventCreate, PutFile("/a/", "x.txt")}},
         {PutFolder("/a/")}},
        {"R1: a file not yet sent is sent under its new name, with its own ldir",
         {{kEventCreate, PutFile("/sub/", "a.txt", "C:\\W\\sub\\")},
          {kEventRenameItem, Rename("/sub/", "a.txt", "b.txt")}},
         {PutFile("/sub/", "b.txt", "C:\\W\\sub\\")}},
        {"R2: a pending send of the folder covers the rename",
         {{kEventUpdateDir, PutFolder("/a/")}, {kEventRenameItem, Rename("/a/", "x", "y")}},
         {PutFolder("/a/")}},
        {"a rename of another file keeps both",
         {{kEventCreate, PutFile("/a/", "x")}, {kEventRenameItem, Rename("/a/", "q", "y")}},
         {PutFile("/a/", "x"), Rename("/a/", "q", "y")}},
        {"M1: a folder deleted and created elsewhere with its name is a move",
         {{kEventRmDir, DelTree("/old/x/")}, {kEventMkDir, PutTree("/new/x/", "C:\\W\\new\\x\\")}},
         {"-cmd=rn|-dir=|-from=/old/x/|-to=/new/x/|"}},
        {"M2: a pending recursive send of an enclosing folder covers the new one",
         {{kEventMkDir, PutTree("/a/", "C:\\W\\a\\")},
          {kEventMkDir, PutTree("/a/b/", "C:\\W\\a\\b\\")}},
         {PutTree("/a/", "C:\\W\\a\\")}},
        {"M2 needs both the local and the remote folder to enclose",
         {{kEventMkDir, PutTree("/a/", "C:\\W\\a\\")},
          {kEventMkDir, PutTree("/z/b/", "C:\\W\\a\\b\\")}},
         {PutTree("/a/", "C:\\W\\a\\"), PutTree("/z/b/", "C:\\W\\a\\b\\")}},
        {"T1: a folder sent and deleted again: neither is sent",
         {{kEventMkDir, PutTree("/a/x/", "C:\\W\\a\\x\\")}, {kEventRmDir, DelTree("/a/x/")}},
         {}},
        {"T2: the recursive delete replaces pending deletions in the folder",
         {{kEventDelete, DelFile("/a/x/", "1")}, {kEventDelete, DelFile("/a/x/", "2")},
          {kEventRmDir, DelTree("/a/x/")}},
         {DelTree("/a/x/")}},
        {"a new recursive delete leaves a pending move alone",
         {{kEventCreate, Move("/a/x", "/b/x")}, {kEventRmDir, DelTree("/c/")}},
         {Move("/a/x", "/b/x"), DelTree("/c/")}},
        {"U1: a folder-wide send replaces the folder's puts and renames",
         {{kEventCreate, PutFile("/a/", "x")}, {kEventRenameItem, Rename("/a/", "p", "q")},
          {kEventDelete, DelFile("/a/", "y")}, {kEventUpdateDir, PutFolder("/a/")}},
         {DelFile("/a/", "y"), PutFolder("/a/")}},
        {"F1 never matches with forward slashes: both stay",
         {{kEventMkDir, PutTree("/sub/old/", "C:\\W\\sub\\old\\")},
          {kEventRenameFolder, "-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
         {PutTree("/sub/old/", "C:\\W\\sub\\old\\"),
          "-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
        {"F1: in SMB mode the pending send follows the folder's new name",
         {{kEventMkDir, PutTree("share\\sub\\old\\", "C:\\W\\sub\\old\\")}, {kEventRenameFolder,
           "-cmd=rn|-dir=share\\sub\\|-ldir=C:\\W\\sub\\|-from=\\old\\|-to=\\new\\|"}},
         {PutTree("share\\sub\\new\\", "C:\\W\\sub\\\\new\\\\")},
         1},
        {"F2: a pending command with the same old name is dropped",
         {{kEventRenameItem, Rename("/sub/", "old", "x")},
          {kEventRenameFolder, "-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
         {"-cmd=rn|-dir=/sub/|-ldir=C:\\W\\sub\\|-from=old|-to=new|"}},
        {"an updated item is simply added",
         {{kEventCreate, PutFile("/a/", "x")}, {kEventUpdateItem, PutFile("/a/", "x", "M\\")}},
         {PutFile("/a/", "x"), PutFile("/a/", "x", "M\\")}},
        {"rules select on the event, not on the command's cmd",
         {{kEventCreate, PutFile("/a/", "x")}, {kEventUpdateItem, DelFile("/a/", "x")}},
         {PutFile("/a/", "x"), DelFile("/a/", "x")}},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.what);
        State().Reset();
        SetUp();
        State().smbMode = c.smbMode;
        ReferenceBuffer reference;
        ReferenceCreate(reference, std::string(), c.smbMode);
        for (const auto& [event, command] : c.steps) {
            Add(command, event);
            ReferenceAdd(reference, command.c_str(), event);
            ReferenceCount(reference);
        }
        std::vector<std::string> plain;
        for (const CommandSlot& slot : reference.slots) {
            if (!slot.Empty()) plain.emplace_back(slot.Str());
        }
        EXPECT_EQ(Commands(), c.batch);
        EXPECT_EQ(plain, c.batch);
        EXPECT_EQ(EventListBytes(), FileOf(c.batch));
        EXPECT_EQ(reference.fileBytes, FileOf(c.batch));
    }
    EXPECT_TRUE(exitCodes.empty());
}

}  // namespace
