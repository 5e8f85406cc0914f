#include "notify/tray_pipe.h"

// The tray application exists only on Windows: natively the pipe never opens,
// as when the tray application is not running.
int32_t TrayPipeRequest(const char*, const char*) { return -1; }
