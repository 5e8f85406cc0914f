// Records the boxes asked for through the seam instead of showing them (one recorder at a time).
#include "support/box_recorder.h"

#include <algorithm>
#include <cwctype>

#include "base/seams.h"
#include "notify/message_catalogue.h"

namespace {

std::mutex activeMutex;
BoxRecorder* active = nullptr;  // under activeMutex

}  // namespace

int32_t MessageCodeOf(const std::wstring& text, uint32_t timeoutMs) {
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

BoxRecorder::BoxRecorder() : previous(CurrentSeams().showTimedBox) {
    std::lock_guard lock(activeMutex);
    active = this;
    CurrentSeams().showTimedBox = Show;
}

BoxRecorder::~BoxRecorder() {
    std::lock_guard lock(activeMutex);
    CurrentSeams().showTimedBox = previous;
    active = nullptr;
}

bool BoxRecorder::WaitForBoxes(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return added.wait_for(lock, timeout, [&] { return boxes.size() >= count; });
}

std::vector<RecordedBox> BoxRecorder::Boxes() {
    std::lock_guard lock(mutex);
    return boxes;
}

std::vector<int32_t> BoxRecorder::Codes() {
    std::vector<int32_t> codes;
    for (const RecordedBox& box : Boxes()) codes.push_back(box.code);
    return codes;
}

void BoxRecorder::Clear() {
    std::lock_guard lock(mutex);
    boxes.clear();
}

int BoxRecorder::Show(const std::wstring& caption, const std::wstring& text, uint32_t timeoutMs) {
    std::unique_lock activeLock(activeMutex);
    BoxRecorder* self = active;
    activeLock.unlock();
    if (!self) return -1;
    std::unique_lock lock(self->mutex);
    self->boxes.push_back({MessageCodeOf(text, timeoutMs), caption, text, timeoutMs});
    const ShowFunction show = self->passTo;
    // Under the lock: once released, the recorder may be gone.
    self->added.notify_all();
    lock.unlock();
    return show ? show(caption, text, timeoutMs) : -1;
}
