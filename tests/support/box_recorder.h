#pragma once
// Records the message boxes that the code under test asks for through the
// seam, with the message code each one stands for, instead of showing them.
// One recorder at a time; it installs itself on construction and puts the
// previous box function back when it goes.
//
// Boxes may be asked for from any thread (ShowMessageAsync): recording is
// locked, and Hold() keeps such threads waiting before their box "appears", so
// a test can look at the caller in between. A test lets every call it
// started be recorded (WaitForBoxes) before the recorder goes.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct RecordedBox {
    int32_t code;  // MessageCodeOf the text; 100 for a caller-composed text
    std::wstring caption;
    std::wstring text;
    uint32_t timeoutMs;
};

// The message code a box's text and time-out stand for: the catalogue code
// whose English or Japanese text it is, 100 for another text with the
// composed texts' time-out, the number a code outside the catalogue shows,
// else 0.
int32_t MessageCodeOf(const std::wstring& text, uint32_t timeoutMs);

class BoxRecorder {
public:
    using ShowFunction = int (*)(const std::wstring& caption, const std::wstring& text,
                                 uint32_t timeoutMs);

    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    // After recording, hand the box on to `show` (the real box, say); without
    // it a box "times out" at once (-1).
    void PassTo(ShowFunction show);

    // While held, box calls wait before they are recorded.
    void Hold();
    void Release();
    // Waits until `count` box calls are waiting at the hold.
    bool WaitForHeld(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until `count` boxes have been recorded.
    bool WaitForBoxes(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::vector<RecordedBox> Boxes();
    std::vector<int32_t> Codes();
    void Clear();

private:
    static int Show(const std::wstring& caption, const std::wstring& text, uint32_t timeoutMs);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RecordedBox> boxes;  // under the mutex
    bool held = false;               // under the mutex
    int waiting = 0;                 // under the mutex
    ShowFunction passTo = nullptr;
    ShowFunction previous;
};
