#include "base/name_case.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::size_t kUnits = 0x10000;

// The whole table, built once: a look-up per unit afterwards. Surrogates keep
// their value (they are halves of a character, which the table leaves alone).
// a to z are given A to Z first: they match in either case even in a stretch
// the platform could not map.
const std::array<wchar_t, kUnits>& UpperTable() {
    static const std::array<wchar_t, kUnits> table = [] {
        std::array<wchar_t, kUnits> built{};
        for (std::size_t i = 0; i < kUnits; ++i) {
            built[i] = static_cast<wchar_t>(i >= 'a' && i <= 'z' ? i - 'a' + 'A' : i);
        }
        MapUnitsToUpper(built.data() + 1, 0xD800 - 1);  // NUL stays
        MapUnitsToUpper(built.data() + 0xE000, kUnits - 0xE000);
        return built;
    }();
    return table;
}

}  // namespace

wchar_t NameUpper(wchar_t unit) {
    const auto index = static_cast<std::size_t>(unit);
    return index < kUnits ? UpperTable()[index] : unit;
}

std::wstring NameCaseKey(std::wstring_view name) {
    std::wstring key(name);
    for (wchar_t& unit : key) unit = NameUpper(unit);
    return key;
}

bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && NameUpper(a[i]) != NameUpper(b[i])) return false;
    }
    return true;
}
