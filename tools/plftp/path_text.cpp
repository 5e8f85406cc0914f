#include "tools/plftp/path_text.h"

#include <cstdint>

#include "base/name_case.h"

std::wstring CanonicalPath(std::wstring_view text) {
    std::wstring path(text);
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    while (path.size() > 1 && path.back() == L'/') path.pop_back();
    return path;
}

std::wstring BareName(std::wstring_view text) {
    std::wstring name = CanonicalPath(text);
    const std::size_t start = name.find_first_not_of(L'/');
    return start == std::wstring::npos ? std::wstring() : name.substr(start);
}

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) {
    std::wstring path(folder);
    if (!path.empty() && path.back() != L'/') path.push_back(L'/');
    path.append(name);
    return path;
}

std::wstring ParentPath(std::wstring_view path) {
    const std::size_t slash = path.find_last_of(L'/');
    if (slash == std::wstring_view::npos) return {};
    if (slash == 0) return L"/";
    return std::wstring(path.substr(0, slash));
}

std::wstring LeafName(std::wstring_view path) {
    const std::size_t slash = path.find_last_of(L'/');
    return std::wstring(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
}

bool RelativeTo(std::wstring_view path, std::wstring_view base, std::wstring& relative) {
    if (base.empty() || base == L"/") {
        relative = path.starts_with(L'/') ? std::wstring(path) : L"/" + std::wstring(path);
        return true;
    }
    if (!path.starts_with(base)) return false;
    const std::wstring_view rest = path.substr(base.size());
    if (!rest.empty() && rest.front() != L'/') return false;
    relative = rest.empty() ? L"/" : std::wstring(rest);
    return true;
}

namespace {

// "~<name><suffix>", with the name shortened (and a hash of it added, so two
// long names stay apart) when the whole would pass the 255 characters a
// name may have.
std::wstring TempName(std::wstring_view name, std::wstring_view suffix) {
    constexpr std::size_t kMaxName = 255;
    if (1 + name.size() + suffix.size() <= kMaxName) {
        return L"~" + std::wstring(name) + std::wstring(suffix);
    }
    uint32_t hash = 2166136261u;  // FNV-1a over the UTF-16 units
    for (wchar_t c : name) hash = (hash ^ static_cast<uint32_t>(c)) * 16777619u;
    std::wstring tag(8, L'0');
    for (std::size_t i = 0; i < 8; ++i) tag[7 - i] = L"0123456789abcdef"[(hash >> (4 * i)) & 15u];
    std::size_t keep = kMaxName - 1 - tag.size() - 1 - suffix.size();
    // Never between the two halves of a surrogate pair.
    if (keep > 0 && name[keep - 1] >= 0xD800 && name[keep - 1] <= 0xDBFF) --keep;
    return L"~" + std::wstring(name.substr(0, keep)) + L"~" + tag + std::wstring(suffix);
}

}  // namespace

std::wstring PartName(std::wstring_view name) { return TempName(name, L".plftp-part"); }

std::wstring OldVersionName(std::wstring_view name) { return TempName(name, L".plftp-old"); }

namespace {

bool SameLetter(wchar_t a, wchar_t b) { return a == b || NameUpper(a) == NameUpper(b); }

// Iterative match with one backtracking point for the last "*".
bool MatchesWildcard(std::wstring_view pattern, std::wstring_view name) {
    std::size_t p = 0, n = 0;
    std::size_t starAt = std::wstring_view::npos, resumeAt = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || SameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            starAt = p++;
            resumeAt = n;
        } else if (starAt != std::wstring_view::npos) {
            p = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

}  // namespace

bool MatchesAnyPattern(std::wstring_view patterns, std::wstring_view name) {
    std::size_t start = 0;
    while (start <= patterns.size()) {
        std::size_t end = patterns.find_first_of(L";,", start);
        if (end == std::wstring_view::npos) end = patterns.size();
        std::wstring_view pattern = patterns.substr(start, end - start);
        while (!pattern.empty() && (pattern.front() == L' ' || pattern.front() == L'\t')) {
            pattern.remove_prefix(1);
        }
        while (!pattern.empty() && (pattern.back() == L' ' || pattern.back() == L'\t')) {
            pattern.remove_suffix(1);
        }
        if (!pattern.empty() && MatchesWildcard(pattern, name)) return true;
        start = end + 1;
    }
    return false;
}
