#pragma once
// plftp's command line, as the watcher composes it:
//   plftp [-changes | -replace] -f CONFIG [-filelist LIST] -path FOLDER
// -changes sends only what changed in the folder since the last sync (the
// watcher's start); -replace makes a whole-folder run a copy that replaces
// what the receiving side has (a user's explicit choice, never the watcher's).

#include <cstdint>
#include <string>
#include <vector>

enum class RunMode : uint8_t { kNormal, kChanges, kReplace };

struct ToolOptions {
    RunMode mode = RunMode::kNormal;
    std::wstring configPath;
    std::wstring fileList;  // empty: a whole-folder synchronisation
    std::wstring folder;
};

// The arguments after the program name; false for anything else than the
// form above.
bool ParseToolArguments(const std::vector<std::wstring>& arguments, ToolOptions& options);
