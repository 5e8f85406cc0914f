#include "app/initialize_watcher_win.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/folder_key.h"
#include "app/start_refusal.h"
#include "base/text_conversion.h"
#include "app/watcher_start.h"
#include "base/watcher_state.h"
#include "sync/command_buffer.h"
#include "base/win_handles.h"

HRESULT InitializeWatcher(REFIID riid, void** item) {
    return InitializeWatcherFrom(GetCommandLineW(), riid, item);
}

HRESULT InitializeWatcherFrom(const wchar_t* commandLine, REFIID riid, void** item) {
    *item = nullptr;
    WatcherState& state = State();
    CreateCommandBuffer(state.commands);

    int argc = 0;
    UniqueArgv argv(CommandLineToArgvW(commandLine, &argc));
    if (!argv || argc < 2) return E_FAIL;

    std::vector<std::wstring> arguments(argv.Get() + 1, argv.Get() + argc);
    if (!ApplyArguments(arguments, state)) {
        // Truncating would watch another folder.
        RefuseToStart(StartRefusal::kFolderTooLong);
        return E_FAIL;
    }
    ToAnsi(state.watchedPathW.CStr(), state.watchedPath);
    state.processId = GetCurrentProcessId();
    DeriveFolderKey(state.watchedPathW.CStr(), state.folderKey);
    const char* appData = std::getenv("APPDATA");
    if (!BuildFileNames(appData ? appData : "", state)) {
        RefuseToStart(StartRefusal::kFileNamesTooLong);
        return E_FAIL;
    }

    StartWatcher();

    if (state.watchedPathW.Empty()) return E_FAIL;
    HRESULT hr = SHCreateItemFromParsingName(state.watchedPathW.CStr(), nullptr, riid, item);
    if (SUCCEEDED(hr)) return hr;

    wchar_t relative[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, relative);
    if (!PathAppendW(relative, state.watchedPathW.CStr())) return E_FAIL;
    return SHCreateItemFromParsingName(relative, nullptr, riid, item);
}
