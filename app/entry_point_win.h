#pragma once
// The watcher process from start to end: environment, data folder, COM, the
// hidden modal dialog. Returns the exit status (0).
int RunWatcherProcess();

// Creates `path` and every missing parent; true when it exists afterwards.
bool CreateFolderWithParents(const wchar_t* path);
