#include "notify/process_coordination.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "app/seams.h"
#include "support/state_fixture.h"

namespace {

TEST(ProcessIdText, LeadingDigitsAreTheIdAndAnythingElseIsZero) {
    const std::tuple<const char*, uint32_t> cases[] = {
        {"4711", 4711}, {"4711\n", 4711}, {"12abc", 12}, {"0", 0},    {"abc", 0},  {"", 0},
        {" 12", 0},     {"-12", 0},       {"4294967295", 4294967295u}, {"4294967296", 0},
        {"99999999999999999999", 0},
    };
    for (const auto& [text, id] : cases) EXPECT_EQ(ParseProcessId(text), id) << text;
}

TEST(ImageNames, WatcherIsTheExactFileNameAndTrayAppAnywhereInThePath) {
    const std::tuple<const wchar_t*, bool, bool> cases[] = {
        {L"C:\\Program Files\\xq\\PellaroCNW.exe", true, false},
        {L"C:/x/PellaroCNW.EXE", true, false},
        {L"C:PellaroCNW.exe", true, false},
        {L"PellaroCNW", true, false},
        {L"C:\\x\\pellarocnw.exe", false, false},
        {L"C:\\x\\PellaroCNW2.exe", false, false},
        {L"C:\\x\\PellaroCNW.old.exe", false, false},
        {L"C:\\PellaroCNW\\notepad.exe", false, false},
        {L"D:\\anywhere\\deep\\plkSysTrayApp.exe", false, true},
        {L"C:\\xq\\plksystrayapp.exe", false, false},
        {L"C:\\xq\\PlkSysTrayApp.exe", false, false},
        {L"", false, false},
    };
    for (const auto& [path, watcher, tray] : cases) {
        EXPECT_EQ(IsWatcherImagePath(path), watcher) << path;
        EXPECT_EQ(IsTrayAppImagePath(path), tray) << path;
    }
}

TEST(VolumeRoot, DriveLettersAndUncSharesGiveTheirRoot) {
    const std::tuple<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\w\\x", L"C:\\"},  {L"Z:", L"Z:\\"},  {L"Z:\\", L"Z:\\"},
        {L"\\\\srv\\share\\w", L"\\\\srv\\share\\"},  {L"\\\\srv\\share", L"\\\\srv\\share\\"},
        {L"\\\\srv", L""},  {L"\\\\\\share", L""},  {L"relative\\x", L""},  {L"", L""},
    };
    for (const auto& [path, root] : cases) EXPECT_EQ(VolumeRootOf(path), root) << path;
}

std::vector<uint32_t> ended;
void RecordEnd(uint32_t code) { ended.push_back(code); }

class OwnProcessEnd : public StateTest {};

TEST_F(OwnProcessEnd, EndingTheOwnProcessGoesThroughTheSeamWithCode0) {
    ended.clear();
    CurrentSeams().endProcess = RecordEnd;
    EXPECT_EQ(CloseAndTerminate(CurrentProcessId()), kCloseTerminated);
    EXPECT_EQ(ended, std::vector<uint32_t>{0});
}

}  // namespace
