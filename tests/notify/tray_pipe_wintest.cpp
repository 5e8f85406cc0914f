// The tray pipe client against the tray application double's real pipe.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/watcher_state.h"
#include "notify/tray_pipe.h"
#include "support/state_fixture.h"
#include "support/temp_dir.h"
#include "support/tray_app_double_win.h"

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

constexpr char kFolder[] = "C:\\Users\\me\\Shared";
constexpr char kCommand[] = "C:\\Users\\me\\Shared|eventfilelist|PellaroCNW";

class TrayPipeWinTest : public StateTest {
protected:
    // The request and how long it took, in milliseconds.
    int32_t Request(int64_t* elapsedMs = nullptr) {
        const auto start = Clock::now();
        const int32_t result = TrayPipeRequest(kFolder, kCommand);
        if (elapsedMs) {
            *elapsedMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        }
        return result;
    }
    TempDir temp;
};

TEST_F(TrayPipeWinTest, NoServerFails) { EXPECT_EQ(Request(), -1); }

TEST_F(TrayPipeWinTest, RequestBytesAndOwnReplyStatus) {
    TrayAppDouble tray(temp.Path(), "ready\naccept\nreply "s + kFolder +
                                        "|False\ndisconnect\nready 2\naccept\nreply " + kFolder +
                                        "|Done\ndisconnect\nready 3\naccept\ndisconnect\n");
    ASSERT_TRUE(tray.Ready());
    EXPECT_EQ(Request(), -1);
    ASSERT_TRUE(tray.WaitReady("2"));
    EXPECT_EQ(Request(), 0);
    ASSERT_TRUE(tray.WaitReady("3"));
    // Closed without a reply: delivered.
    EXPECT_EQ(Request(), 0);
    EXPECT_EQ(tray.WaitExit(5000), 0);
    const auto requests = tray.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const std::string& bytes : requests) {
        EXPECT_EQ(bytes, kFolder + "|PLDriveAPI|"s + kCommand + "\n\0"s);
    }
}

TEST_F(TrayPipeWinTest, ReplyForAnotherFolderIsSkipped) {
    // The pipe stays open 4 s after our reply: ending well before, we stopped at it.
    TrayAppDouble tray(temp.Path(),
                       "ready\naccept\nreply C:\\Users\\me\\Other|False\nsleep 300\n"
                       "reply "s +
                           kFolder + "|True\nsleep 4000\ndisconnect\n");
    ASSERT_TRUE(tray.Ready());
    int64_t elapsed = 0;
    EXPECT_EQ(Request(&elapsed), 0);
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 3000);
}

TEST_F(TrayPipeWinTest, BusyPipeWithoutRetriesGivesUpAfterOnePause) {
    TrayAppDouble tray(temp.Path(), "hold\nready\nsleep 4000\nrelease\n");
    ASSERT_TRUE(tray.Ready());
    State().pipeRetries = 0;
    int64_t elapsed = 0;
    EXPECT_EQ(Request(&elapsed), -1027);
    EXPECT_GE(elapsed, 900);
    EXPECT_LT(elapsed, 2500);
    EXPECT_TRUE(tray.Requests().empty());
}

TEST_F(TrayPipeWinTest, PipeBusyForTwoSecondsIsReachedOnALaterRetry) {
    TrayAppDouble tray(temp.Path(), "hold\nready\nsleep 1800\nrelease\naccept\nreply "s + kFolder +
                                        "|True\ndisconnect\n");
    ASSERT_TRUE(tray.Ready());
    State().pipeRetries = 3;
    int64_t elapsed = 0;
    EXPECT_EQ(Request(&elapsed), 0);
    EXPECT_GE(elapsed, 1500);
    EXPECT_LT(elapsed, 4500);
    EXPECT_EQ(tray.Requests().size(), 1u);
}

}  // namespace
