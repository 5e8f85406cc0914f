#include "notify/process_coordination.h"

#include <limits>

#include "base/watcher_state.h"
#include "notify/message_catalogue.h"

bool IsRunningWatcher(const char* processIdText) {
    if (!IsWatcherProcess(processIdText)) return false;
    ShowMessage(kMsgAlreadyWatched, State().watchedPath.CStr());
    return true;
}

uint32_t ParseProcessId(std::string_view text) {
    uint64_t value = 0;
    std::size_t digits = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') break;
        value = value * 10 + static_cast<uint64_t>(ch - '0');
        if (value > std::numeric_limits<uint32_t>::max()) return 0;
        ++digits;
    }
    return digits == 0 ? 0 : static_cast<uint32_t>(value);
}

bool IsWatcherImagePath(std::wstring_view executablePath) {
    // The file name as the C runtime splits a path: after the last "\" or "/"
    // (or after a drive), up to the last ".".
    std::wstring_view name = executablePath;
    const std::size_t separator = name.find_last_of(L"\\/");
    if (separator != name.npos) {
        name.remove_prefix(separator + 1);
    } else if (name.size() >= 2 && name[1] == L':') {
        name.remove_prefix(2);
    }
    const std::size_t dot = name.rfind(L'.');
    if (dot != name.npos) name = name.substr(0, dot);
    return name == kWatcherImageStem;
}

bool IsTrayAppImagePath(std::wstring_view modulePath) {
    return modulePath.find(kTrayAppImageName) != modulePath.npos;
}

std::wstring VolumeRootOf(std::wstring_view path) {
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        // \\server\share\ : the first two components after the prefix.
        const std::size_t serverEnd = path.find(L'\\', 2);
        if (serverEnd == path.npos || serverEnd == 2) return {};
        const std::size_t shareEnd = path.find(L'\\', serverEnd + 1);
        if (shareEnd == serverEnd + 1) return {};
        std::wstring root(path.substr(0, shareEnd == path.npos ? path.size() : shareEnd));
        root += L'\\';
        return root;
    }
    if (path.size() >= 2 && path[1] == L':') {
        std::wstring root(path.substr(0, 2));
        root += L'\\';
        return root;
    }
    return {};
}
