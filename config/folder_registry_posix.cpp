// Native stand-in for the registry file access: stdio files (text mode is the
// identity here), a rename over the old file, and an flock on a lock file
// beside it, made re-entrant per thread like the Windows mutex.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "config/folder_registry.h"

namespace {

constexpr auto kLockWait = std::chrono::seconds(30);

thread_local int lockDepth = 0;
thread_local int lockFile = -1;

// The registry path is dataDir + "\\cnwfolder.txt"; here "/" separates.
std::string NativePath(const char* path) {
    std::string native(path ? path : "");
    for (char& ch : native) {
        if (ch == '\\') ch = '/';
    }
    return native;
}

}  // namespace

RegistryRead ReadRegistryFile(const char* path, std::string& content) {
    content.clear();
    std::FILE* file = std::fopen(NativePath(path).c_str(), "rb");
    if (!file) return errno == ENOENT ? RegistryRead::Missing : RegistryRead::Failed;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? RegistryRead::Failed : RegistryRead::Ok;
}

bool ReplaceRegistryFile(const char* path, std::string_view content) {
    const std::string target = NativePath(path);
    const std::string temporary = target + "." + std::to_string(getpid()) + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size() &&
                         std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), target.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

RegistryLock::RegistryLock(const char* path) {
    if (lockDepth > 0) {
        ++lockDepth;
        held = true;
        return;
    }
    const std::string name = NativePath(path) + ".lock";
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
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
