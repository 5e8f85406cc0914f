#include "tools/plftp/folder_identity_win.h"

#include <windows.h>

#include <algorithm>

#include "base/text_conversion.h"
#include "base/win_handles.h"
#include "tools/plftp/path_guard.h"
#include "tools/plftp/path_text.h"

namespace {

// A Win32 call that fills a buffer and returns the length it needs when the
// buffer is too small (terminator included), or 0 on failure.
template <typename Call>
std::wstring Filled(Call call) {
    std::wstring text(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = call(text.data(), static_cast<DWORD>(text.size()));
        if (length == 0) return {};
        if (length < text.size()) {
            text.resize(length);
            return text;
        }
        text.resize(length);
    }
    return {};
}

// "\\?\C:\W" and "\\?\UNC\srv\share\W" as "C:\W" and "\\srv\share\W".
std::wstring WithoutDevicePrefix(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\" + path.substr(7);
    if (path.starts_with(L"\\\\?\\")) return path.substr(4);
    return path;
}

// The final path of an existing file or folder, links followed, or empty.
std::wstring OpenedFinalPath(const std::wstring& path) {
    UniqueFileHandle handle(
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return {};
    return WithoutDevicePrefix(Filled([&](wchar_t* buffer, DWORD size) {
        return GetFinalPathNameByHandleW(handle.Get(), buffer, size,
                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }));
}

// How long the part of a full path is that cannot be cut: "C:\" or "\\srv\share\".
std::size_t RootLength(const std::wstring& full) {
    if (full.starts_with(L"\\\\")) {
        const std::size_t server = full.find(L'\\', 2);
        if (server == std::wstring::npos) return full.size();
        const std::size_t share = full.find(L'\\', server + 1);
        return share == std::wstring::npos ? full.size() : share + 1;
    }
    return std::min<std::size_t>(full.size(), 3);
}

}  // namespace

std::wstring FinalFolderPath(const std::wstring& path) {
    std::wstring native = path;
    for (wchar_t& c : native) {
        if (c == L'/') c = L'\\';
    }
    const std::wstring full = Filled([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(native.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) return CanonicalPath(path);
    const std::size_t root = RootLength(full);
    std::wstring head = full, rest;
    for (int depth = 0; depth < 1024; ++depth) {
        std::wstring found = OpenedFinalPath(head);
        if (found.empty()) {
            // A folder that exists but cannot be opened still has its long name.
            found = Filled([&](wchar_t* buffer, DWORD size) {
                return GetLongPathNameW(head.c_str(), buffer, size);
            });
        }
        if (!found.empty()) {
            if (found.ends_with(L'\\') && rest.starts_with(L'\\')) found.pop_back();
            return CanonicalPath(found + rest);
        }
        const std::size_t slash = head.find_last_of(L'\\');
        if (head.size() <= root || slash == std::wstring::npos || slash + 1 < root) break;
        rest = head.substr(slash) + rest;
        head.resize(std::max(slash, root));
    }
    return CanonicalPath(full);
}

std::string FolderOverlapReason(const std::wstring& target, const std::wstring& watched) {
    if (target.empty()) return {};
    const std::wstring finalTarget = FinalFolderPath(target);
    const std::wstring finalWatched = FinalFolderPath(watched);
    if (!FoldersOverlap(finalTarget, finalWatched)) return {};
    auto text = [](const std::wstring& given, const std::wstring& found) {
        const std::string shown = ToAnsiString(given);
        return CanonicalPath(given) == found ? shown : shown + " (" + ToAnsiString(found) + ")";
    };
    return "the target folder " + text(target, finalTarget) + " and the watched folder " +
           text(watched, finalWatched) + " overlap";
}
