// Native stand-in for the system's upper-case table: the C library's mapping
// for UTF-8, which agrees with it on the letters the tests use.
#include <locale>
#include <stdexcept>

#include "base/name_case.h"

void MapUnitsToUpper(wchar_t* units, std::size_t count) {
    std::locale utf8;
    try {
        utf8 = std::locale("C.UTF-8");
    } catch (const std::runtime_error&) {
        // Without it only A to Z map, as in the classic locale.
    }
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(utf8);
    ctype.toupper(units, units + count);
}
