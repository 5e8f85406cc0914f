#include "app/command_line.h"

#include <gtest/gtest.h>

#include "support/state_fixture.h"

namespace {

struct SwitchCase {
    const char* name;
    std::vector<std::wstring> arguments;
    std::wstring folder;
    int dependent, noWatch, restart;
};

class CommandLineTest : public StateTest {};

TEST_F(CommandLineTest, SwitchesAndFolderFollowTheRules) {
    const SwitchCase cases[] = {
        {"quoted folder after -nowatch", {L"-nowatch", L"\"C:\\My Files\""}, L"C:\\My Files", 0, 1, 0},
        {"later folder replaces earlier", {L"C:\\A", L"C:\\B"}, L"C:\\B", 0, 0, 0},
        {"slash form is a switch, ignored", {L"/dependent", L"C:\\W"}, L"C:\\W", 0, 0, 0},
        {"comparison is case-sensitive", {L"-Dependent", L"C:\\W"}, L"C:\\W", 0, 0, 0},
        {"all three in any order", {L"-restart", L"C:\\W", L"-dependent", L"-nowatch"}, L"C:\\W", 1, 1, 1},
        {"longer word is not the switch", {L"-nowatchx", L"C:\\W"}, L"C:\\W", 0, 0, 0},
        {"only switches leave the folder empty", {L"-restart", L"-bogus"}, L"", 0, 0, 1},
        {"a lone quote is kept", {L"\""}, L"\"", 0, 0, 0},
        {"only the enclosing pair goes", {L"\"\"C:\\Q\"\""}, L"\"C:\\Q\"", 0, 0, 0},
    };
    for (const SwitchCase& c : cases) {
        SCOPED_TRACE(c.name);
        WatcherFields state;
        state.watchedPathW.Assign(L"stale");
        EXPECT_TRUE(ApplyArguments(c.arguments, state));
        EXPECT_EQ(std::wstring(state.watchedPathW.Str()), c.folder);
        EXPECT_EQ(state.dependentMode, c.dependent);
        EXPECT_EQ(state.noWatchMode, c.noWatch);
        EXPECT_EQ(state.restartMode, c.restart);
    }
}

TEST_F(CommandLineTest, SwitchIsComparedOnItsFirst99Characters) {
    // A switch longer than 99 characters is cut before comparing, so padding
    // after the word never makes it match, and the cut itself never overruns.
    WatcherFields state;
    std::wstring longSwitch = L"-nowatch" + std::wstring(300, L'x');
    EXPECT_TRUE(ApplyArguments({longSwitch, L"C:\\W"}, state));
    EXPECT_EQ(state.noWatchMode, 0);
}

TEST_F(CommandLineTest, FolderLongerThanTheFieldIsReported) {
    WatcherFields state;
    const std::wstring longFolder = L"C:\\" + std::wstring(600, L'a');
    EXPECT_FALSE(ApplyArguments({longFolder}, state));
    EXPECT_EQ(state.watchedPathW.Length(), 511u);
    // A later folder that fits does not hide an earlier overlong one? It does:
    // the last folder wins, so only its length counts.
    EXPECT_TRUE(ApplyArguments({longFolder, L"C:\\short"}, state));
    EXPECT_EQ(std::wstring(state.watchedPathW.Str()), L"C:\\short");
}

}  // namespace
