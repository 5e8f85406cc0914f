// Real boxes under the window system: each box is shown on a worker thread
// and driven from the test thread through its window, as a user would.
#include "notify/timed_message_box.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "support/box_driver.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFindMs = 5000;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Whether the calling thread's queue holds a WM_QUIT (the queue is emptied).
bool QuitLeftInQueue() {
    MSG msg;
    bool quit = false;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) quit = quit || msg.message == WM_QUIT;
    return quit;
}

struct BoxOutcome {
    int32_t result = 0;
    int64_t elapsedMs = 0;
    bool quitLeft = false;
};

// Shows a box on a thread of its own and reports how it ended.
std::future<BoxOutcome> ShowOnWorker(std::wstring text, std::wstring caption, uint32_t timeoutMs) {
    return std::async(std::launch::async, [=] {
        const auto start = Clock::now();
        BoxOutcome outcome;
        outcome.result = TimedMessageBox(text.c_str(), caption.c_str(), timeoutMs);
        outcome.elapsedMs = MsSince(start);
        outcome.quitLeft = QuitLeftInQueue();
        return outcome;
    });
}

TEST(TimedMessageBoxTest, PressingOkReturnsOneAtOnceAndLeavesNoQuit) {
    const std::wstring caption = L"C:\\box\\ok";
    // A long time-out: the box must close because of the press, not the timer.
    auto outcome = ShowOnWorker(L"Press me.", caption, 60000);
    HWND box = FindBox(caption, kFindMs);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(BoxText(box), L"Press me.");
    ASSERT_TRUE(PressButton(box, IDOK));
    ASSERT_EQ(outcome.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const BoxOutcome got = outcome.get();
    EXPECT_EQ(got.result, IDOK);
    EXPECT_FALSE(got.quitLeft);
    EXPECT_LT(got.elapsedMs, 5000);
}

TEST(TimedMessageBoxTest, BoxesOnTwoThreadsTimeOutEachAfterItsOwnTimeOut) {
    const std::wstring slowCaption = L"C:\\box\\slow";
    const std::wstring fastCaption = L"C:\\box\\fast";
    auto slow = ShowOnWorker(L"Two seconds.", slowCaption, 2000);
    auto fast = ShowOnWorker(L"One second.", fastCaption, 1000);
    HWND slowBox = FindBox(slowCaption, kFindMs);
    HWND fastBox = FindBox(fastCaption, kFindMs);
    ASSERT_NE(slowBox, nullptr);
    ASSERT_NE(fastBox, nullptr);
    EXPECT_EQ(BoxText(fastBox), L"One second.");

    ASSERT_EQ(fast.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const BoxOutcome fastGot = fast.get();
    // The quit message that closed the fast box went to its own thread only.
    EXPECT_TRUE(IsWindow(slowBox)) << "the other thread's box closed too";
    EXPECT_EQ(BoxText(slowBox), L"Two seconds.");

    ASSERT_EQ(slow.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const BoxOutcome slowGot = slow.get();
    EXPECT_EQ(fastGot.result, -1);
    EXPECT_EQ(slowGot.result, -1);
    EXPECT_FALSE(fastGot.quitLeft);
    EXPECT_FALSE(slowGot.quitLeft);
    EXPECT_GE(fastGot.elapsedMs, 900);
    EXPECT_LT(fastGot.elapsedMs, 1800);
    EXPECT_GE(slowGot.elapsedMs, 1900);
    EXPECT_LT(slowGot.elapsedMs, 3500);
    EXPECT_TRUE(WaitClosed(slowBox, 1000));
    EXPECT_TRUE(WaitClosed(fastBox, 1000));
}

// A thread that runs its own message loop, as the watcher dialog's thread does,
// and shows a timed box from inside that loop.
class LoopThread {
public:
    static constexpr UINT kShowBox = WM_APP + 1;
    static constexpr UINT kPing = WM_APP + 2;
    static constexpr UINT kStop = WM_APP + 3;

    LoopThread() : thread([this] { Run(); }) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [this] { return threadId != 0; });
    }
    ~LoopThread() {
        if (thread.joinable()) {
            PostThreadMessageW(threadId, kStop, 0, 0);
            thread.join();
        }
    }

    void Post(UINT message, WPARAM w = 0) { PostThreadMessageW(threadId, message, w, 0); }
    void Join() { thread.join(); }

    std::mutex mutex;
    std::condition_variable ready;
    DWORD threadId = 0;  // under the mutex until the constructor returns
    // Written by the loop thread, read after Join.
    int32_t boxResult = 0;
    int64_t boxMs = 0;
    int pingsAfterBox = 0;
    bool endedByStop = false;

private:
    void Run() {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here
        {
            std::lock_guard lock(mutex);
            threadId = GetCurrentThreadId();
        }
        ready.notify_all();
        bool boxShown = false;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == kShowBox) {
                const auto start = Clock::now();
                boxResult = TimedMessageBox(L"Timed.\n\nAfter an empty line.", L"C:\\box\\loop",
                                            static_cast<uint32_t>(msg.wParam));
                boxMs = MsSince(start);
                boxShown = true;
            } else if (msg.message == kPing && boxShown) {
                ++pingsAfterBox;
            } else if (msg.message == kStop) {
                endedByStop = true;
                break;
            }
            DispatchMessageW(&msg);
        }
    }

    std::thread thread;
};

