// Catches: a refusal before start shown in English on a Japanese desktop (the locale read after
// it), the wrong refusal for a path, a refusal that lets the watcher go on.
#include <windows.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/entry_point_win.h"
#include "app/folder_key.h"
#include "app/initialize_watcher_win.h"
#include "app/start_refusal.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"

namespace {

uint32_t endedWith = 0;
void RecordEnd(uint32_t exitCode) { endedWith = exitCode; }

// APPDATA for one test, as the watcher reads it (the C runtime's copy).
class AppDataGuard {
public:
    explicit AppDataGuard(const std::string& value) {
        const char* old = std::getenv("APPDATA");
        saved = old ? old : "";
        _putenv(("APPDATA=" + value).c_str());
    }
    ~AppDataGuard() { _putenv(("APPDATA=" + saved).c_str()); }
    AppDataGuard(const AppDataGuard&) = delete;
    AppDataGuard& operator=(const AppDataGuard&) = delete;

private:
    std::string saved;
};

class StartRefusalTest : public StateTest {};

// Every run of the Wine tests on a Japanese desktop (user locale 1041) shows the Japanese texts.
TEST_F(StartRefusalTest, EachRefusalIsShownInTheDesktopsLanguageAndEndsTheProcess) {
    const uint32_t desktop = GetUserDefaultLCID();
    const struct {
        StartRefusal refusal;
        std::string appData;
        std::wstring folder;  // empty: the whole process from its entry point
    } rows[] = {
        {StartRefusal::kDataFolderTooLong, "C:\\" + std::string(300, 'a'), L""},
        {StartRefusal::kFolderTooLong, "C:\\data", L"C:\\" + std::wstring(600, L'b')},
        {StartRefusal::kFileNamesTooLong, "C:\\" + std::string(200, 'a'),
         L"C:\\" + std::wstring(400, L'b')},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.refusal));
        State().Reset();
        AppDataGuard appData(row.appData);
        BoxRecorder recorder;
        CurrentSeams().endProcess = RecordEnd;
        endedWith = 0;
        if (row.folder.empty()) {
            EXPECT_EQ(RunWatcherProcess(), 1);
        } else {
            // As the entry point leaves them for the dialog.
            State().userLcid = desktop;
            ASSERT_TRUE(BuildDataDir(row.appData, State()));
            void* item = nullptr;
            EXPECT_EQ(InitializeWatcherFrom((L"PellaroCNW.exe " + row.folder).c_str(),
                                            IID_IShellItem, &item),
                      E_FAIL);
            EXPECT_EQ(item, nullptr);
        }
        EXPECT_EQ(endedWith, 1u);
        ASSERT_EQ(recorder.Boxes().size(), 1u);
        EXPECT_EQ(recorder.Boxes()[0].caption, L"PellaroCNW");
        EXPECT_EQ(recorder.Boxes()[0].text, StartRefusalText(row.refusal, desktop))
            << "desktop locale " << desktop;
        EXPECT_STRNE(StartRefusalText(row.refusal, 1041), StartRefusalText(row.refusal, 1033));
    }
}

}  // namespace
