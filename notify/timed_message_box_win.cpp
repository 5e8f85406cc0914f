#include "notify/timed_message_box.h"

#include <vector>

namespace {

constexpr wchar_t kScratchWindowClass[] = L"ScratchWindow";
constexpr UINT_PTR kTimeoutTimerId = 1;

// One per box, on the stack of the TimedMessageBox call that shows it; the
// scratch window's user data points at it while the box is open. Only the
// calling thread touches it (the timer callback runs inside the box's loop).
struct TimedBoxState {
    int32_t timedOut = 0;
};

}  // namespace

HWND CreateScratchWindow(WNDPROC windowProcedure) {
    WNDCLASSW wc{};
    wc.style = 0;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kScratchWindowClass;
    RegisterClassW(&wc);  // fails harmlessly once the class exists

    HWND window = CreateWindowExW(0, kScratchWindowClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window) return nullptr;
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(windowProcedure));
    return window;
}

void CALLBACK TimedBoxTimerProc(HWND window, UINT, UINT_PTR, DWORD) {
    auto* state = reinterpret_cast<TimedBoxState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!state) return;
    state->timedOut = 1;
    // MessageBoxW's modal loop sees this, closes the box and posts it again.
    PostQuitMessage(0);
}

// The messages ahead of the quit come out with it; the system makes timer
// and paint messages again. The quit always comes before an empty queue; the
// stop on an empty queue only guards against spinning should it be missing.
void RemoveQuitKeepingTheRest(HWND scratch) {
    std::vector<MSG> kept;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) break;
        if (msg.message == WM_TIMER || msg.message == WM_PAINT) continue;
        if (msg.hwnd == nullptr || (msg.hwnd != scratch && IsWindow(msg.hwnd))) kept.push_back(msg);
    }
    for (const MSG& again : kept) {
        if (again.hwnd) {
            PostMessageW(again.hwnd, again.message, again.wParam, again.lParam);
        } else {
            PostThreadMessageW(GetCurrentThreadId(), again.message, again.wParam, again.lParam);
        }
    }
}

int32_t TimedMessageBox(const wchar_t* text, const wchar_t* caption, uint32_t timeoutMs) {
    TimedBoxState state;
    HWND scratch = CreateScratchWindow(DefWindowProcW);
    if (scratch) {
        SetWindowLongPtrW(scratch, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
        if (timeoutMs != 0) SetTimer(scratch, kTimeoutTimerId, timeoutMs, TimedBoxTimerProc);
    }
    int32_t result = MessageBoxW(nullptr, text, caption, MB_OK);
    if (!scratch) return result;

    KillTimer(scratch, kTimeoutTimerId);
    if (state.timedOut == 1) {
        RemoveQuitKeepingTheRest(scratch);
        result = -1;
    }
    SetWindowLongPtrW(scratch, GWLP_USERDATA, 0);
    DestroyWindow(scratch);
    return result;
}
