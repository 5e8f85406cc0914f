#pragma once
// Windows matches a file name in either case by one table that gives each
// UTF-16 unit its upper case: the file system's table, the same for every
// language (no Turkish dotless i), and not only for A to Z. Two names that
// differ in Ü and ü name one file there; these functions match them so.

#include <string>
#include <string_view>

// The unit as the file system's table gives it in upper case (itself when it
// has none).
wchar_t NameUpper(wchar_t unit);

// The name with every unit through NameUpper: equal keys name one file where
// case does not count.
std::wstring NameCaseKey(std::wstring_view name);

// Whether two names name one file where case does not count.
bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b);

// The platform's table, filled for `count` units in place: the system's on
// Windows; natively the C library's for UTF-8 (tests only).
void MapUnitsToUpper(wchar_t* units, std::size_t count);
