#include <windows.h>

#include <string>

#include "base/win_handles.h"
#include "watch/path_helpers.h"

namespace {

// Below MAX_PATH a path is taken as it is; longer, a drive or UNC path gets
// the "\\?\" prefix, without which the search fails for every folder deeper
// than MAX_PATH and each of them would count as a file.
std::wstring SearchPattern(const wchar_t* itemPath) {
    std::wstring pattern(itemPath);
    pattern.push_back(L'*');
    if (pattern.size() < MAX_PATH || pattern.starts_with(L"\\\\?\\")) return pattern;
    if (pattern.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + pattern.substr(2);
    if (pattern.size() > 2 && pattern[1] == L':' && pattern[2] == L'\\') {
        return L"\\\\?\\" + pattern;
    }
    return pattern;
}

}  // namespace

bool IsFolderPath(const wchar_t* itemPath) {
    if (!itemPath || !*itemPath) return false;
    // The pattern lists the contents of the path: a folder always yields at
    // least "." (or, for a drive root, its entries), a file or a deleted item
    // nothing.
    const std::wstring pattern = SearchPattern(itemPath);
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW(pattern.c_str(), &found));
    return static_cast<bool>(search);
}
