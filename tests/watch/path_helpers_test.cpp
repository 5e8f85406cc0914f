#include "watch/path_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "config/folder_registry.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

class PathHelpersTest : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }
    // A registry in a fresh data folder with C:\W as its only entry.
    void RegisterW() {
        State().dataDir.Assign(data.Ansi());
        WriteFileBytes(data / "cnwfolder.txt", "C:\\W=0\n");
    }
    std::string Leaf() const { return std::string(State().eventLeafName.Str()); }
    std::string ItemDir() const { return std::string(State().itemDir.Str()); }
    unsigned originalCodePage = CurrentAnsiCodePage();
    TempDir data;
};

std::string Ansi(std::wstring_view text) { return ToAnsiString(text); }

TEST_F(PathHelpersTest, NetworkPathsBecomeUncAndOthersStayAsTheyAre) {
    const std::tuple<const wchar_t*, const wchar_t*> cases[] = {
        {L"ネットワーク\\srv\\share\\a.txt\\", L"\\\\srv\\share\\a.txt\\"},
        {L"Network\\srv\\share\\W\\a.txt\\", L"\\\\srv\\share\\W\\a.txt\\"},
        // Only a first component named exactly Network is the Network folder:
        // a real folder of that name further down stays.
        {L"C:\\MyNetworkFiles\\a.txt\\", L"C:\\MyNetworkFiles\\a.txt\\"},
        {L"network\\srv\\", L"network\\srv\\"},
        {L"Networks\\x\\", L"Networks\\x\\"},
        {L"C:\\Network\\a.txt\\", L"C:\\Network\\a.txt\\"},
        {L"\\\\srv\\share\\W\\Network\\a.txt\\", L"\\\\srv\\share\\W\\Network\\a.txt\\"},
        {L"\\\\Network\\share\\a.txt\\", L"\\\\Network\\share\\a.txt\\"},
        {L"W:\\ネットワーク\\a.txt\\", L"W:\\ネットワーク\\a.txt\\"},
        {L"Network", L"\\"},
        {L"", L""},
    };
    for (const auto& [in, out] : cases) {
        BoundedWText<kItemPathCapacity> bounded(in);
        RewriteNetworkPath(bounded);
        EXPECT_EQ(std::wstring(bounded.Str()), out) << Ansi(in);
        EXPECT_LE(bounded.Length(), std::wstring_view(in).size());

        wchar_t raw[64] = {};
        std::wstring_view(in).copy(raw, 63);
        RewriteNetworkPath(raw);
        EXPECT_EQ(std::wstring(raw), out) << Ansi(in);
    }
    RewriteNetworkPath(static_cast<wchar_t*>(nullptr));
}

TEST_F(PathHelpersTest, LastEventParentIsTheParentFolderWithItsBackslash) {
    const std::tuple<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\W\\a.txt\\", L"C:\\W\\"},  {L"C:\\W\\sub\\a.txt\\", L"C:\\W\\sub\\"},
        {L"C:\\W\\sub\\", L"C:\\W\\"},    {L"\\\\srv\\share\\x\\", L"\\\\srv\\share\\"},
        {L"C:\\a\\", L"C:\\"},            {L"a.txt\\", L""},  // fewer than two backslashes
        {L"a.txt", L""},                  {L"", L""},
    };
    for (const auto& [item, parent] : cases) {
        State().lastEventParent.Assign(L"stale");
        SetLastEventParent(item);
        EXPECT_EQ(std::wstring(State().lastEventParent.Str()), parent) << Ansi(item);
    }
    SetLastEventParent(nullptr);
    EXPECT_TRUE(State().lastEventParent.Empty());
}

TEST_F(PathHelpersTest, ItemDirIsTheLocalFolderOfAFileOrTheFolderItself) {
    const std::tuple<const wchar_t*, int, const char*> cases[] = {
        {L"C:\\W\\sub\\a.txt\\", 0, "C:\\W\\sub\\"}, {L"C:\\W\\sub\\a.txt", 0, "C:\\W\\sub\\"},
        {L"C:\\W\\sub\\", 1, "C:\\W\\sub\\"},        {L"C:\\W\\sub\\", 0, "C:\\W\\"},
        {L"C:\\", 0, ""},  {L"a.txt", 0, ""},  {L"a\\", 0, "a\\"},  {L"", 0, ""},
        {L"C:\\W\\日本.txt\\", 0, "C:\\W\\"},
    };
    for (const auto& [item, isFolder, dir] : cases) {
        State().itemDir.Assign("stale");
        State().eventIsFolder = isFolder;
        SetItemDir(item);
        EXPECT_EQ(ItemDir(), dir) << Ansi(item) << " folder " << isFolder;
    }
    SetItemDir(nullptr);
    EXPECT_TRUE(State().itemDir.Empty());
}

