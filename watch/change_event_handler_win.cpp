#include "watch/change_event_handler_win.h"

// The handler's decisions attach here.
void HandleShellChange(long, IShellItem2*, IShellItem2*) {}
