#include <windows.h>
#include <sensapi.h>

#include <ctime>

#include "base/seams.h"
#include "notify/timed_message_box.h"

namespace {

int ShowBox(const std::wstring& caption, const std::wstring& text, uint32_t timeoutMs) {
    return TimedMessageBox(text.c_str(), caption.c_str(), timeoutMs);
}

// The start-up questions: no owner window, Yes and No, the question icon.
bool AskWithBox(const std::wstring& caption, const std::wstring& text) {
    return MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

bool NetworkAlive() {
    DWORD flags = 0;
    return IsNetworkAlive(&flags) != FALSE;
}

int64_t WallClock() { return static_cast<int64_t>(std::time(nullptr)); }

void SleepFor(uint32_t ms) { Sleep(ms); }

void EndNow(uint32_t code) { TerminateProcess(GetCurrentProcess(), code); }

}  // namespace

Seams RealSeams() {
    Seams s;
    s.showTimedBox = ShowBox;
    s.askYesNo = AskWithBox;
    s.isNetworkAlive = NetworkAlive;
    s.now = WallClock;
    s.sleepMs = SleepFor;
    s.endProcess = EndNow;
    return s;
}
