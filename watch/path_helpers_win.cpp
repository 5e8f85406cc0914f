#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "base/win_handles.h"
#include "watch/path_helpers.h"

namespace {

// Below MAX_PATH a path is taken as it is; longer, a drive or UNC path gets
// the "\\?\" prefix, without which every call fails on it (a folder deeper
// than MAX_PATH would count as a file).
std::wstring LongForm(std::wstring path) {
    if (path.size() < MAX_PATH || path.starts_with(L"\\\\?\\")) return path;
    if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
    if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
    return path;
}

}  // namespace

bool IsFolderPath(const wchar_t* itemPath) {
    if (!itemPath || !*itemPath) return false;
    // The pattern lists the contents of the path: a folder always yields at
    // least "." (or, for a drive root, its entries), a file or a deleted item
    // nothing.
    const std::wstring pattern = LongForm(std::wstring(itemPath) + L"*");
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW(pattern.c_str(), &found));
    return static_cast<bool>(search);
}

int64_t ItemLastWriteTime(const wchar_t* itemPath) {
    if (!itemPath || !*itemPath) return -1;
    std::wstring path(itemPath);
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    path = LongForm(std::move(path));
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    // 100-ns steps since 1601 to seconds since 1970.
    const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10'000'000ULL) - 11'644'473'600LL;
}
