#include "watch/transfer_command.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/text_conversion.h"
#include "support/state_fixture.h"

namespace {

std::string Fields(const TransferCommand& c) {
    return std::string(c.cmd.Str()) + "," + std::string(c.dir.Str()) + "," +
           std::string(c.ldir.Str()) + "," + std::string(c.filename.Str()) + "," +
           std::string(c.from.Str()) + "," + std::string(c.to.Str()) + "," +
           std::string(c.sync.Str()) + "," + std::string(c.sub.Str());
}

TEST(ParseCommand, FieldsByName) {
    const std::pair<const char*, const char*> cases[] = {
        // line, "cmd,dir,ldir,filename,from,to,sync,sub"
        {"-cmd=put|-dir=/a/|-ldir=C:\\W\\a\\|-filename=my-cmd.txt|",
         "put,/a/,C:\\W\\a\\,my-cmd.txt,,,,"},
        {"-cmd=rn|-dir=|-from=/a/x|-to=/b/x|", "rn,,,,/a/x,/b/x,,"},
        {"-cmd=put|-dir=/|-ldir=C:\\W\\|-sync=1|-sub=1|", "put,/,C:\\W\\,,,,1,1"},
        // The later of two values wins; unknown names and pieces without "=" are ignored.
        {"-cmd=put|-dir=/a/|-dir=/b/|-colour=red|junk|", "put,/b/,,,,,,"},
        // Empty pieces anywhere, a value holding "=".
        {"||-cmd=del||-filename=a=b.txt|||", "del,,,a=b.txt,,,,"},
        // No "|" at the end: the last piece still counts.
        {"-cmd=del|-dir=/a/", "del,/a/,,,,,,"},
        // Field limits: cmd 15 characters, sync and sub one.
        {"-cmd=abcdefghijklmnopq|-sync=12|-sub=1x|", "abcdefghijklmno,,,,,,1,1"},
        {"", ",,,,,,,"},
        {"cmd=put|dir=/a/|", ",,,,,,,"},
    };
    for (const auto& [line, fields] : cases) EXPECT_EQ(Fields(ParseCommand(line)), fields) << line;
}

TEST(ParseCommand, LooksAtTheFirst511BytesOnly) {
    const std::string line = "-cmd=put|-filename=" + std::string(600, 'f') + "|-dir=/late/|";
    const TransferCommand parsed = ParseCommand(line);
    EXPECT_EQ(parsed.filename.Length(), 511u - 19u);
    EXPECT_TRUE(parsed.dir.Empty());
}

TEST(ParseCommand, SplitsOnCharactersNotBytesInCodePage932) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "code page 932 not available";
    // U+30DD is 83 7C and U+8868 is 95 5C: a "|" and a backslash as trail bytes.
    const std::string po = ToAnsiString(L"\u30DD");
    const std::string hyo = ToAnsiString(L"\u8868");
    ASSERT_EQ(po, "\x83\x7C");
    const std::string line =
        "-cmd=put|-dir=/" + po + "/|-ldir=C:\\" + hyo + "\\|-filename=" + po + hyo + ".txt|";
    const TransferCommand parsed = ParseCommand(line);
    EXPECT_EQ(parsed.dir.Str(), "/" + po + "/");
    EXPECT_EQ(parsed.ldir.Str(), "C:\\" + hyo + "\\");
    EXPECT_EQ(parsed.filename.Str(), po + hyo + ".txt");
    SelectAnsiCodePage(1252);
}

TEST(Forms, WriteFieldsInTheirOrder) {
    using T = CommandText;
    const std::pair<std::function<bool(T&)>, const char*> cases[] = {
        {[](T& t) { return ComposePutFile(t, "/a/", "C:\\W\\a\\", "x.txt"); },
         "-cmd=put|-dir=/a/|-ldir=C:\\W\\a\\|-filename=x.txt|"},
        {[](T& t) { return ComposeDelFile(t, "/a/", "C:\\W\\a\\", "x.txt"); },
         "-cmd=del|-dir=/a/|-ldir=C:\\W\\a\\|-filename=x.txt|"},
        {[](T& t) { return ComposeRenameItem(t, "/", "C:\\W\\", "o", "n"); },
         "-cmd=rn|-dir=/|-ldir=C:\\W\\|-from=o|-to=n|"},
        {[](T& t) { return ComposePutTree(t, "/a/", "C:\\W\\a\\"); },
         "-cmd=put|-dir=/a/|-ldir=C:\\W\\a\\|-sync=1|-sub=1|"},
        {[](T& t) { return ComposeDelTree(t, "/a/", "C:\\W\\a\\"); },
         "-cmd=del|-dir=/a/|-ldir=C:\\W\\a\\|-sub=1|"},
        {[](T& t) { return ComposePutFolder(t, "/a/", "C:\\W\\a\\"); },
         "-cmd=put|-dir=/a/|-ldir=C:\\W\\a\\|"},
        {[](T& t) { return ComposePutFolderSub(t, "/a/", "C:\\W\\a\\"); },
         "-cmd=put|-dir=/a/|-ldir=C:\\W\\a\\|-sub=1|"},
        {[](T& t) { return ComposeDelName(t, "/a/", "x.txt"); },
         "-cmd=del|-dir=/a/|-filename=x.txt|"},
        {[](T& t) { return ComposeMove(t, "/a/x", "/b/x"); }, "-cmd=rn|-dir=|-from=/a/x|-to=/b/x|"},
    };
    for (const auto& [compose, expected] : cases) {
        T t;
        EXPECT_TRUE(compose(t)) << expected;
        EXPECT_EQ(t.Str(), expected);
    }
}

