// Catches: busy pipes retried wrongly, replies for other folders taken as ours, long requests.
#include "notify/tray_pipe.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include "support/state_fixture.h"

namespace {

using namespace std::string_literals;

// Plays a script: open results in order (the last repeats), then the replies.
class ScriptedChannel final : public TrayPipeChannel {
public:
    std::vector<uint32_t> opens{0};
    uint32_t writeError = 0;
    std::deque<std::string> replies;
    int openCalls = 0, writes = 0, closeCalls = 0;

    uint32_t Open() override {
        return opens[std::min(static_cast<std::size_t>(openCalls++), opens.size() - 1)];
    }
    uint32_t Write(std::string_view) override { return ++writes, writeError; }
    bool Read(std::string& reply) override {
        if (replies.empty()) return false;
        reply = replies.front();
        replies.pop_front();
        return true;
    }
    void Close() override { ++closeCalls; }
};

std::vector<uint32_t> sleeps;

class TrayExchangeTest : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        sleeps.clear();
        CurrentSeams().sleepMs = [](uint32_t ms) { sleeps.push_back(ms); };
    }
    int32_t Run(int32_t retries = 0) {
        return RunTrayExchange(channel, "C:\\w", "C:\\w|SyncUpload|PellaroCNW", retries, 0);
    }
    ScriptedChannel channel;
};

TEST_F(TrayExchangeTest, BusyPipeIsRetriedThenGivenUp) {
    // retries, open results, write error, result, opens, pauses, writes (each closed)
    const std::tuple<int32_t, std::vector<uint32_t>, uint32_t, int32_t, int, std::size_t, int>
        cases[] = {
            {0, {231}, 0, -1027, 2, 1, 0},  // one immediate retry, then -1027 after one pause
            {3, {231, 231, 231, 0}, 0, 0, 4, 2, 1},
            {3, {231}, 0, -1027, 5, 4, 0},
            {0, {231, 0}, 0, 0, 2, 0, 1},        // free at the immediate retry: no pause
            {5, {231, 231, 2}, 0, -1, 3, 1, 0},  // a retry failing otherwise ends with -1
            {0, {0}, 232, -1, 1, 0, 1},          // a failed write
        };
    for (const auto& [retries, opens, writeError, result, openCalls, pauses, writes] : cases) {
        SCOPED_TRACE(testing::Message() << "retries " << retries << ", " << opens.size());
        channel = ScriptedChannel{};
        channel.opens = opens;
        channel.writeError = writeError;
        channel.replies = {"C:\\w|True"};
        sleeps.clear();
        EXPECT_EQ(Run(retries), result);
        EXPECT_EQ(std::tuple(channel.openCalls, channel.writes, channel.closeCalls),
                  std::tuple(openCalls, writes, writes));
        EXPECT_EQ(sleeps, std::vector<uint32_t>(pauses, kPipeBusyPauseMs));
    }
    // A request never exceeds what the tray application reads.
    EXPECT_EQ(FramePipeRequest(std::string(3000, 'a'), "x"),
              std::string(kPipeRequestMaxLength, 'a') + '\0');
}

TEST_F(TrayExchangeTest, ReplyForOwnSubjectDecides) {
    const std::tuple<std::deque<std::string>, int32_t, std::size_t> cases[] = {
        // replies, result, replies left unread
        {{"C:\\other|False", "C:\\w|True", "C:\\w|False"}, 0, 1},
        {{"C:\\other|True", "C:\\w|NotFalse"}, -1, 0},
        {{"C:\\w2|True", "C:\\|True", "C:\\w|False"}, -1, 0},  // a prefix is another subject
        {{"C:\\other|False"}, -1, 0},  // closed before our reply: the last one read decides
        // Fields split at runs of separators; a reply ends at its first zero byte.
        {{"||C:\\w|||False|extra"}, -1, 0},
        {{"C:\\w\0|False"s}, 0, 0},
    };
    for (const auto& [replies, result, left] : cases) {
        channel = ScriptedChannel{};
        channel.replies = replies;
        EXPECT_EQ(Run(), result) << replies.front();
        EXPECT_EQ(channel.replies.size(), left) << replies.front();
        EXPECT_EQ(channel.closeCalls, 1);
    }
}

}  // namespace
