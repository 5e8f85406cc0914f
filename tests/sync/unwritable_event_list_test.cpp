// Catches: the -2004 box of an event list file that cannot be written shown while bufferMutex is
// held (the timer and the dialog would wait for its whole time-out), the process not ended after
// it, or the command that could not be written dropped from the buffer.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/file_ops.h"
#include "notify/message_catalogue.h"
#include "support/buffer_fixture.h"
#include "sync/command_buffer.h"
#include "sync/sync_timer.h"
#include "watch/change_event_handler.h"
#include "sync/transfer_command.h"

namespace {

bool lockHeldAtBox = false;

// Another thread tries the lock: this thread's own (re-entrant) hold would let it in.
bool HeldElsewhere() {
    bool held = false;
    std::thread([&] { held = !std::unique_lock(State().bufferMutex, std::try_to_lock); }).join();
    return held;
}

// Every operation on the event list file (and its temporary and send list files) fails.
bool EventListFails(FileOp, std::string_view path) {
    return path.find("key.txt") != std::string_view::npos;
}

const std::string kPut = "-cmd=put|-dir=/|-ldir=C:\\W\\|-filename=a.txt|";

class UnwritableEventListTest : public BufferTest {
protected:
    void SetUp() override {
        BufferTest::SetUp();
        boxes.PassTo([](const std::wstring&, const std::wstring&, uint32_t) {
            lockHeldAtBox |= HeldElsewhere();
            return -1;
        });
        CurrentSeams().sleepMs = [](uint32_t) {};
        CurrentSeams().now = [] { return int64_t{1000}; };
        CurrentSeams().isNetworkAlive = [] { return true; };
        CurrentChangeHandlerCalls() = {[](const wchar_t*) { return false; }, [] { return true; },
                                       [] { return false; }, [] { return true; }};
        WatcherState& s = State();
        s.dataDir.Assign(folder.Ansi());
        s.remoteDir.Assign("/");
        s.remoteDirSet = s.subFolders = s.thresholdSync = 1;
        s.syncThreshold = 100;
        WriteFileBytes(folder / "cnwfolder.txt", "C:\\W=0\n");
        previousCheck = ReplaceFileFaultCheck(EventListFails);
    }
    void TearDown() override {
        ReplaceFileFaultCheck(previousCheck);
        BufferTest::TearDown();
    }
    FileFaultCheck previousCheck = nullptr;
};

TEST_F(UnwritableEventListTest, ReportsOnceTheLockIsFreeAndKeepsTheCommand) {
    struct Case {
        const char* name;
        std::function<void()> run;
        bool endsProcess;
        bool keepsCommand;
    };
    const Case cases[] = {
        {"a change notification",
         [] { HandleChangeEvent(kEventCreate, L"C:\\W\\a.txt\\", nullptr); }, true, true},
        {"the flush message after a burst",
         [] {
             ASSERT_TRUE(RequestEventListFlush());
             HandleChangeEvent(kEventCreate, L"C:\\W\\a.txt\\", nullptr);
             EventListFlushArrived();
         },
         true, true},
        {"a timer firing that first writes what the file lacks",
         [] {
             WatcherState& s = State();
             ASSERT_TRUE(RequestEventListFlush());
             HandleChangeEvent(kEventCreate, L"C:\\W\\a.txt\\", nullptr);
             s.syncThreshold = 1;
             s.timerThreadRecorded = true;
             RunTimerCycle();
         },
         true, true},
        {"the shutdown save",
         [] {
             ASSERT_TRUE(RequestEventListFlush());
             HandleChangeEvent(kEventCreate, L"C:\\W\\a.txt\\", nullptr);
             SaveAndClearBuffer();
         },
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        State().syncThreshold = 100;
        State().timerThreadRecorded = false;
        State().recentEventCount = 0;  // not a repeat of the last row's notification
        CreateCommandBuffer(State().commands);
        boxes.Clear();
        exitCodes.clear();
        lockHeldAtBox = false;
        c.run();
        EXPECT_EQ(boxes.Codes(), std::vector<int32_t>{kMsgFileOpenFailed});
        EXPECT_FALSE(lockHeldAtBox);
        EXPECT_EQ(exitCodes, c.endsProcess ? std::vector<uint32_t>{1} : std::vector<uint32_t>{});
        if (c.keepsCommand) {
            EXPECT_EQ(Commands(), std::vector<std::string>{kPut});
        }
    }
}

}  // namespace
