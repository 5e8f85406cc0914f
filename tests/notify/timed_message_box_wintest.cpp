// Catches: a box closing at another box's time-out, a time-out ending the thread's own loop or
// taking the thread's own messages with it.
#include "notify/timed_message_box.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "base/win_handles.h"
#include "support/process_win.h"

namespace {

// Generous bounds: only a fault, never a busy machine, reaches them.
constexpr DWORD kBoundMs = 60000;

// A thread with a message loop of its own, as the watcher's dialog thread has. It shows a timed
// box when asked, counts the messages it gets after it, notes a WM_QUIT that reached the loop,
// and ends on an event: a thread message posted while the box's modal loop runs would be lost.
struct LoopThread {
    static constexpr UINT kShowBox = WM_APP + 1, kPing = WM_APP + 2;
    struct Shared {
        static HANDLE Event() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
        UniqueHandle ready{Event()}, boxReturned{Event()}, stop{Event()}, ended{Event()};
        std::atomic<DWORD> threadId{0};
        std::atomic<int32_t> boxResult{0};
        std::atomic<int> pings{0};
        std::atomic<bool> quitReachedLoop{false};
        uint32_t timeoutMs = 0;
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::thread thread;

    explicit LoopThread(uint32_t boxTimeoutMs) {
        shared->timeoutMs = boxTimeoutMs;
        thread = std::thread([s = shared] {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
            s->threadId = GetCurrentThreadId();
            SetEvent(s->ready.Get());
            HANDLE stop = s->stop.Get();
            while (MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) !=
                   WAIT_OBJECT_0) {
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    if (msg.message == WM_QUIT) s->quitReachedLoop = true;
                    if (msg.message == kPing) ++s->pings;
                    if (msg.message == kShowBox) {
                        s->boxResult = TimedMessageBox(L"loop", L"C:\\box\\loop", s->timeoutMs);
                        SetEvent(s->boxReturned.Get());
                    }
                    DispatchMessageW(&msg);
                }
            }
            SetEvent(s->ended.Get());
        });
        WaitForSingleObject(shared->ready.Get(), kBoundMs);
    }
    bool Post(UINT message) const { return PostThreadMessageW(shared->threadId, message, 0, 0); }

    // Ends the thread within the bound whatever the test saw: a box still open is closed first.
    ~LoopThread() {
        SetEvent(shared->stop.Get());
        if (HWND box = FindBox(L"C:\\box\\loop", 0)) PostMessageW(box, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(shared->ended.Get(), kBoundMs) == WAIT_OBJECT_0) {
            thread.join();
        } else {
            ADD_FAILURE() << "the loop thread did not end";
            thread.detach();  // it owns what it uses
        }
    }
};

// The loop thread's box times out after 1 s while another thread's box, with a minute to go,
// stays open; the loop then goes on with the messages that come after its box.
TEST(TimedMessageBoxTest, EachBoxTimesOutOnItsOwnAndTheThreadLoopKeepsRunning) {
    LoopThread loop(1000);
    ASSERT_NE(loop.shared->threadId.load(), 0u);
    auto other = std::async(std::launch::async,
                            [] { return TimedMessageBox(L"other", L"C:\\box\\other", kBoundMs); });
    HWND otherBox = FindBox(L"C:\\box\\other", kBoundMs);
    // A test ended early closes the box rather than wait out its minute.
    const std::unique_ptr<HWND__, void (*)(HWND)> closeOther(otherBox, [](HWND box) {
        static_cast<void>(IsWindow(box) && PostMessageW(box, WM_CLOSE, 0, 0));
    });
    ASSERT_NE(otherBox, nullptr) << "the other thread's box was never shown";

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(loop.Post(LoopThread::kShowBox));
    HWND loopBox = FindBox(L"C:\\box\\loop", kBoundMs);
    EXPECT_NE(loopBox, nullptr) << "the loop thread's box was never shown";
    ASSERT_EQ(WaitForSingleObject(loop.shared->boxReturned.Get(), kBoundMs), WAIT_OBJECT_0)
        << "the loop thread's 1 s box had not closed after " << kBoundMs << " ms";
    const auto shownMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_EQ(loop.shared->boxResult.load(), -1);
    // A timer never fires early; its lateness on a busy machine is no fault.
    EXPECT_GE(shownMs, 950) << "the box closed before its time-out";
    EXPECT_FALSE(loopBox && IsWindow(loopBox));
    EXPECT_TRUE(IsWindow(otherBox)) << "the other thread's box closed at this box's time-out";

    // Back in its own loop (the box has returned): thread messages reach it again.
    ASSERT_TRUE(loop.Post(LoopThread::kPing));
    ASSERT_TRUE(loop.Post(LoopThread::kPing));
    EXPECT_TRUE(WaitUntil([&] { return loop.shared->pings == 2; }, kBoundMs))
        << loop.shared->pings << " of 2 messages after the box reached the loop";
    EXPECT_FALSE(loop.shared->quitReachedLoop) << "the box's time-out ended the thread's loop";

    // The other box ends as a user ends it: its time-out had not fired.
    ASSERT_TRUE(PressButton(otherBox, IDOK));
    ASSERT_EQ(other.wait_for(std::chrono::milliseconds(kBoundMs)), std::future_status::ready)
        << "the other box did not close when its button was pressed";
    EXPECT_EQ(other.get(), IDOK);
}

// What was posted ahead of the box's quit message comes out of the queue with it: the thread's
// and its windows' messages are posted again after it, in order; the box's own are not.
// Dropped, a lost flush message left the event list unwritten until the next firing.
TEST(TimedMessageBoxTest, TheQuitGoesAndTheMessagesAheadOfItStay) {
    constexpr UINT kFlush = WM_APP + 201, kPing = WM_APP + 2;
    HWND window = CreateScratchWindow(DefWindowProcW);
    HWND scratch = CreateScratchWindow(DefWindowProcW);
    ASSERT_TRUE(window && scratch);
    const DWORD thread = GetCurrentThreadId();
    ASSERT_TRUE(PostMessageW(window, kFlush, 1, 0));
    ASSERT_TRUE(PostMessageW(scratch, kPing, 2, 0));
    ASSERT_TRUE(PostThreadMessageW(thread, kPing, 3, 0));
    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 4, 0));
    PostQuitMessage(0);
    RemoveQuitKeepingTheRest(scratch);
    std::vector<std::tuple<HWND, UINT, WPARAM>> left;
    for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) {
        left.emplace_back(msg.hwnd, msg.message, msg.wParam);
    }
    const std::vector<std::tuple<HWND, UINT, WPARAM>> expected = {
        {window, kFlush, 1}, {nullptr, kPing, 3}, {window, WM_CLOSE, 4}};
    EXPECT_EQ(left, expected);
    DestroyWindow(window);
    DestroyWindow(scratch);
}

}  // namespace