TEST(TimedMessageBoxTest, TimedOutBoxClosesAfterItsTimeOutAndTheThreadLoopKeepsRunning) {
    LoopThread loop;
    loop.Post(LoopThread::kShowBox, 2000);
    HWND box = FindBox(L"C:\\box\\loop", kFindMs);
    ASSERT_NE(box, nullptr);
    // The text comes back from the box's static control, empty line included.
    EXPECT_EQ(BoxText(box), L"Timed.\n\nAfter an empty line.");
    EXPECT_EQ(BoxCaption(box), L"C:\\box\\loop");
    ASSERT_TRUE(WaitClosed(box, 5000));

    // Had the re-posted WM_QUIT survived, GetMessageW would return 0 now and
    // the loop would end before seeing these.
    Sleep(100);
    loop.Post(LoopThread::kPing);
    loop.Post(LoopThread::kPing);
    loop.Post(LoopThread::kStop);
    loop.Join();
    EXPECT_EQ(loop.boxResult, -1);
    EXPECT_GE(loop.boxMs, 1900);
    EXPECT_LT(loop.boxMs, 3500);
    EXPECT_EQ(loop.pingsAfterBox, 2);
    EXPECT_TRUE(loop.endedByStop);
}

LRESULT CALLBACK GivenProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    return DefWindowProcW(window, message, w, l);
}

TEST(TimedMessageBoxTest, ScratchWindowIsAnInvisibleOwnerlessScratchWindowWithTheGivenProcedure) {
    HWND first = CreateScratchWindow(GivenProc);
    HWND second = CreateScratchWindow(DefWindowProcW);  // the class exists by now
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    wchar_t className[32] = {};
    GetClassNameW(first, className, 32);
    EXPECT_STREQ(className, L"ScratchWindow");
    EXPECT_FALSE(IsWindowVisible(first));
    EXPECT_EQ(GetParent(first), nullptr);
    EXPECT_EQ(GetWindowLongPtrW(first, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(GivenProc));
    EXPECT_EQ(GetClassLongPtrW(first, GCLP_HBRBACKGROUND), COLOR_BTNFACE + 1);
    EXPECT_EQ(GetClassLongPtrW(first, GCL_STYLE), 0);
    // The arrow cursor; Wine hands out a new handle for it now and then, so
    // only its presence is checked.
    EXPECT_NE(GetClassLongPtrW(first, GCLP_HCURSOR), 0);
    DestroyWindow(first);
    DestroyWindow(second);
}

}  // namespace
