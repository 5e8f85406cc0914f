#pragma once
// The watcher process from start to end: environment, data folder, COM, the
// hidden modal dialog. Returns the exit status (0).
int RunWatcherProcess();
