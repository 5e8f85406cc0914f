#include "tools/plftp/path_guard.h"

#include <array>
#include <cwctype>

#include "base/name_case.h"
#include "base/text_conversion.h"
#include "tools/plftp/path_text.h"

namespace {

wchar_t Upper(wchar_t c) {
    return c < 0x80 ? static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))) : c;
}

bool SameText(std::wstring_view a, std::wstring_view b, bool caseSensitive) {
    return caseSensitive ? a == b : SameNameIgnoringCase(a, b);
}

bool IsDeviceName(std::wstring_view name) {
    // The part before the first dot, blanks at its end ignored, names a device.
    std::wstring_view stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
    std::wstring upper;
    for (wchar_t c : stem) upper.push_back(Upper(c));
    static constexpr std::array<std::wstring_view, 6> kPlain = {L"CON", L"PRN",    L"AUX",
                                                                L"NUL", L"CONIN$", L"CONOUT$"};
    for (std::wstring_view device : kPlain) {
        if (upper == device) return true;
    }
    if (upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT"))) {
        const wchar_t digit = upper[3];
        // COM0 and LPT0 too, and the superscript digits Windows also reserves.
        return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
               digit == L'\u00B3';
    }
    return false;
}

}  // namespace

std::string UnsafeNameReason(std::wstring_view name) {
    if (name.empty()) return "an empty name";
    if (name == L"." || name == L"..") return "a name that leaves its folder";
    if (name.size() > 255) return "a name longer than 255 characters";
    for (wchar_t c : name) {
        if (c < 0x20) return "a control character in a name";
        if (c == L'/' || c == L'\\') return "a separator inside a name";
        if (c == L':') return "a drive or stream colon in a name";
        if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*') {
            return "a wildcard or reserved character in a name";
        }
    }
    if (name.back() == L'.' || name.back() == L' ') return "a name ending with a dot or a blank";
    if (IsDeviceName(name)) return "a device name";
    return {};
}

bool FitsAnsiCodePage(std::wstring_view name) { return ToWideString(ToAnsiString(name)) == name; }

bool IsWithin(std::wstring_view path, std::wstring_view base, bool caseSensitive) {
    if (base.empty()) return false;
    if (base == L"/") return path.starts_with(L'/');
    if (path.size() < base.size() || !SameText(path.substr(0, base.size()), base, caseSensitive)) {
        return false;
    }
    return path.size() == base.size() || path[base.size()] == L'/' || base.back() == L'/';
}

bool FoldersOverlap(std::wstring_view a, std::wstring_view b) {
    const std::wstring first = CanonicalPath(a), second = CanonicalPath(b);
    if (first.empty() || second.empty()) return false;
    return IsWithin(first, second, false) || IsWithin(second, first, false);
}

std::string ConfinePath(std::wstring_view text, std::wstring_view base, bool caseSensitive,
                        bool strictlyBelow, std::wstring& path) {
    const std::wstring canonical = CanonicalPath(text);
    if (!IsWithin(canonical, base, caseSensitive))
        return "a path outside the folder it must stay in";
    std::wstring_view rest = std::wstring_view(canonical).substr(base == L"/" ? 0 : base.size());
    path.assign(base);
    while (!rest.empty()) {
        while (rest.starts_with(L'/')) rest.remove_prefix(1);
        if (rest.empty()) break;
        const std::size_t slash = rest.find(L'/');
        const std::wstring_view name = rest.substr(0, slash);
        if (std::string why = UnsafeNameReason(name); !why.empty()) return why;
        path = JoinPath(path, name);
        rest = slash == std::wstring_view::npos ? std::wstring_view() : rest.substr(slash);
    }
    if (strictlyBelow && path.size() == base.size()) return "the mapped folder itself";
    return {};
}

std::string ConfineName(std::wstring_view text, std::wstring& name) {
    name = BareName(text);
    return UnsafeNameReason(name);
}

bool IsTransferTempName(std::wstring_view name) {
    return name.starts_with(L'~') &&
           (name.ends_with(L".plftp-part") || name.ends_with(L".plftp-old"));
}

std::string UnfitBaseReason(std::wstring_view path, bool absolute) {
    std::wstring_view rest = path;
    if (rest.size() >= 2 && rest[1] == L':' &&
        ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'))) {
        rest.remove_prefix(2);
        if (absolute && !rest.empty() && rest.front() != L'/') return "a path relative to a drive";
    } else if (rest.starts_with(L"//")) {
        rest.remove_prefix(2);
        const std::size_t server = rest.find(L'/');
        if (server == 0 || server == std::wstring_view::npos)
            return "a server path without a share";
        const std::wstring_view serverName = rest.substr(0, server);
        if (serverName == L"." || serverName == L"?") return "a device path";
        rest.remove_prefix(server);
    } else if (absolute) {
        return "a path without a drive or a server";
    }
    while (!rest.empty()) {
        while (rest.starts_with(L'/')) rest.remove_prefix(1);
        if (rest.empty()) break;
        const std::size_t slash = rest.find(L'/');
        if (std::string why = UnsafeNameReason(rest.substr(0, slash)); !why.empty()) return why;
        rest = slash == std::wstring_view::npos ? std::wstring_view() : rest.substr(slash);
    }
    return {};
}
