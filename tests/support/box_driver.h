// Drives message boxes ("#32770") of any process on the desktop as a user would. Windows only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "support/process_win.h"

// The first visible box titled exactly `caption`, waiting up to timeoutMs; null when none came.
// Hidden dialogs of the same title (which FindWindowW would return) are skipped.
inline HWND FindBox(const std::wstring& caption, uint32_t timeoutMs) {
    return WaitForWindow(0, timeoutMs, [&](HWND window) {
        return WindowClass(window) == L"#32770" && IsWindowVisible(window) &&
               WindowText(window) == caption;
    });
}

// Presses the button with this id (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7) as a click would; false
// when the box has no such button. Posted, so a busy box or another process never blocks us.
inline bool PressButton(HWND box, int buttonId) {
    HWND button = GetDlgItem(box, buttonId);
    return button && PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                                  reinterpret_cast<LPARAM>(button));
}

// Waits for the window to be destroyed; true when it was in time.
inline bool WaitClosed(HWND box, uint32_t timeoutMs) {
    return WaitUntil([&] { return !IsWindow(box); }, timeoutMs);
}
