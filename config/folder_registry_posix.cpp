// Native stand-in for the registry's lock: an flock on a lock file beside it,
// made re-entrant per thread like the Windows mutex.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "config/folder_registry.h"

namespace {

thread_local int lockDepth = 0;
thread_local int lockFile = -1;

}  // namespace

RegistryLock::RegistryLock(const char* path, uint32_t waitMs) {
    if (lockDepth > 0) {
        ++lockDepth;
        held = true;
        return;
    }
    std::string name = std::string(path ? path : "") + ".lock";
    for (char& ch : name) {
        if (ch == '\\') ch = '/';
    }
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            close(fd);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    lockFile = fd;
    lockDepth = 1;
    held = true;
}

RegistryLock::~RegistryLock() {
    if (!held || --lockDepth > 0) return;
    flock(lockFile, LOCK_UN);
    close(lockFile);
    lockFile = -1;
}
