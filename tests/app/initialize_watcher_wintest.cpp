// InitializeWatcher on real command lines and real folders.
#include "app/initialize_watcher_win.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdlib>
#include <filesystem>

#include "app/text_conversion.h"
#include "app/watcher_start.h"
#include "app/win_handles.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"

namespace {

class InitializeWatcherTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        const std::string appData = home.Ansi();
        ASSERT_EQ(_putenv_s("APPDATA", appData.c_str()), 0);
        State().dataDir.Assign(appData + "\\xq\\pellaro");
        std::filesystem::create_directories(home / "xq" / "pellaro");
        CurrentSeams().showTimedBox = [](const std::wstring&, const std::wstring& text, uint32_t) {
            refusals.push_back(text);
            return -1;
        };
        CurrentSeams().endProcess = [](uint32_t code) { endCodes.push_back(code); };
        refusals.clear();
        endCodes.clear();
    }
    void TearDown() override {
        StopWatcher();
        CoUninitialize();
        StateTest::TearDown();
    }

    HRESULT Run(const std::wstring& commandLine) {
        ComPtr<IShellItem2> item;
        const HRESULT hr = InitializeWatcherFrom(commandLine.c_str(), IID_PPV_ARGS(item.Put()));
        gotItem = static_cast<bool>(item);
        return hr;
    }

    TempDir home;
    bool gotItem = false;
    static inline std::vector<std::wstring> refusals;
    static inline std::vector<uint32_t> endCodes;
};

TEST_F(InitializeWatcherTest, AFolderGivesItsItemKeyAndFileNames) {
    const std::filesystem::path folder = home / "My Files";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(Run(L"PellaroCNW.exe -nowatch \"" + folder.wstring() + L"\""), S_OK);
    EXPECT_TRUE(gotItem);
    const WatcherState& s = State();
    EXPECT_EQ(std::wstring(s.watchedPathW.Str()), folder.wstring());
    EXPECT_EQ(std::string(s.watchedPath.Str()), ToAnsiString(folder.wstring()));
    EXPECT_EQ(s.noWatchMode, 1);
    EXPECT_EQ(s.processId, GetCurrentProcessId());
    EXPECT_EQ(s.commands.commandCapacity, 100);
    EXPECT_EQ(s.commands.commandCount, 0);
    const std::string key(s.folderKey.Str());
    EXPECT_EQ(key.find('\\'), std::string::npos);
    EXPECT_EQ(key.find(' '), std::string::npos);
    EXPECT_EQ(std::string(s.eventListPath.Str()), std::string(s.dataDir.Str()) + "\\" + key + ".txt");
    EXPECT_TRUE(refusals.empty());
}

TEST_F(InitializeWatcherTest, ARelativeFolderIsFoundFromTheCurrentFolder) {
    std::filesystem::create_directories(home / "rel");
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(home.Path().wstring().c_str()));
    const HRESULT hr = Run(L"PellaroCNW.exe rel");
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(gotItem);
}

TEST_F(InitializeWatcherTest, NoFolderFailsAfterTheWatcherStartForAnEmptyKey) {
    EXPECT_EQ(Run(L"PellaroCNW.exe -nowatch -restart"), E_FAIL);
    EXPECT_FALSE(gotItem);
    // The start-up ran with an empty folder key: the names were built from it.
    EXPECT_EQ(State().restartMode, 1);
    EXPECT_EQ(std::string(State().eventListPath.Str()), std::string(State().dataDir.Str()) + "\\.txt");
    EXPECT_EQ(State().processId, GetCurrentProcessId());
}

TEST_F(InitializeWatcherTest, NoArgumentFailsWithOnlyTheBufferSetUp) {
    EXPECT_EQ(Run(L"PellaroCNW.exe"), E_FAIL);
    EXPECT_EQ(State().commands.commandCapacity, 100);
    EXPECT_TRUE(State().eventListPath.Empty());
    EXPECT_EQ(State().processId, 0u);
}

TEST_F(InitializeWatcherTest, AFolderThatDoesNotExistGivesNoItem) {
    EXPECT_TRUE(FAILED(Run(L"PellaroCNW.exe Q:\\nowhere\\at\\all")));
    EXPECT_FALSE(gotItem);
}

TEST_F(InitializeWatcherTest, AnOverlongFolderIsRefusedNotTruncated) {
    EXPECT_EQ(Run(L"PellaroCNW.exe C:\\" + std::wstring(600, L'a')), E_FAIL);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].find(L"511"), std::wstring::npos);
    ASSERT_EQ(endCodes.size(), 1u);
    EXPECT_EQ(endCodes[0], 1u);
    EXPECT_FALSE(gotItem);
}

}  // namespace
