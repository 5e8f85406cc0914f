#pragma once
// A standard message box that closes by itself: a timer on an invisible
// scratch window posts WM_QUIT into the box's modal loop, and the re-posted
// WM_QUIT is removed afterwards so the caller's own loop keeps running.
// Any thread may show one; everything but the window class belongs to the call.

#include <cstdint>

// Shows the box (MB_OK, no owner) on the calling thread and returns when it
// has closed: the MessageBoxW result (1 for OK), or -1 when the time-out closed
// it. A time-out of 0 means the box stays until the user closes it.
int32_t TimedMessageBox(const wchar_t* text, const wchar_t* caption, uint32_t timeoutMs);

#if defined(_WIN32)
#include <windows.h>

// Registers "ScratchWindow" (once is enough; later registrations fail
// harmlessly) and creates an invisible, ownerless instance whose window
// procedure is then replaced by `windowProcedure`. Null when creation fails.
// The window belongs to the calling thread, which must destroy it.
HWND CreateScratchWindow(WNDPROC windowProcedure);

// After a timed-out box: removes the re-posted WM_QUIT from the calling
// thread's queue, so that it cannot end the caller's own loop, and posts again,
// after it and in their order, the messages that were ahead of it for the
// thread and for its windows still there (not `scratch`'s, the box's own):
// among them can be the dialog's own (its event list flush, lost or held
// changes, a WM_CLOSE), which nobody posts twice.
void RemoveQuitKeepingTheRest(HWND scratch);

// The time-out timer's callback: marks the box's TimedBoxState as timed out and
// ends the box's modal loop with WM_QUIT.
void CALLBACK TimedBoxTimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD tickCount);
#endif
