#pragma once
#include <windows.h>

// Sets up everything that depends on the watched folder (command line, folder
// key, per-folder file names, the watcher start) and creates the shell item of
// the folder into *item. Called once, by the dialog while it initialises.
HRESULT InitializeWatcher(REFIID riid, void** item);

// The same for a given command line (the program name first).
HRESULT InitializeWatcherFrom(const wchar_t* commandLine, REFIID riid, void** item);
