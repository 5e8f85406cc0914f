// Native stand-in: there are no other watchers nor a tray application on the
// build machine. Only the own id can be ended (through the endProcess seam), and
// a process counts as a watcher when its executable is named PellaroCNW.
#include <unistd.h>

#include <climits>
#include <string>

#include "base/seams.h"
#include "base/text_conversion.h"
#include "notify/process_coordination.h"

int32_t CloseAndTerminate(uint32_t processId) {
    if (processId != CurrentProcessId()) return kCloseFailed;
    CurrentSeams().endProcess(0);
    return kCloseTerminated;
}

bool IsTrayAppRunning() { return false; }

bool IsWatcherProcess(const char* processIdText) {
    const uint32_t processId = ParseProcessId(processIdText ? processIdText : "");
    if (processId == 0) return false;
    const std::string link = "/proc/" + std::to_string(processId) + "/exe";
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length <= 0) return false;
    return IsWatcherImagePath(
        ToWideString(std::string_view(target, static_cast<std::size_t>(length))));
}

bool IsRemoteDrive() { return false; }
