#include "notify/tray_pipe.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "support/state_fixture.h"

namespace {

using namespace std::string_literals;

TEST(TrayPipeFraming, OversizedRequestIsCutBeforeTheZeroByte) {
    const std::string huge = FramePipeRequest(std::string(3000, 'a'), "x");
    ASSERT_EQ(huge.size(), kPipeRequestMaxLength + 1);
    EXPECT_EQ(huge.back(), '\0');
}

// Plays a script: open results in order (the last repeats), then the replies.
class ScriptedChannel final : public TrayPipeChannel {
public:
    std::vector<uint32_t> opens{0};
    uint32_t writeError = 0;
    std::deque<std::string> replies;
    int openCalls = 0, closeCalls = 0;
    std::vector<std::string> written;

    uint32_t Open() override {
        return opens[std::min(static_cast<std::size_t>(openCalls++), opens.size() - 1)];
    }
    uint32_t Write(std::string_view bytes) override {
        written.emplace_back(bytes);
        return writeError;
    }
    bool Read(std::string& reply) override {
        if (replies.empty()) return false;
        reply = replies.front();
        replies.pop_front();
        return true;
    }
    void Close() override { ++closeCalls; }
};

std::vector<uint32_t> sleeps;
void RecordSleep(uint32_t ms) { sleeps.push_back(ms); }

class TrayExchangeTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        sleeps.clear();
        CurrentSeams().sleepMs = RecordSleep;
    }
    int32_t Run(int32_t retries = 0) {
        return RunTrayExchange(channel, "C:\\w", "C:\\w|SyncUpload|PellaroCNW", retries, 0);
    }
    ScriptedChannel channel;
};

TEST_F(TrayExchangeTest, BusyPipeIsRetriedThenGivenUp) {
    struct Case {
        int32_t retries;
        std::vector<uint32_t> opens;
        int32_t result;
        int openCalls;
        std::size_t pauses;
    };
    const Case cases[] = {
        {0, {231}, -1027, 2, 1},  // one immediate retry, then -1027 after one pause
        {3, {231, 231, 231, 0}, 0, 4, 2},
        {3, {231}, -1027, 5, 4},
        {0, {231, 0}, 0, 2, 0},         // free at the immediate retry: no pause
        {5, {231, 231, 2}, -1, 3, 1},  // a retry failing otherwise ends with -1
        {0, {2}, -1, 1, 0},
    };
    for (const Case& c : cases) {
        channel = ScriptedChannel{};
        channel.opens = c.opens;
        channel.replies = {"C:\\w|True"};
        sleeps.clear();
        EXPECT_EQ(Run(c.retries), c.result) << "retries " << c.retries;
        EXPECT_EQ(channel.openCalls, c.openCalls) << "retries " << c.retries;
        EXPECT_EQ(sleeps.size(), c.pauses) << "retries " << c.retries;
        for (uint32_t ms : sleeps) EXPECT_EQ(ms, kPipeBusyPauseMs);
        EXPECT_EQ(channel.written.size(), c.result == 0 ? 1u : 0u);
    }
}

TEST_F(TrayExchangeTest, ReplyForOwnSubjectDecides) {
    struct Case {
        std::deque<std::string> replies;
        int32_t result;
        std::size_t left;  // replies not read
    };
    const Case cases[] = {
        {{"C:\\other|False", "C:\\w|True", "C:\\w|False"}, 0, 1},
        {{"C:\\other|True", "C:\\w|NotFalse"}, -1, 0},
        // A prefix of the subject is another subject.
        {{"C:\\w2|True", "C:\\|True", "C:\\w|False"}, -1, 0},
        // The pipe closed before our reply: the last reply read decides.
        {{"C:\\other|False"}, -1, 0},
        {{"C:\\other|False", "C:\\other"}, 0, 0},
        {{"", "|||", "C:\\w|ok"}, 0, 0},
        // Fields split at runs of separators; a reply ends at its first zero byte.
        {{"||C:\\w|||False|extra"}, -1, 0},
        {{"C:\\w|False\0\0"s}, -1, 0},
        {{"C:\\w\0|False"s}, 0, 0},
    };
    for (const Case& c : cases) {
        channel = ScriptedChannel{};
        channel.replies = c.replies;
        EXPECT_EQ(Run(), c.result) << (c.replies.empty() ? "" : c.replies.front());
        EXPECT_EQ(channel.replies.size(), c.left);
        EXPECT_EQ(channel.closeCalls, 1);
    }
}

TEST_F(TrayExchangeTest, FailedWriteClosesAndFails) {
    channel.writeError = 232;
    channel.replies = {"C:\\w|True"};
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(channel.closeCalls, 1);
    EXPECT_EQ(channel.written.size(), 1u);
}

TEST_F(TrayExchangeTest, VerboseFailurePrintsDiagnosticLine) {
    channel.opens = {2};
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunTrayExchange(channel, "C:\\w", "c", 0, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WriteFile to pipe failed. GLE=2\n");

    channel = ScriptedChannel{};
    channel.opens = {2};
    testing::internal::CaptureStdout();
    RunTrayExchange(channel, "C:\\w", "c", 0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
