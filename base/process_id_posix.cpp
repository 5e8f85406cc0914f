#include <unistd.h>

#include "base/process_id.h"

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }
