#pragma once
// What a folder is on disk, for the overlap check: two texts that differ only
// by a link, a junction, a short (8.3) name or the case of their letters name
// the same folder, and a target must not reach the watched folder through any
// of them.

#include <string>

// `path` (a Windows path or path form) in path form as the file system knows
// it: every link and short name resolved, the letters as stored ("C:/Users/Ann/W").
// A folder that does not exist yet is its nearest existing ancestor, so
// resolved, with the names below it kept as given.
std::wstring FinalFolderPath(const std::wstring& path);

// Why the target folder (`target`, empty for a server) and the watched folder
// overlap once both are resolved, or empty when they lie apart.
std::string FolderOverlapReason(const std::wstring& target, const std::wstring& watched);
