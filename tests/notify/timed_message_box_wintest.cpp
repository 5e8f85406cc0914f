// Catches: a box closing at another box's time-out, a time-out ending the thread's own loop.
#include "notify/timed_message_box.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/box_driver.h"

namespace {

// A box on a thread's own message loop times out after 2 s while a box on
// another thread times out after 1 s; the loop must go on after its box.
TEST(TimedMessageBoxTest, EachBoxTimesOutOnItsOwnAndTheThreadLoopKeepsRunning) {
    constexpr UINT kShowBox = WM_APP + 1, kPing = WM_APP + 2, kStop = WM_APP + 3;
    std::promise<DWORD> threadId;
    int32_t loopResult = 0;
    int pings = 0;
    std::thread loop([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
        threadId.set_value(GetCurrentThreadId());
        while (GetMessageW(&msg, nullptr, 0, 0) > 0 && msg.message != kStop) {
            if (msg.message == kShowBox) loopResult = TimedMessageBox(L"2 s", L"C:\\box\\2", 2000);
            pings += msg.message == kPing;
            DispatchMessageW(&msg);
        }
    });
    const DWORD id = threadId.get_future().get();
    PostThreadMessageW(id, kShowBox, 0, 0);
    const auto start = std::chrono::steady_clock::now();
    auto fast =
        std::async(std::launch::async, [] { return TimedMessageBox(L"1 s", L"C:\\box\\1", 1000); });
    HWND slowBox = FindBox(L"C:\\box\\2", 5000);
    ASSERT_NE(slowBox, nullptr);
    ASSERT_EQ(fast.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(fast.get(), -1);
    EXPECT_TRUE(IsWindow(slowBox)) << "the other thread's box closed too";
    EXPECT_TRUE(WaitClosed(slowBox, 5000));
    const auto slowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    EXPECT_GE(slowMs, 1900);
    EXPECT_LT(slowMs, 3500);
    Sleep(100);
    for (UINT message : {kPing, kPing, kStop}) PostThreadMessageW(id, message, 0, 0);
    loop.join();
    EXPECT_EQ(loopResult, -1);
    EXPECT_EQ(pings, 2);
}

}  // namespace
