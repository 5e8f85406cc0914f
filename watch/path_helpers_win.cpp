#include <windows.h>

#include <string>

#include "app/win_handles.h"
#include "watch/path_helpers.h"

bool IsFolderPath(const wchar_t* itemPath) {
    if (!itemPath) return false;
    // The pattern lists the contents of the path: a folder always yields at
    // least "." (or, for a drive root, its entries), a file or a deleted item
    // nothing.
    BoundedWText<kItemPathCapacity + 1> pattern(itemPath);
    pattern.Append(L"*");
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW(pattern.CStr(), &found));
    return static_cast<bool>(search);
}
