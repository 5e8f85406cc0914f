#include <windows.h>

#include "base/process_id.h"

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }
