#pragma once
// The change event handler's Win32 side: turns the shell items of one change
// notification into path texts and hands them to HandleChangeEvent. Dialog
// thread only.
//
// An event without a first item, or an item whose path text the shell cannot
// give, is skipped: every rule of the handler works on those texts.

#include <windows.h>
#include <shobjidl.h>

void HandleShellChange(long event, IShellItem2* first, IShellItem2* second);
