#pragma once
// The change event handler's Win32 side: turns the shell items of one change
// notification into path texts and hands them to the handler's decisions.
// Dialog thread only.

#include <windows.h>
#include <shobjidl.h>

void HandleShellChange(long event, IShellItem2* first, IShellItem2* second);
