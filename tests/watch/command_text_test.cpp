// Catches: command lines parsed wrong, names cut inside a double-byte character.
// The forms, the 511-byte limit and the Network folder are in the change handler's table.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "config/folder_registry.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "watch/path_helpers.h"
#include "watch/transfer_command.h"

namespace {

std::string Fields(const TransferCommand& c) {
    std::string out;
    for (const std::string_view field : {c.cmd.Str(), c.dir.Str(), c.ldir.Str(), c.filename.Str(),
                                         c.from.Str(), c.to.Str(), c.sync.Str(), c.sub.Str()}) {
        out.append(field) += ",";
    }
    return out;
}

TEST(CommandText, ParsesFieldsByName) {
    const std::pair<std::string, std::string> cases[] = {
        // line, "cmd,dir,ldir,filename,from,to,sync,sub,"
        {"-cmd=put|-dir=/a/|-ldir=C:\\W\\a\\|-filename=my-cmd.txt|",
         "put,/a/,C:\\W\\a\\,my-cmd.txt,,,,,"},
        // The later of two values wins; unknown names and pieces without "=" are ignored.
        {"-cmd=put|-dir=/a/|-dir=/b/|-colour=red|junk|", "put,/b/,,,,,,,"},
        // Empty pieces anywhere, a value holding "=", no "|" at the end.
        {"||-cmd=del||-filename=a=b.txt|||-dir=/a/", "del,/a/,,a=b.txt,,,,,"},
        // Field limits: cmd 15 characters, sync and sub one.
        {"-cmd=abcdefghijklmnopq|-sync=12|-sub=1x|", "abcdefghijklmno,,,,,,1,1,"},
        // Only the first 511 bytes count.
        {"-cmd=put|-filename=" + std::string(600, 'f') + "|-dir=/late/|",
         "put,,," + std::string(511 - 19, 'f') + ",,,,,"},
    };
    for (const auto& [line, fields] : cases) {
        EXPECT_EQ(Fields(ParseCommand(line)), fields) << line.substr(0, 60);
    }
}

class CodePage932Test : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }
    std::string Leaf() const { return std::string(State().eventLeafName.Str()); }
    std::string ItemDir() const { return std::string(State().itemDir.Str()); }
    unsigned originalCodePage = CurrentAnsiCodePage();
    TempDir data;
};

// In code page 932 the second byte of 表 (95 5C) and of ソ (83 5C) has the value
// of a backslash, that of ポ (83 7C) the value of "|": a byte-wise search would
// cut these names in two.
TEST_F(CodePage932Test, NamesWithBackslashOrBarTrailBytesComeOutWhole) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    const std::string hyo = "\x95\x5C", so = "\x83\x5C", po = "\x83\x7C";
    ASSERT_EQ(ToAnsiString(L"表ソポ"), hyo + so + po);

    const TransferCommand parsed = ParseCommand("-cmd=put|-dir=/" + po + "/|-ldir=C:\\" + hyo +
                                                "\\|-filename=" + po + hyo + ".txt|");
    EXPECT_EQ(Fields(parsed), "put,/" + po + "/,C:\\" + hyo + "\\," + po + hyo + ".txt,,,,,");

    State().watchedPath.Assign("C:\\W");
    State().remoteDir.Assign("/");
    EXPECT_TRUE(ComposeRenameFolder(("C:\\W\\" + hyo + "\\" + hyo + "\\").c_str(),
                                    ("C:\\W\\" + hyo + "\\n\\").c_str(), "L\\"));
    EXPECT_EQ(State().newCommand.Str(),
              "-cmd=rn|-dir=/" + hyo + "/|-ldir=L\\|-from=" + hyo + "|-to=n|");

    State().eventIsFolder = 0;
    SetItemDir(L"C:\\W\\表\\");
    EXPECT_EQ(ItemDir(), "C:\\W\\");
    SetItemDir(L"C:\\表\\ソ.txt\\");
    EXPECT_EQ(ItemDir(), "C:\\" + hyo + "\\");
    SetLeafName(L"C:\\W\\ソ表.txt\\");
    EXPECT_EQ(Leaf(), so + hyo + ".txt");
    // 129 characters of two bytes each: the cut at 259 bytes keeps them whole.
    SetLeafName((L"C:\\W\\" + std::wstring(200, L'表') + L"\\").c_str());
    EXPECT_EQ(ToWideString(State().eventLeafName.Str()), std::wstring(129, L'表'));

    State().dataDir.Assign(data.Ansi());
    WriteFileBytes(data / "cnwfolder.txt", "C:\\W=0\n");
    State().eventIsFolder = 1;
    SetLeafName(L"C:\\W\\表\\ソ\\");
    EXPECT_EQ(Leaf(), "/" + hyo + "/" + so + "/");
}

}  // namespace
