// Records the boxes asked for through the seam instead of showing them (one recorder at a time).
#pragma once
// From any thread; tests WaitForBoxes before the recorder goes.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct RecordedBox {
    int32_t code;  // MessageCodeOf the text
    std::wstring caption;
    std::wstring text;
    uint32_t timeoutMs;
};

// The catalogue code of the text, 100 for a composed text, the number a code outside the catalogue
// shows, else 0.
int32_t MessageCodeOf(const std::wstring& text, uint32_t timeoutMs);

class BoxRecorder {
public:
    using ShowFunction = int (*)(const std::wstring& caption, const std::wstring& text,
                                 uint32_t timeoutMs);

    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    // After recording, hand the box on to `show` (outside the lock); without it a box returns -1.
    void PassTo(ShowFunction show) { passTo = show; }
    bool WaitForBoxes(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));
    std::vector<RecordedBox> Boxes();
    std::vector<int32_t> Codes();
    void Clear();

private:
    static int Show(const std::wstring& caption, const std::wstring& text, uint32_t timeoutMs);

    std::mutex mutex;
    std::condition_variable added;
    std::vector<RecordedBox> boxes;  // under the mutex
    ShowFunction passTo = nullptr;   // set before any box
    ShowFunction previous;
};
