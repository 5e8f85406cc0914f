// registry_churn <data dir> <folder> <rounds> [<start event name>]
//
// Does what a watcher of <folder> does to the registry in <data dir>: claims or
// appends its entry (RegisterWatcher), then gives it back at close
// (SetRegistryOwner release), <rounds> times. After each step the file must
// hold exactly one entry for the folder, with this process's id after the
// registration and 0 after the release; anything else is a lost or doubled
// entry. With a start event it waits for the event first, so that several
// copies begin at the same moment.
//
// Exit code: the number of wrong steps (at most 100), or 200 for bad
// arguments. Each wrong step is described on standard error.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/seams.h"
#include "app/text_conversion.h"
#include "app/watcher_state.h"
#include "config/folder_registry.h"
#include "notify/process_coordination.h"

namespace {

int wrongSteps = 0;

int BoxOnStderr(const std::wstring& caption, const std::wstring& text, uint32_t) {
    std::fwprintf(stderr, L"message [%ls] %ls\n", caption.c_str(), text.c_str());
    ++wrongSteps;
    return -1;
}

void EndCalled(uint32_t code) {
    std::fprintf(stderr, "the registration ended the process with %u\n", code);
    ++wrongSteps;
}

// The owners of every entry for `folder` in the file as it is now.
std::string OwnersOf(const std::string& folder) {
    std::string content;
    std::string registryPath(State().dataDir.Str());
    registryPath += kRegistryPathSuffix;
    if (ReadRegistryFile(registryPath.c_str(), content) != RegistryRead::Ok) return "(unreadable)";
    std::string owners;
    for (std::string_view line : SplitRegistryLines(content)) {
        if (!IsRegistryEntry(line) || RegistryKey(line) != folder) continue;
        std::string value(RegistryValue(line));
        if (!value.empty() && value.back() == '\n') value.pop_back();
        owners += owners.empty() ? value : "," + value;
    }
    return owners;
}

void Expect(const std::string& folder, const std::string& owner, int round, const char* step) {
    const std::string owners = OwnersOf(folder);
    if (owners == owner) return;
    std::fprintf(stderr, "round %d, after %s: owners of %s are \"%s\", not \"%s\"\n", round, step,
                 folder.c_str(), owners.c_str(), owner.c_str());
    ++wrongSteps;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 200;
    CurrentSeams().showTimedBox = BoxOnStderr;
    CurrentSeams().endProcess = EndCalled;
    WatcherState& state = State();
    state.dataDir.Assign(ToAnsiString(argv[1]));
    state.watchedPath.Assign(ToAnsiString(argv[2]));
    state.processId = CurrentProcessId();
    const int rounds = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    if (argc > 4) {
        const HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
        if (!start) return 200;
        WaitForSingleObject(start, 30000);
        CloseHandle(start);
    }
    const std::string folder(state.watchedPath.Str());
    const std::string pid = std::to_string(state.processId);
    for (int round = 1; round <= rounds && wrongSteps < 100; ++round) {
        state.registryEntryTaken = 0;
        RegisterWatcher();
        Expect(folder, pid, round, "registering");
        SetRegistryOwner(folder.c_str(), false);
        Expect(folder, "0", round, "releasing");
    }
    return wrongSteps < 100 ? wrongSteps : 100;
}
