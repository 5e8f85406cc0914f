#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/name_case.h"

// Upper case without LCMAP_LINGUISTIC_CASING is the file system's table. A
// stretch the call does not map unit for unit keeps its values (none does:
// this mapping never changes a length).
void MapUnitsToUpper(wchar_t* units, std::size_t count) {
    constexpr std::size_t kStretch = 4096;
    std::vector<wchar_t> mapped(kStretch);
    for (std::size_t at = 0; at < count; at += kStretch) {
        const int length = static_cast<int>(std::min(kStretch, count - at));
        if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, units + at, length, mapped.data(),
                          length, nullptr, nullptr, 0) == length) {
            std::copy_n(mapped.data(), length, units + at);
        }
    }
}
