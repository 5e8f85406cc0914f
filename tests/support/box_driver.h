#pragma once
// Drives standard message boxes (dialog class "#32770") the way a user would:
// find one by its caption, read its text, press a button, wait for it to go.
// Works on boxes of this process and of other processes on the same desktop.
// Windows build only.

#include <windows.h>

#include <cstdint>
#include <string>

// The first visible message box whose title is exactly `caption`, waiting up to
// timeoutMs for one to appear; null when none did.
HWND FindBox(const std::wstring& caption, uint32_t timeoutMs);

// Whether a visible message box with this caption exists now.
bool BoxExists(const std::wstring& caption);

// The box's message text (the static control 0xFFFF; line feeds kept).
std::wstring BoxText(HWND box);

// The box's title.
std::wstring BoxCaption(HWND box);

// Presses the button with this id (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7) as a
// click would; false when the box has no such button.
bool PressButton(HWND box, int buttonId);

// Waits up to timeoutMs for the window to be destroyed; true when it was.
bool WaitClosed(HWND box, uint32_t timeoutMs);
