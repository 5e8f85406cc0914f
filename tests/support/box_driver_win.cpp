#include "support/box_driver.h"

#include <vector>

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr DWORD kPollMs = 10;

struct Search {
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    wchar_t className[16] = {};
    if (!GetClassNameW(window, className, 16) || std::wstring(className) != kDialogClass) {
        return TRUE;
    }
    if (!IsWindowVisible(window) || BoxCaption(window) != *search->caption) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindBoxNow(const std::wstring& caption) {
    // EnumWindows rather than FindWindowW: a caption may hold characters that
    // matter (and several boxes may share the class), and hidden dialogs of the
    // same title are skipped.
    Search search{&caption, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

HWND FindBox(const std::wstring& caption, uint32_t timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND box = FindBoxNow(caption)) return box;
        if (GetTickCount64() >= deadline) return nullptr;
        Sleep(kPollMs);
    }
}

bool BoxExists(const std::wstring& caption) { return FindBoxNow(caption) != nullptr; }

std::wstring BoxText(HWND box) {
    HWND label = GetDlgItem(box, 0xFFFF);
    if (!label) return {};
    const int length = GetWindowTextLengthW(label);
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    GetDlgItemTextW(box, 0xFFFF, buffer.data(), length + 1);
    return buffer.data();
}

std::wstring BoxCaption(HWND box) {
    const int length = GetWindowTextLengthW(box);
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(box, buffer.data(), length + 1);
    return buffer.data();
}

bool PressButton(HWND box, int buttonId) {
    HWND button = GetDlgItem(box, buttonId);
    if (!button) return false;
    // Posted, so a box of a busy or another process never blocks the driver.
    return PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                        reinterpret_cast<LPARAM>(button)) != FALSE;
}

bool WaitClosed(HWND box, uint32_t timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(box)) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(kPollMs);
    }
    return true;
}
