#include "watch/path_helpers.h"

#include <string>
#include <string_view>

#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "config/folder_registry.h"

namespace {

constexpr std::wstring_view kNetworkFolderNames[] = {L"Network", L"ネットワーク"};

// The position just after the Network folder's component, or npos. The shell
// names a path under its Network folder with that folder's display name as the
// first component, so only a path that begins with it is rewritten: a real
// folder named Network inside a watched path (C:\W\Network\a.txt\, or a UNC
// path whose server is named so) stays as it is.
std::size_t EndOfNetworkComponent(std::wstring_view path) {
    for (std::wstring_view name : kNetworkFolderNames) {
        if (path.substr(0, name.size()) != name) continue;
        if (path.size() == name.size() || path[name.size()] == L'\\') return name.size();
    }
    return path.npos;
}

// Drops the last backslash and what follows it; false when there is none.
bool CutAtLastBackslash(std::wstring_view& text) {
    const std::size_t at = text.rfind(L'\\');
    if (at == text.npos) return false;
    text = text.substr(0, at);
    return true;
}

}  // namespace

void RewriteNetworkPath(wchar_t* path) {
    if (!path) return;
    const std::wstring_view text(path);
    const std::size_t end = EndOfNetworkComponent(text);
    if (end == text.npos) return;
    // One backslash, then the rest from the separator after the component: the
    // separator becomes the second backslash of the UNC prefix. The result is
    // shorter than the input, so it is written over it from the start.
    const std::wstring rest(text.substr(end));
    path[0] = L'\\';
    rest.copy(path + 1, rest.size());
    path[1 + rest.size()] = L'\0';
}

void RewriteNetworkPath(BoundedWText<kItemPathCapacity>& path) {
    RewriteNetworkPath(path.Data());
    path.Resync();
}

void SetLastEventParent(const wchar_t* itemPath) {
    BoundedWText<kItemPathCapacity>& parent = State().lastEventParent;
    const BoundedWText<kItemPathCapacity> copy(itemPath);
    std::wstring_view text = copy.Str();
    // The first cut drops the final backslash, the second the item's own name.
    if (!CutAtLastBackslash(text) || !CutAtLastBackslash(text)) {
        parent.Clear();
        return;
    }
    parent.Assign(text);
    parent.Append(L"\\");
}

void SetItemDir(const wchar_t* itemPath) {
    WatcherState& state = State();
    if (!itemPath) {
        state.itemDir.Clear();
        return;
    }
    BoundedWText<kItemPathCapacity> dir(itemPath);
    if (state.eventIsFolder != 1) {
        const std::wstring_view text = dir.Str();
        const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(text.size());
        // Start left of the final backslash, then look for the one before the
        // item's name; it stays in the result.
        std::ptrdiff_t i = (length > 2 && text.back() == L'\\') ? length - 2 : length - 1;
        while (i >= 0 && text[static_cast<std::size_t>(i)] != L'\\') --i;
        dir.Assign(text.substr(0, static_cast<std::size_t>(i + 1)));
    }
    ToAnsi(dir.CStr(), state.itemDir);
}

void SetLeafName(const wchar_t* itemPath) {
    WatcherState& state = State();
    state.eventLeafName.Clear();
    const BoundedWText<kItemPathCapacity> copy(itemPath);
    std::string leaf;
    if (state.eventIsFolder == 1) {
        SetItemDir(copy.CStr());
        RelativeDirectory();
        leaf = std::string(state.relativeDir.Str());
    } else {
        // Through the ANSI code page and back first, so that a character it
        // cannot hold is a "?" here as it is in every other field.
        const std::wstring wide = ToWideString(ToAnsiString(copy.Str()));
        std::wstring_view text = wide;
        CutAtLastBackslash(text);
        // The last component: after the last separator of either kind, or after
        // a drive ("C:a.txt").
        const std::size_t separator = text.find_last_of(L"\\/");
        if (separator != text.npos) {
            text.remove_prefix(separator + 1);
        } else if (text.size() >= 2 && text[1] == L':') {
            text.remove_prefix(2);
        }
        leaf = ToAnsiString(text);
    }
    const std::string_view name(leaf);
    state.eventLeafName.Assign(
        name.substr(0, AnsiPrefixLength(name, state.eventLeafName.MaxLength())));
}
