#include "watch/path_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "config/folder_registry.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

// Runs each case in code page 1252 (or the system's under Wine) and restores the
// code page the process started with.
class PathHelpersTest : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }
    unsigned originalCodePage = CurrentAnsiCodePage();
};

std::string Ansi(std::wstring_view text) { return ToAnsiString(text); }

TEST_F(PathHelpersTest, NetworkPathsBecomeUncAndOthersStayAsTheyAre) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    };
    const Case cases[] = {
        {L"ネットワーク\\srv\\share\\a.txt\\", L"\\\\srv\\share\\a.txt\\"},
        {L"Network\\srv\\share\\W\\a.txt\\", L"\\\\srv\\share\\W\\a.txt\\"},
        // Only a whole component names the Network folder, case-sensitively.
        {L"C:\\MyNetworkFiles\\a.txt\\", L"C:\\MyNetworkFiles\\a.txt\\"},
        {L"network\\srv\\", L"network\\srv\\"},
        {L"C:\\Networks\\x\\", L"C:\\Networks\\x\\"},
        // A component named exactly Network is taken for the Network folder.
        {L"C:\\Network\\a.txt\\", L"\\\\a.txt\\"},
        {L"C:\\Networks\\Network\\x\\", L"\\\\x\\"},
        {L"C:\\\\Network\\x\\", L"\\\\x\\"},
        {L"Network", L"\\"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        BoundedWText<kItemPathCapacity> bounded(c.in);
        RewriteNetworkPath(bounded);
        EXPECT_EQ(std::wstring(bounded.Str()), c.out) << Ansi(c.in);
        EXPECT_LE(bounded.Length(), std::wstring_view(c.in).size());

        wchar_t raw[64] = {};
        std::wstring_view(c.in).copy(raw, 63);
        RewriteNetworkPath(raw);
        EXPECT_EQ(std::wstring(raw), c.out) << Ansi(c.in);
    }
    RewriteNetworkPath(static_cast<wchar_t*>(nullptr));
}

TEST_F(PathHelpersTest, LastEventParentIsTheParentFolderWithItsBackslash) {
    struct Case {
        const wchar_t* item;
        const wchar_t* parent;
    };
    const Case cases[] = {
        {L"C:\\W\\a.txt\\", L"C:\\W\\"},
        {L"C:\\W\\sub\\a.txt\\", L"C:\\W\\sub\\"},
        {L"C:\\W\\sub\\", L"C:\\W\\"},
        {L"\\\\srv\\share\\x\\", L"\\\\srv\\share\\"},
        {L"C:\\a\\", L"C:\\"},
        {L"a.txt\\", L""},  // fewer than two backslashes
        {L"a.txt", L""},
        {L"", L""},
    };
    for (const Case& c : cases) {
        State().lastEventParent.Assign(L"stale");
        SetLastEventParent(c.item);
        EXPECT_EQ(std::wstring(State().lastEventParent.Str()), c.parent) << Ansi(c.item);
    }
    SetLastEventParent(nullptr);
    EXPECT_TRUE(State().lastEventParent.Empty());
}

TEST_F(PathHelpersTest, ItemDirIsTheLocalFolderOfAFileOrTheFolderItself) {
    struct Case {
        const wchar_t* item;
        int isFolder;
        const char* dir;
    };
    const Case cases[] = {
        {L"C:\\W\\sub\\a.txt\\", 0, "C:\\W\\sub\\"},
        {L"C:\\W\\sub\\a.txt", 0, "C:\\W\\sub\\"},
        {L"C:\\W\\sub\\", 1, "C:\\W\\sub\\"},
        {L"C:\\W\\sub\\", 0, "C:\\W\\"},
        {L"C:\\", 0, ""},
        {L"a.txt", 0, ""},
        {L"a\\", 0, "a\\"},
        {L"", 0, ""},
        {L"C:\\W\\日本.txt\\", 0, "C:\\W\\"},
    };
    for (const Case& c : cases) {
        State().itemDir.Assign("stale");
        State().eventIsFolder = c.isFolder;
        SetItemDir(c.item);
        EXPECT_EQ(std::string(State().itemDir.Str()), c.dir)
            << Ansi(c.item) << " folder " << c.isFolder;
    }
    SetItemDir(nullptr);
    EXPECT_TRUE(State().itemDir.Empty());
}

TEST_F(PathHelpersTest, LeafNameOfAFileIsItsLastComponentCutTo259Bytes) {
    ASSERT_TRUE(SelectAnsiCodePage(originalCodePage));
    struct Case {
        std::wstring item;
        std::string leaf;
    };
    const std::wstring longName(300, L'n');
    const Case cases[] = {
        {L"C:\\W\\sub\\a.txt\\", "a.txt"},
        {L"C:\\W\\Makefile\\", "Makefile"},  // no dot: the handler's name filter drops it
        {L"C:\\W\\archive.tar.gz\\", "archive.tar.gz"},
        {L"C:\\W\\a.txt", "W"},  // without the final backslash the last cut takes the name
        {L"C:a.txt\\", "a.txt"},
        {L"\\", ""},
        {L"C:\\W\\" + longName + L".txt\\", std::string(259, 'n')},
    };
    for (const Case& c : cases) {
        State().eventLeafName.Assign("stale");
        State().eventIsFolder = 0;
        SetLeafName(c.item.c_str());
        EXPECT_EQ(std::string(State().eventLeafName.Str()), c.leaf) << Ansi(c.item);
    }
}

TEST_F(PathHelpersTest, LeafNameOfAFolderIsItsDirectoryBelowTheRegisteredRoot) {
    TempDir data;
    State().dataDir.Assign(data.Ansi());
    WriteFileBytes(data / "cnwfolder.txt", "C:\\W=0\n");
    State().eventIsFolder = 1;

    SetLeafName(L"C:\\W\\sub\\");
    EXPECT_EQ(std::string(State().eventLeafName.Str()), "/sub/");
    EXPECT_EQ(std::string(State().itemDir.Str()), "C:\\W\\sub\\");
    EXPECT_EQ(std::string(State().relativeDir.Str()), "/sub/");

    SetLeafName(L"C:\\W\\");
    EXPECT_EQ(std::string(State().eventLeafName.Str()), "/");
}

TEST_F(PathHelpersTest, FolderTestListsTheFolderAndFailsForFilesAndDeletedFolders) {
    TempDir root;
    const std::filesystem::path sub = root / "sub";
    std::filesystem::create_directory(sub);
    WriteFileBytes(root / "a.txt", "x");
    const std::wstring base = root.Path().wstring();

    EXPECT_TRUE(IsFolderPath((base + L"\\sub\\").c_str()));
    EXPECT_FALSE(IsFolderPath((base + L"\\a.txt\\").c_str()));
    EXPECT_FALSE(IsFolderPath((base + L"\\missing\\").c_str()));
    std::filesystem::remove(sub);
    EXPECT_FALSE(IsFolderPath((base + L"\\sub\\").c_str()));
    EXPECT_FALSE(IsFolderPath(nullptr));
}

// In code page 932 the second byte of 表 (95 5C) and of ソ (83 5C) has the value
// of a backslash: a byte-wise search would cut these names in two.
TEST_F(PathHelpersTest, CodePage932NamesWithBackslashTrailBytesComeOutWhole) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    const std::string hyo = "\x95\x5C";  // 表

    State().eventIsFolder = 0;
    SetItemDir(L"C:\\W\\表\\");
    EXPECT_EQ(std::string(State().itemDir.Str()), "C:\\W\\");
    SetItemDir(L"C:\\表\\ソ.txt\\");
    EXPECT_EQ(std::string(State().itemDir.Str()), "C:\\" + hyo + "\\");

    SetLeafName(L"C:\\W\\表\\");
    EXPECT_EQ(std::string(State().eventLeafName.Str()), hyo);
    SetLeafName(L"C:\\W\\ソ表.txt\\");
    EXPECT_EQ(std::string(State().eventLeafName.Str()), "\x83\x5C" + hyo + ".txt");

    // 129 characters of two bytes each: the cut at 259 bytes keeps 129 whole ones.
    SetLeafName((L"C:\\W\\" + std::wstring(200, L'表') + L"\\").c_str());
    EXPECT_EQ(ToWideString(State().eventLeafName.Str()), std::wstring(129, L'表'));

    TempDir data;
    State().dataDir.Assign(data.Ansi());
    WriteFileBytes(data / "cnwfolder.txt", "C:\\W=0\n");
    State().eventIsFolder = 1;
    SetLeafName(L"C:\\W\\表\\ソ\\");
    EXPECT_EQ(std::string(State().eventLeafName.Str()), "/" + hyo + "/\x83\x5C/");
}

}  // namespace
