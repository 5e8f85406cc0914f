#include "app/entry_point_win.h"

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <new>
#include <string>

#include "app/folder_key.h"
#include "app/initialize_watcher_win.h"
#include "base/text_conversion.h"
#include "app/watcher_state.h"
#include "ui/change_notify_app_win.h"
#include "ui/res/resource.h"

bool CreateFolderWithParents(const wchar_t* path) {
    const std::wstring full(path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Create each level in turn; levels that exist (the drive, a share) fail harmlessly.
    for (std::size_t at = full.find(L'\\'); at != std::wstring::npos;
         at = full.find(L'\\', at + 1)) {
        if (at == 0 || full[at - 1] == L':' || full[at - 1] == L'\\') continue;
        CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(full.c_str(), nullptr);
    attributes = GetFileAttributesW(full.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int RunWatcherProcess() {
    WatcherState& state = State();
    state.dataDir.Clear();
    state.verbose = 0;
    if (const char* verbose = std::getenv("gVerbose")) state.verbose = std::atoi(verbose);
    state.toolDir = std::getenv("PLDIR");
    const char* appData = std::getenv("APPDATA");
    if (!BuildDataDir(appData ? appData : "", state)) {
        RefuseToStart(
            L"The data folder path (APPDATA\\xq\\pellaro) is longer than 259 "
            L"characters.\nThe watcher does not start.");
        return 1;
    }
    state.userLcid = GetUserDefaultLCID();

    // Created synchronously, parents included: the first file writes must not
    // race the creation. A failure is not reported; what needs the folder fails.
    CreateFolderWithParents(ToWideString(state.dataDir.Str()).c_str());

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
        return 0;
    if (auto* app = new (std::nothrow) CChangeNotifyApp()) {
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WATCHER), nullptr,
                        CChangeNotifyApp::DialogProcedure, reinterpret_cast<LPARAM>(app));
        app->Release();
    }
    CoUninitialize();
    return 0;
}
