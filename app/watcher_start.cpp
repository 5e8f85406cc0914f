#include "app/watcher_start.h"

// The start and shutdown sequences attach here as their subsystems land; until
// then a watcher starts with the defaults and has nothing to release.
void StartWatcher() {}

void StopWatcher() {}
