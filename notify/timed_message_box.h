#pragma once
// A standard message box that closes by itself: a timer on an invisible
// scratch window posts WM_QUIT into the box's modal loop, and the re-posted
// WM_QUIT is removed afterwards so the caller's own loop keeps running.
// Any thread may show one; everything but the window class belongs to the call.

#include <cstdint>

// Shows the box (MB_OK, no owner) on the calling thread and returns when it
// has closed: the MessageBoxW result (1 for OK), or -1 when the time-out closed it.
int32_t TimedMessageBox(const wchar_t* text, const wchar_t* caption, uint32_t timeoutMs);
