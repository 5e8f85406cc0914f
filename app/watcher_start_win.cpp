#include <sys/utime.h>

#include "app/watcher_start.h"

bool SetFileTimes(const char* path, int64_t seconds) {
    __utimbuf64 times{};
    times.actime = seconds;
    times.modtime = seconds;
    return _utime64(path, &times) == 0;
}
