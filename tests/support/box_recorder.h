// Records the boxes asked for through the seam instead of showing them (one recorder at a time).
#pragma once
// From any thread; tests WaitForBoxes before the recorder goes.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cwctype>
#include <mutex>
#include <string>
#include <vector>

#include "base/seams.h"
#include "notify/message_catalogue.h"

struct RecordedBox {
    int32_t code;  // the catalogue code of the text, 100 for a composed text, the number a code
                   // outside the catalogue shows, else 0
    std::wstring caption;
    std::wstring text;
    uint32_t timeoutMs;
};

class BoxRecorder {
public:
    using ShowFunction = int (*)(const std::wstring& caption, const std::wstring& text,
                                 uint32_t timeoutMs);

    BoxRecorder() : previous(CurrentSeams().showTimedBox) {
        std::lock_guard lock(activeMutex);
        active = this;
        CurrentSeams().showTimedBox = Show;
    }
    ~BoxRecorder() {
        std::lock_guard lock(activeMutex);
        CurrentSeams().showTimedBox = previous;
        active = nullptr;
    }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    // After recording, hand the box on to `show` (outside the lock); without it a box returns -1.
    void PassTo(ShowFunction show) { passTo = show; }
    bool WaitForBoxes(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex);
        return added.wait_for(lock, timeout, [&] { return boxes.size() >= count; });
    }
    std::vector<RecordedBox> Boxes() {
        std::lock_guard lock(mutex);
        return boxes;
    }
    std::vector<int32_t> Codes() {
        std::vector<int32_t> codes;
        for (const RecordedBox& box : Boxes()) codes.push_back(box.code);
        return codes;
    }
    void Clear() {
        std::lock_guard lock(mutex);
        boxes.clear();
    }

private:
    static int32_t CodeOf(const std::wstring& text, uint32_t timeoutMs) {
        for (int32_t code = -2100; code <= 300; ++code) {
            for (uint32_t lcid : {1033u, 1041u}) {
                const wchar_t* known = CatalogueText(code, lcid);
                if (known && text == known) return code;
            }
        }
        if (timeoutMs == 20000) return 100;  // the timeout of a composed text
        const std::size_t sign = text.starts_with(L'-') ? 1 : 0;
        const bool number = text.size() > sign && text.size() - sign < 10 &&
                            std::all_of(text.begin() + sign, text.end(),
                                        [](wchar_t c) { return std::iswdigit(c) != 0; });
        return number ? std::stoi(text) : 0;
    }
    static int Show(const std::wstring& caption, const std::wstring& text, uint32_t timeoutMs) {
        std::unique_lock activeLock(activeMutex);
        BoxRecorder* self = active;
        activeLock.unlock();
        if (!self) return -1;
        std::unique_lock lock(self->mutex);
        self->boxes.push_back({CodeOf(text, timeoutMs), caption, text, timeoutMs});
        const ShowFunction show = self->passTo;
        // Under the lock: once released, the recorder may be gone.
        self->added.notify_all();
        lock.unlock();
        return show ? show(caption, text, timeoutMs) : -1;
    }

    static inline std::mutex activeMutex;
    static inline BoxRecorder* active = nullptr;  // under activeMutex
    std::mutex mutex;
    std::condition_variable added;
    std::vector<RecordedBox> boxes;  // under the mutex
    ShowFunction passTo = nullptr;   // set before any box
    ShowFunction previous;
};
