// The tray application's side of the pipe is another program: its replies
// can be anything. A scripted channel plays opens (busy or failing), a write
// and replies of any bytes; the exchange must end with one of its results,
// close what it opened, stop reading at the reply for its own subject, and
// give up on a busy pipe after its retries.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "notify/tray_pipe.h"

namespace {

class ScriptedChannel : public TrayPipeChannel {
public:
    std::vector<uint32_t> opens;  // the result of each open; 0 once they run out
    uint32_t writeResult = 0;
    std::vector<std::string> replies;
    int openCalls = 0;
    int closeCalls = 0;
    std::size_t readCalls = 0;
    std::string written;

    uint32_t Open() override {
        const std::size_t at = static_cast<std::size_t>(openCalls++);
        return at < opens.size() ? opens[at] : 0;
    }
    uint32_t Write(std::string_view bytes) override {
        written = bytes;
        return writeResult;
    }
    bool Read(std::string& reply) override {
        if (readCalls >= replies.size()) return false;
        reply = replies[readCalls++];
        return true;
    }
    void Close() override { ++closeCalls; }
};

int sleeps = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    QuietSeams();
    CurrentSeams().sleepMs = [](uint32_t) { ++sleeps; };
    sleeps = 0;
    FuzzInput in(data, size);
    const int32_t retries = static_cast<int32_t>(in.Below(4));
    ScriptedChannel channel;
    static constexpr uint32_t kOpenResults[] = {kPipeErrorBusy, kPipeErrorBusy, 0, 2, 5};
    for (uint32_t n = in.Below(8); n > 0; --n) channel.opens.push_back(kOpenResults[in.Below(5)]);
    channel.writeResult = in.Below(8) == 0 ? 232 : 0;
    const std::string subject(in.Until('\n'));
    const std::string command(in.Until('\n'));
    // Replies are cut where a 0xFF byte stands, each at most one read's worth.
    while (!in.Empty()) {
        const std::string_view reply = in.Until('\xFF');
        channel.replies.emplace_back(reply.substr(0, kPipeReplyBytes));
    }

    const int32_t result = RunTrayExchange(channel, subject, command, retries, 0);
    FUZZ_CHECK(result == 0 || result == -1 || result == -1027);
    FUZZ_CHECK(channel.closeCalls <= 1);
    FUZZ_CHECK(channel.openCalls <= retries + 2);
    FUZZ_CHECK(sleeps <= retries + 1);
    if (result == -1027) FUZZ_CHECK(channel.closeCalls == 0 && channel.written.empty());
    if (!channel.written.empty()) {
        FUZZ_CHECK(channel.closeCalls == 1);
        FUZZ_CHECK(channel.written == FramePipeRequest(subject, command));
    }

    // The request: "<subject>|PLDriveAPI|<command>\n", cut, then one zero byte.
    const std::string request = FramePipeRequest(subject, command);
    FUZZ_CHECK(request.size() <= kPipeRequestMaxLength + 1 && request.back() == '\0');

    // Reading stopped at the first reply for this subject.
    for (std::size_t i = 0; i < channel.readCalls; ++i) {
        const PipeReply reply = ParsePipeReply(channel.replies[i]);
        if (reply.subject == subject) FUZZ_CHECK(i + 1 == channel.readCalls);
        FUZZ_CHECK(reply.subject.find('|') == std::string::npos);
        FUZZ_CHECK(reply.subject.find('\0') == std::string::npos);
        if (reply.subject.empty()) FUZZ_CHECK(!reply.status.has_value());
        if (reply.status)
            FUZZ_CHECK(!reply.status->empty() && reply.status->find('|') == std::string::npos);
    }
    return 0;
}
