#pragma once
// The watcher start (configuration, registry claim, left-over commands,
// start-up synchronisation, sync timer thread) and shutdown (timer and upload
// worker stop, save, last firing, registry release, buffer release). All run
// on the dialog thread.

#include <cstdint>

// The created-file list's times at a folder's first start: 1980-12-31 18:30:00 UTC.
constexpr int64_t kFirstStartMarkerTime = 347135400;

void StartWatcher();
void StopWatcher();

// The session ends (log-off, shutdown): no transfer starts any more; a firing
// or upload under way is waited for (a failed batch keeps its send list), the
// pending commands are saved to the event list file and the registry entry is
// released.
void EndWatcherSession();

// Platform glue: sets the access and modification times of `path` (ANSI) to
// `seconds` since 1970; false when they could not be set.
bool SetFileTimes(const char* path, int64_t seconds);