TEST(Forms, ALineOver511BytesIsRefusedNotCut) {
    CommandText t;
    const std::string dir = "/" + std::string(300, 'd') + "/";
    const std::string exact(511 - std::string("-cmd=put|-dir=|-ldir=|-filename=|").size() - 2, 'n');
    EXPECT_TRUE(ComposePutFile(t, "/", "C", exact));
    EXPECT_EQ(t.Length(), 511u);
    EXPECT_FALSE(ComposePutFile(t, "/", "C", exact + "n"));
    EXPECT_TRUE(t.Empty());
    EXPECT_FALSE(ComposeMove(t, dir, dir));
    EXPECT_TRUE(t.Empty());
}

class RenameFolderTest : public StateTest {};

TEST_F(RenameFolderTest, ChoosesTheTextByPlaceAndMode) {
    struct {
        const char *remoteDir, *parent, *expected;
        int32_t smbMode;
    } const cases[] = {
        {"/", "", "-cmd=rn|-dir=/|-ldir=L\\|-from=old|-to=new|", 0},
        {"/r", "", "-cmd=rn|-dir=/r/|-ldir=L\\|-from=old|-to=new|", 0},
        {"", "", "-cmd=rn|-dir=/|-ldir=L\\|-from=old|-to=new|", 0},
        {"share", "", "-cmd=rn|-dir=share\\|-ldir=L\\|-from=\\old\\|-to=\\new\\|", 1},
        {"/", "s\\t\\", "-cmd=rn|-dir=/s/t/|-ldir=L\\|-from=old|-to=new|", 0},
        {"/r", "s\\t\\", "-cmd=rn|-dir=/r/s/t/|-ldir=L\\|-from=old|-to=new|", 0},
        {"share", "s\\t\\", "-cmd=rn|-dir=share\\s\\t\\|-ldir=L\\|-from=\\old\\|-to=\\new\\|", 1},
    };
    for (const auto& c : cases) {
        State().watchedPath.Assign("C:\\W");
        State().remoteDir.Assign(c.remoteDir);
        State().smbMode = c.smbMode;
        const std::string parent = std::string("C:\\W\\") + c.parent;
        EXPECT_TRUE(
            ComposeRenameFolder((parent + "old\\").c_str(), (parent + "new\\").c_str(), "L\\"));
        EXPECT_EQ(State().newCommand.Str(), c.expected) << c.remoteDir << " " << c.parent;
    }
}

TEST_F(RenameFolderTest, CutsNamesOnCharactersInCodePage932) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "code page 932 not available";
    const std::string hyo = ToAnsiString(L"\u8868");  // 95 5C
    const std::string old = "C:\\W\\" + hyo + "\\" + hyo + "\\";
    const std::string renamed = "C:\\W\\" + hyo + "\\n\\";
    State().watchedPath.Assign("C:\\W");
    State().remoteDir.Assign("/");
    EXPECT_TRUE(ComposeRenameFolder(old.c_str(), renamed.c_str(), "L\\"));
    EXPECT_EQ(State().newCommand.Str(),
              "-cmd=rn|-dir=/" + hyo + "/|-ldir=L\\|-from=" + hyo + "|-to=n|");
    SelectAnsiCodePage(1252);
}

TEST(EnclosingPutTree, WalksUpToTheFirstFolderThatFits) {
    const std::string big(200, 'b');
    const std::string dir = "/a/" + big + "/" + big + "/";
    const std::string ldir = "C:\\W\\a\\" + big + "\\" + big + "\\";
    CommandText t;
    ASSERT_TRUE(ComposeEnclosingPutTree(t, dir, ldir, "C:\\W\\"));
    EXPECT_EQ(t.Str(),
              "-cmd=put|-dir=/a/" + big + "/|-ldir=C:\\W\\a\\" + big + "\\|-sync=1|-sub=1|");

    ASSERT_TRUE(ComposeEnclosingPutTree(t, "/a/", "C:\\W\\a\\", "C:\\W\\"));
    EXPECT_EQ(t.Str(), "-cmd=put|-dir=/a/|-ldir=C:\\W\\a\\|-sync=1|-sub=1|");

    const std::string huge(480, 'w');
    EXPECT_FALSE(ComposeEnclosingPutTree(t, "/" + big + "/", "C:\\" + huge + "\\" + big + "\\",
                                         "C:\\" + huge + "\\"));
    EXPECT_TRUE(t.Empty());
}

TEST(LastComponent, IsTheLastNonEmptyPieceBetweenSlashes) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/b/", "b"}, {"/a/b", "b"}, {"/", ""},
        {"", ""},       {"x", "x"},    {"share\\s\\", "share\\s\\"},
        {"//a//", "a"}};
    for (const auto& [text, last] : cases) EXPECT_EQ(LastComponent(text), last) << text;
}

}  // namespace
