// Native stand-in for the folder test: the item path with its final separator
// names a folder when the file system says so. Native tests use paths of this
// system with "/" or "\\" as separators.
#include <filesystem>
#include <string>

#include "watch/path_helpers.h"

bool IsFolderPath(const wchar_t* itemPath) {
    if (!itemPath || !*itemPath) return false;
    std::wstring path(itemPath);
    for (wchar_t& ch : path) {
        if (ch == L'\\') ch = L'/';
    }
    std::error_code ec;
    return std::filesystem::is_directory(std::filesystem::path(path), ec);
}
