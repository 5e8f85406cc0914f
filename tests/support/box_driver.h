// Drives message boxes ("#32770") of any process on the desktop as a user would. Windows only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "support/process_win.h"

inline std::wstring BoxCaption(HWND box) { return WindowText(box); }

// The box's message text (the static control 0xFFFF; line feeds kept). WM_GETTEXT, which
// GetDlgItemTextW sends, reads a control of another process too.
inline std::wstring BoxText(HWND box) {
    std::wstring text(8192, L'\0');
    text.resize(GetDlgItemTextW(box, 0xFFFF, text.data(), 8192));
    return text;
}

// The first visible message box titled exactly `caption`, null when there is none. EnumWindows
// rather than FindWindowW: hidden dialogs of the same title are skipped.
inline HWND FindBoxNow(const std::wstring& caption) {
    std::pair<const std::wstring*, HWND> search{&caption, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto& [wanted, found] = *reinterpret_cast<std::pair<const std::wstring*, HWND>*>(param);
            if (WindowClass(window) == L"#32770" && IsWindowVisible(window) &&
                WindowText(window) == *wanted) {
                found = window;
            }
            return found == nullptr;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.second;
}

// The same, waiting up to timeoutMs for one to appear.
inline HWND FindBox(const std::wstring& caption, uint32_t timeoutMs) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindBoxNow(caption)) != nullptr; }, timeoutMs);
    return box;
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
