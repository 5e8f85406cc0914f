// Real boxes, each shown on a worker thread and driven through its window.
#include "notify/timed_message_box.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/box_driver.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct BoxOutcome {
    int32_t result = 0;
    int64_t elapsedMs = 0;
    bool quitLeft = false;  // a WM_QUIT was left in the thread's queue
};

std::future<BoxOutcome> ShowOnWorker(std::wstring text, std::wstring caption, uint32_t timeoutMs) {
    return std::async(std::launch::async, [=] {
        const auto start = Clock::now();
        BoxOutcome out;
        out.result = TimedMessageBox(text.c_str(), caption.c_str(), timeoutMs);
        out.elapsedMs = MsSince(start);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) out.quitLeft |= msg.message == WM_QUIT;
        return out;
    });
}

TEST(TimedMessageBoxTest, PressingOkReturnsOneAtOnceAndLeavesNoQuit) {
    auto outcome = ShowOnWorker(L"Press me.", L"C:\\box\\ok", 60000);
    HWND box = FindBox(L"C:\\box\\ok", 5000);
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
    auto slow = ShowOnWorker(L"Two seconds.", L"C:\\box\\slow", 2000);
    auto fast = ShowOnWorker(L"One second.", L"C:\\box\\fast", 1000);
    HWND slowBox = FindBox(L"C:\\box\\slow", 5000);
    HWND fastBox = FindBox(L"C:\\box\\fast", 5000);
    ASSERT_NE(slowBox, nullptr);
    ASSERT_NE(fastBox, nullptr);
    ASSERT_EQ(fast.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(IsWindow(slowBox)) << "the other thread's box closed too";
    EXPECT_EQ(BoxText(slowBox), L"Two seconds.");
    ASSERT_EQ(slow.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const struct {
        BoxOutcome got;
        int64_t minMs, maxMs;
    } checks[] = {{fast.get(), 900, 1800}, {slow.get(), 1900, 3500}};
    for (const auto& c : checks) {
        EXPECT_EQ(c.got.result, -1);
        EXPECT_FALSE(c.got.quitLeft);
        EXPECT_GE(c.got.elapsedMs, c.minMs);
        EXPECT_LT(c.got.elapsedMs, c.maxMs);
    }
    EXPECT_TRUE(WaitClosed(slowBox, 1000));
    EXPECT_TRUE(WaitClosed(fastBox, 1000));
}

// A box that timed out inside a thread's own message loop must not end that loop.
TEST(TimedMessageBoxTest, TimedOutBoxClosesAfterItsTimeOutAndTheThreadLoopKeepsRunning) {
    constexpr UINT kShowBox = WM_APP + 1, kPing = WM_APP + 2, kStop = WM_APP + 3;
    std::promise<DWORD> threadId;
    int32_t result = 0;
    int64_t boxMs = 0;
    int pings = 0;
    bool stopped = false;
    std::thread loop([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
        threadId.set_value(GetCurrentThreadId());
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == kShowBox) {
                const auto start = Clock::now();
                result = TimedMessageBox(L"Timed.\n\nAfter an empty line.", L"C:\\box\\loop", 2000);
                boxMs = MsSince(start);
            }
            pings += msg.message == kPing;
            if (msg.message == kStop) {
                stopped = true;
                break;
            }
            DispatchMessageW(&msg);
        }
    });
    const DWORD id = threadId.get_future().get();
    PostThreadMessageW(id, kShowBox, 0, 0);
    HWND box = FindBox(L"C:\\box\\loop", 5000);
    EXPECT_NE(box, nullptr);
    EXPECT_EQ(BoxText(box), L"Timed.\n\nAfter an empty line.");
    EXPECT_EQ(BoxCaption(box), L"C:\\box\\loop");
    EXPECT_TRUE(WaitClosed(box, 5000));
    Sleep(100);
    for (UINT message : {kPing, kPing, kStop}) PostThreadMessageW(id, message, 0, 0);
    loop.join();
    EXPECT_EQ(result, -1);
    EXPECT_GE(boxMs, 1900);
    EXPECT_LT(boxMs, 3500);
    EXPECT_EQ(pings, 2);
    EXPECT_TRUE(stopped);
}

LRESULT CALLBACK GivenProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    return DefWindowProcW(window, message, w, l);
}

TEST(TimedMessageBoxTest, ScratchWindowIsAnInvisibleOwnerlessWindowWithTheGivenProcedure) {
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
    EXPECT_NE(GetClassLongPtrW(first, GCLP_HCURSOR), 0);  // the arrow; Wine may swap its handle
    DestroyWindow(first);
    DestroyWindow(second);
}

}  // namespace
