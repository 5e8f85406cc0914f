// Catches: boxes closing at another box's time-out, a time-out ending the thread's own loop.
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

// Two boxes on two threads time out each after its own time-out, and one that
// timed out inside a thread's own message loop must not end that loop.
TEST(TimedMessageBoxTest, EachBoxTimesOutOnItsOwnAndTheThreadLoopKeepsRunning) {
    constexpr UINT kShowBox = WM_APP + 1, kPing = WM_APP + 2, kStop = WM_APP + 3;
    std::promise<DWORD> threadId;
    int32_t loopResult = 0;
    int64_t loopMs = 0;
    int pings = 0;
    std::thread loop([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
        threadId.set_value(GetCurrentThreadId());
        while (GetMessageW(&msg, nullptr, 0, 0) > 0 && msg.message != kStop) {
            if (msg.message == kShowBox) {
                const auto start = Clock::now();
                loopResult = TimedMessageBox(L"Two seconds.", L"C:\\box\\loop", 2000);
                loopMs = MsSince(start);
            }
            pings += msg.message == kPing;
            DispatchMessageW(&msg);
        }
    });
    const DWORD id = threadId.get_future().get();
    PostThreadMessageW(id, kShowBox, 0, 0);
    auto fast = std::async(std::launch::async, [] {
        const auto start = Clock::now();
        const int32_t result = TimedMessageBox(L"One second.", L"C:\\box\\fast", 1000);
        return std::make_pair(result, MsSince(start));
    });
    HWND slowBox = FindBox(L"C:\\box\\loop", 5000);
    ASSERT_NE(slowBox, nullptr);
    ASSERT_NE(FindBox(L"C:\\box\\fast", 5000), nullptr);
    ASSERT_EQ(fast.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(IsWindow(slowBox)) << "the other thread's box closed too";
    const auto [fastResult, fastMs] = fast.get();
    EXPECT_EQ(fastResult, -1);
    EXPECT_GE(fastMs, 900);
    EXPECT_LT(fastMs, 1800);
    EXPECT_TRUE(WaitClosed(slowBox, 5000));
    Sleep(100);
    for (UINT message : {kPing, kPing, kStop}) PostThreadMessageW(id, message, 0, 0);
    loop.join();
    EXPECT_EQ(loopResult, -1);
    EXPECT_GE(loopMs, 1900);
    EXPECT_LT(loopMs, 3500);
    EXPECT_EQ(pings, 2);
}

}  // namespace
