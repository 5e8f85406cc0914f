#include "app/entry_point_win.h"

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <new>
#include <string>

#include "app/folder_key.h"
#include "app/initialize_watcher_win.h"
#include "app/start_refusal.h"
#include "app/watcher_start.h"
#include "base/file_ops.h"
#include "base/watcher_state.h"
#include "ui/change_notify_app_win.h"
#include "ui/res/resource.h"

int RunWatcherProcess() {
    WatcherState& state = State();
    state.dataDir.Clear();
    state.verbose = 0;
    if (const char* verbose = std::getenv("gVerbose")) state.verbose = std::atoi(verbose);
    // First: every text, the refusals before start too, is in the user's language.
    state.userLcid = GetUserDefaultLCID();
    state.toolDir = std::getenv("PLDIR");
    const char* appData = std::getenv("APPDATA");
    if (!BuildDataDir(appData ? appData : "", state)) {
        RefuseToStart(StartRefusal::kDataFolderTooLong);
        return 1;
    }

    // Created synchronously, parents included: the first file writes must not
    // race the creation. A failure is not reported; what needs the folder fails.
    static_cast<void>(CreateFolderWithParents(std::string(state.dataDir.Str())));

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
        return 0;
    if (auto* app = new (std::nothrow)
            CChangeNotifyApp({InitializeWatcher, StopWatcher, EndWatcherSession})) {
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WATCHER), nullptr,
                        CChangeNotifyApp::DialogProcedure, reinterpret_cast<LPARAM>(app));
        app->Release();
    }
    CoUninitialize();
    return 0;
}
