#pragma once
// plftp's command line, exactly as the watcher composes it:
//   plftp -f CONFIG [-filelist LIST] -path FOLDER

#include <string>
#include <vector>

struct ToolOptions {
    std::wstring configPath;
    std::wstring fileList;  // empty: a whole-folder synchronisation
    std::wstring folder;
};

// The arguments after the program name; false for anything else than the
// form above.
bool ParseToolArguments(const std::vector<std::wstring>& arguments, ToolOptions& options);
