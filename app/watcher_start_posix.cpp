#include <utime.h>

#include "app/watcher_start.h"

bool SetFileTimes(const char* path, int64_t seconds) {
    utimbuf times{};
    times.actime = static_cast<time_t>(seconds);
    times.modtime = static_cast<time_t>(seconds);
    return utime(path, &times) == 0;
}