TEST_F(PathHelpersTest, LeafNameIsTheFileNameCutTo259BytesOrTheFolderBelowItsRoot) {
    const std::tuple<std::wstring, std::string> cases[] = {
        {L"C:\\W\\sub\\a.txt\\", "a.txt"},
        {L"C:\\W\\Makefile\\", "Makefile"},
        {L"C:\\W\\archive.tar.gz\\", "archive.tar.gz"},
        {L"C:\\W\\a.txt", "W"},  // without the final backslash the last cut takes the name
        {L"C:a.txt\\", "a.txt"},
        {L"\\", ""},
        {L"C:\\W\\" + std::wstring(300, L'n') + L".txt\\", std::string(259, 'n')},
    };
    for (const auto& [item, leaf] : cases) {
        State().eventLeafName.Assign("stale");
        State().eventIsFolder = 0;
        SetLeafName(item.c_str());
        EXPECT_EQ(Leaf(), leaf) << Ansi(item);
    }

    RegisterW();
    State().eventIsFolder = 1;
    SetLeafName(L"C:\\W\\sub\\");
    EXPECT_EQ(Leaf(), "/sub/");
    EXPECT_EQ(ItemDir(), "C:\\W\\sub\\");
    EXPECT_EQ(std::string(State().relativeDir.Str()), "/sub/");
    SetLeafName(L"C:\\W\\");
    EXPECT_EQ(Leaf(), "/");
}

TEST_F(PathHelpersTest, FolderTestListsTheFolderAndFailsForFilesAndDeletedFolders) {
    std::filesystem::create_directory(data / "sub");
    WriteFileBytes(data / "a.txt", "x");
    const std::wstring base = data.Path().wstring();
    EXPECT_TRUE(IsFolderPath((base + L"\\sub\\").c_str()));
    EXPECT_FALSE(IsFolderPath((base + L"\\a.txt\\").c_str()));
    EXPECT_FALSE(IsFolderPath((base + L"\\missing\\").c_str()));
    std::filesystem::remove(data / "sub");
    EXPECT_FALSE(IsFolderPath((base + L"\\sub\\").c_str()));
    // Any text the shell gives, names outside ASCII included.
    std::filesystem::create_directory(data.Path() / std::filesystem::path(u8"日本 é"));
    EXPECT_TRUE(IsFolderPath((base + L"\\日本 é\\").c_str()));
    EXPECT_FALSE(IsFolderPath(nullptr));
}

// In code page 932 the second byte of 表 (95 5C) and of ソ (83 5C) has the value
// of a backslash: a byte-wise search would cut these names in two.
TEST_F(PathHelpersTest, CodePage932NamesWithBackslashTrailBytesComeOutWhole) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    const std::string hyo = "\x95\x5C", so = "\x83\x5C";  // 表, ソ

    State().eventIsFolder = 0;
    SetItemDir(L"C:\\W\\表\\");
    EXPECT_EQ(ItemDir(), "C:\\W\\");
    SetItemDir(L"C:\\表\\ソ.txt\\");
    EXPECT_EQ(ItemDir(), "C:\\" + hyo + "\\");
    SetLeafName(L"C:\\W\\表\\");
    EXPECT_EQ(Leaf(), hyo);
    SetLeafName(L"C:\\W\\ソ表.txt\\");
    EXPECT_EQ(Leaf(), so + hyo + ".txt");
    // 129 characters of two bytes each: the cut at 259 bytes keeps them whole.
    SetLeafName((L"C:\\W\\" + std::wstring(200, L'表') + L"\\").c_str());
    EXPECT_EQ(ToWideString(State().eventLeafName.Str()), std::wstring(129, L'表'));

    RegisterW();
    State().eventIsFolder = 1;
    SetLeafName(L"C:\\W\\表\\ソ\\");
    EXPECT_EQ(Leaf(), "/" + hyo + "/" + so + "/");
}

}  // namespace
