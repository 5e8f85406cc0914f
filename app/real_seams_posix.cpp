// Native builds have no windows: a box is written to standard error and times
// out at once, a question is answered No.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/seams.h"

namespace {

int ShowBoxOnStderr(const std::wstring& caption, const std::wstring& text, uint32_t) {
    std::fprintf(stderr, "[%ls] %ls\n", caption.c_str(), text.c_str());
    return -1;
}

bool AnswerNo(const std::wstring&, const std::wstring&) { return false; }

bool NetworkUp() { return true; }

int64_t WallClock() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SleepFor(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void EndNow(uint32_t code) { std::_Exit(static_cast<int>(code)); }

}  // namespace

Seams RealSeams() {
    Seams s;
    s.showTimedBox = ShowBoxOnStderr;
    s.askYesNo = AnswerNo;
    s.isNetworkAlive = NetworkUp;
    s.now = WallClock;
    s.sleepMs = SleepFor;
    s.endProcess = EndNow;
    return s;
}
