// Catches: switches or the folder misread, wrong keys and file names, long names overrunning.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <tuple>

#include "app/folder_key.h"
#include "base/text_conversion.h"

namespace {

TEST(CommandLineTest, SwitchesAndFolderFollowTheRules) {
    // arguments, folder, -dependent, -nowatch, -restart
    const std::tuple<std::vector<std::wstring>, std::wstring, std::vector<int>> cases[] = {
        {{L"-nowatch", L"\"C:\\My Files\""}, L"C:\\My Files", {0, 1, 0}},
        {{L"C:\\A", L"C:\\B"}, L"C:\\B", {0, 0, 0}},  // the last folder wins
        {{L"/dependent", L"-Dependent", L"-nowatchx", L"C:\\W"}, L"C:\\W", {0, 0, 0}},
        {{L"-restart", L"C:\\W", L"-dependent", L"-nowatch"}, L"C:\\W", {1, 1, 1}},
        {{L"-restart", L"-bogus"}, L"", {0, 0, 1}},
        {{L"\"\"C:\\Q\"\""}, L"\"C:\\Q\"", {0, 0, 0}},  // only the enclosing pair goes
        // A switch is compared on its first 99 characters: padding never matches.
        {{L"-nowatch" + std::wstring(300, L'x'), L"C:\\W"}, L"C:\\W", {0, 0, 0}}};
    for (const auto& [arguments, folder, modes] : cases) {
        WatcherFields state;
        state.watchedPathW.Assign(L"stale");
        EXPECT_TRUE(ApplyArguments(arguments, state));
        EXPECT_EQ(std::wstring(state.watchedPathW.Str()), folder);
        EXPECT_EQ(std::vector<int>({state.dependentMode, state.noWatchMode, state.restartMode}),
                  modes)
            << ToAnsiString(folder);
    }
    WatcherFields state;
    EXPECT_FALSE(ApplyArguments({L"C:\\" + std::wstring(600, L'a')}, state));
    EXPECT_EQ(state.watchedPathW.Length(), 511u);
}

TEST(CommandLineTest, FolderKeysAndNamesThatDoNotFit) {
    const struct {
        const wchar_t* path;
        const char* key;
    } cases[] = {
        {L"C:\\Users\\user\\My Box", "C_Users_user_My_Box"},
        {L"\\\\srv\\share\\dir", "srv_share_dir"},
        {L"\\\\srv\\\\x", "srv__x"},  // only the first "\\" is a network prefix
        {L"C:\\a:b\\c", "C_a_b_c"},   // only the first ":\" becomes one "_"
        {L"", ""},
    };
    for (const auto& c : cases) {
        BoundedText<512> key;
        DeriveFolderKey(c.path, key);
        EXPECT_EQ(std::string(key.Str()), c.key);
    }
    WatcherFields s;
    // File names that do not fit are reported and cut, never overrun.
    EXPECT_FALSE(BuildDataDir("C:\\" + std::string(300, 'a'), s));
    EXPECT_EQ(s.dataDir.Length(), 259u);
    ASSERT_TRUE(BuildDataDir("C:\\AppData", s));
    s.folderKey.Assign(std::string(500, 'k'));
    EXPECT_FALSE(BuildFileNames("C:\\AppData", s));
    EXPECT_EQ(s.eventListPath.Length(), 511u);
    EXPECT_EQ(s.createdListPath.Length(), 511u);
}

}  // namespace
