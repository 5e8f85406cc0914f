#pragma once
// The window enumeration callback of CloseAndTerminate, for tests that post to
// a process's windows without ending it.

#include <windows.h>

// Posts WM_CLOSE (both parameters 0) to `window` when the process `processId`
// owns it; always goes on with the next window.
BOOL CALLBACK PostCloseToProcessWindows(HWND window, LPARAM processId);
