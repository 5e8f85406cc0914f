#pragma once
// The watcher start (configuration, registry claim, left-over commands,
// start-up synchronisation, sync timer thread) and shutdown (registry release,
// save, last firing, timer stop). Both run on the dialog thread.

void StartWatcher();
void StopWatcher();
