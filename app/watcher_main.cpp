#include <windows.h>

#include "app/entry_point_win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Load DLLs only from the system folder and our own, never from the
    // current folder or PATH.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    return RunWatcherProcess();
}
