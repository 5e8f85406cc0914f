#pragma once
// The folder key: the file-name stem that names one watched folder's files in
// the data directory, and those file names.

#include <string_view>

#include "base/bounded_text.h"
#include "base/watcher_state.h"

// Replaces the first occurrence of `needle` in `text` (the result is cut to the
// text's capacity) and returns the text. When the needle is absent the text is
// unchanged.
template <std::size_t N>
const wchar_t* ReplaceFirst(BoundedWText<N>& text, std::wstring_view needle,
                            std::wstring_view replacement) {
    const std::wstring_view current = text.Str();
    const std::size_t at = needle.empty() ? std::wstring_view::npos : current.find(needle);
    if (at == std::wstring_view::npos) return text.CStr();
    std::wstring result;
    result.reserve(current.size() - needle.size() + replacement.size());
    result.append(current.substr(0, at));
    result.append(replacement);
    result.append(current.substr(at + needle.size()));
    text.Assign(result);
    return text.CStr();
}

// The folder key of `path`: a leading "\\" removed, the first ":\" and then the
// first ":" turned into "_", every other backslash and every space into "_",
// converted to the ANSI code page.
void DeriveFolderKey(const wchar_t* path, BoundedText<512>& key);

// Builds the per-folder file names from dataDir, folderKey and the APPDATA
// value. Returns false when any of them did not fit its field.
bool BuildFileNames(std::string_view appData, WatcherFields& state);

// Sets dataDir from the APPDATA value; false when it did not fit.
bool BuildDataDir(std::string_view appData, WatcherFields& state);

constexpr char kDataDirSuffix[] = "\\xq\\pellaro";
constexpr char kRegistryFileName[] = "cnwfolder.txt";
