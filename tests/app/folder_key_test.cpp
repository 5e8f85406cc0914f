#include "app/folder_key.h"

#include <gtest/gtest.h>

#include "app/text_conversion.h"
#include "support/state_fixture.h"

namespace {

class FolderKeyTest : public StateTest {};

TEST_F(FolderKeyTest, KeysFollowTheReplacementOrder) {
    ASSERT_TRUE(SelectAnsiCodePage(CurrentAnsiCodePage()));
    const struct {
        const wchar_t* path;
        const char* key;
    } cases[] = {
        {L"C:\\Users\\user\\My Box", "C_Users_user_My_Box"},
        {L"\\\\srv\\share\\dir", "srv_share_dir"},
        {L"C:\\Data\\", "C_Data_"},
        {L"C:", "C_"},
        {L"", ""},
        // Only the first "\\" is a network prefix; a second pair is two separators.
        {L"\\\\srv\\\\x", "srv__x"},
        // Only the first ":\" becomes one "_"; a later ":" goes through rule 3.
        {L"C:\\a:b\\c", "C_a_b_c"},
        {L"a b  c", "a_b__c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "path: " << ToAnsiString(c.path));
        BoundedText<512> key;
        DeriveFolderKey(c.path, key);
        EXPECT_EQ(std::string(key.Str()), c.key);
    }
}

TEST_F(FolderKeyTest, ReplaceFirstReplacesOnlyTheFirstAndCutsToFit) {
    BoundedWText<16> text(L"a-b-c");
    EXPECT_EQ(std::wstring(ReplaceFirst(text, L"-", L"+")), L"a+b-c");
    EXPECT_EQ(std::wstring(ReplaceFirst(text, L"zz", L"+")), L"a+b-c");  // absent: unchanged
    // Cut to the 15 characters the text holds.
    EXPECT_EQ(std::wstring(ReplaceFirst(text, L"-", L"0123456789ABCDEF")), L"a+b0123456789AB");
    EXPECT_EQ(std::wstring(ReplaceFirst(text, L"", L"x")), L"a+b0123456789AB");  // empty needle
    EXPECT_EQ(text.Length(), 15u);
}

TEST_F(FolderKeyTest, EveryPerFolderFileNameIsBuilt) {
    WatcherFields s;
    ASSERT_TRUE(BuildDataDir("C:\\Users\\u\\AppData\\Roaming", s));
    DeriveFolderKey(L"C:\\Users\\user\\My Box", s.folderKey);
    ASSERT_TRUE(BuildFileNames("C:\\Users\\u\\AppData\\Roaming", s));
    const std::string dir = "C:\\Users\\u\\AppData\\Roaming\\xq\\pellaro";
    EXPECT_EQ(std::string(s.dataDir.Str()), dir);
    EXPECT_EQ(std::string(s.eventListPath.Str()), dir + "\\C_Users_user_My_Box.txt");
    EXPECT_EQ(std::string(s.sendListPath.Str()), dir + "\\~~C_Users_user_My_Box.txt");
    EXPECT_EQ(std::string(s.errorFilePath.Str()), dir + "\\C_Users_user_My_Box_plerror.txt");
    EXPECT_EQ(std::string(s.getConfigPath.Str()), dir + "\\C_Users_user_My_Box_get.config");
    EXPECT_EQ(std::string(s.putConfigPath.Str()), dir + "\\C_Users_user_My_Box_put.config");
    EXPECT_EQ(std::string(s.createdListName.Str()), "C_Users_user_My_Box_createdFileList.txt");
    EXPECT_EQ(std::string(s.createdListPath.Str()), dir + "\\C_Users_user_My_Box_createdFileList.txt");
}

TEST_F(FolderKeyTest, NamesThatDoNotFitAreReportedAndNeverOverrun) {
    WatcherFields s;
    const std::string longAppData = "C:\\" + std::string(300, 'a');
    EXPECT_FALSE(BuildDataDir(longAppData, s));
    EXPECT_EQ(s.dataDir.Length(), 259u);

    WatcherFields t;
    ASSERT_TRUE(BuildDataDir("C:\\AppData", t));
    t.folderKey.Assign(std::string(500, 'k'));
    EXPECT_FALSE(BuildFileNames("C:\\AppData", t));
    EXPECT_EQ(t.eventListPath.Length(), 511u);
    EXPECT_EQ(t.createdListPath.Length(), 511u);
    EXPECT_LE(t.createdListName.Length(), 511u);
}

}  // namespace
