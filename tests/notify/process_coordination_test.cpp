// Catches: owner ids misread, other programs taken for a watcher or the tray, wrong volume roots.
#include "notify/process_coordination.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(ProcessCoordinationTest, IdsImageNamesAndVolumeRoots) {
    const std::tuple<const char*, uint32_t> ids[] = {
        {"4711\n", 4711}, {"12abc", 12}, {" 12", 0}, {"-12", 0}, {"4294967296", 0}};
    for (const auto& [text, id] : ids) EXPECT_EQ(ParseProcessId(text), id) << text;

    // The watcher is the exact file name (either case of the extension), the
    // tray application its exact name in any folder.
    const std::tuple<const wchar_t*, bool, bool> images[] = {
        {L"C:\\Program Files\\xq\\PellaroCNW.exe", true, false},
        {L"C:/x/PellaroCNW.EXE", true, false},
        {L"C:\\x\\pellarocnw.exe", false, false},
        {L"C:\\PellaroCNW\\notepad.exe", false, false},
        {L"D:\\anywhere\\deep\\plkSysTrayApp.exe", false, true},
        {L"C:\\xq\\plksystrayapp.exe", false, false}};
    for (const auto& [path, watcher, tray] : images) {
        EXPECT_EQ(IsWatcherImagePath(path), watcher) << path;
        EXPECT_EQ(IsTrayAppImagePath(path), tray) << path;
    }

    const std::tuple<const wchar_t*, const wchar_t*> roots[] = {
        {L"C:\\w\\x", L"C:\\"},
        {L"Z:", L"Z:\\"},
        {L"\\\\srv\\share\\w", L"\\\\srv\\share\\"},
        {L"\\\\srv", L""},
        {L"relative\\x", L""}};
    for (const auto& [path, root] : roots) EXPECT_EQ(VolumeRootOf(path), root) << path;
}

}  // namespace
