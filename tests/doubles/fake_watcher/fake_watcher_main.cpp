// Test double of a running watcher process. It creates one hidden top-level
// window and runs a message loop:
//   - WM_CLOSE posted to the window ends it with exit code 3, so a test can
//     tell a delivered close from a termination (exit code 0);
//   - it ends by itself with exit code 4 after the number of seconds given as
//     its first argument (60 when none), so no test leaves it behind.
// Copies of this executable under other names stand in for other programs
// (another program's id, the tray application).
#include <windows.h>

#include <cwchar>

namespace {

constexpr int kClosedByMessage = 3;
constexpr int kTimedOut = 4;
constexpr UINT_PTR kLifetimeTimer = 1;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            PostQuitMessage(kClosedByMessage);
            return 0;
        case WM_TIMER:
            if (wParam == kLifetimeTimer) PostQuitMessage(kTimedOut);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const long seconds = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 60;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"PellaroFakeWatcher";
    if (!RegisterClassW(&windowClass)) return 1;
    const HWND window =
        CreateWindowExW(0, windowClass.lpszClassName, L"Fake watcher", WS_OVERLAPPED, 0, 0, 100,
                        100, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    SetTimer(window, kLifetimeTimer, static_cast<UINT>(seconds > 0 ? seconds : 60) * 1000u,
             nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
    return static_cast<int>(message.wParam);
}
