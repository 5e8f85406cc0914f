#include "notify/tray_pipe.h"

#include <cstdio>

#include "base/bounded_text.h"
#include "base/seams.h"

namespace {

constexpr int32_t kResultDelivered = 0;
constexpr int32_t kResultFailed = -1;
constexpr int32_t kResultBusy = -1027;

// The diagnostic line of a verbose watcher, on standard output (read when the
// output is redirected; the client's own tools expect it there, not in a box).
void PrintPipeFailure(int32_t verbose, uint32_t error) {
    if (verbose == 0) return;
    std::printf("WriteFile to pipe failed. GLE=%d\n", static_cast<int>(error));
    std::fflush(stdout);
}

// The next field at or after `pos`, skipping separators; empty at the end.
std::string_view NextField(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && text[pos] == '|') ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] != '|') ++pos;
    return text.substr(start, pos - start);
}

}  // namespace

std::string FramePipeRequest(std::string_view subject, std::string_view command) {
    BoundedText<kPipeRequestMaxLength + 1> text;
    text.Append(subject);
    text.Append("|PLDriveAPI|");
    text.Append(command);
    text.Append("\n");
    std::string bytes(text.Str());
    bytes.push_back('\0');
    return bytes;
}

PipeReply ParsePipeReply(std::string_view bytes) {
    const std::size_t end = bytes.find('\0');
    if (end != std::string_view::npos) bytes = bytes.substr(0, end);
    PipeReply reply;
    std::size_t pos = 0;
    reply.subject = NextField(bytes, pos);
    if (reply.subject.empty()) return reply;
    const std::string_view status = NextField(bytes, pos);
    if (!status.empty()) reply.status = std::string(status);
    return reply;
}

int32_t RunTrayExchange(TrayPipeChannel& channel, std::string_view subject,
                        std::string_view command, int32_t pipeRetries, int32_t verbose) {
    const std::string request = FramePipeRequest(subject, command);

    uint32_t error = channel.Open();
    // A busy pipe is tried again at once; each retry that still finds it busy
    // is followed by a pause, and after retry pipeRetries + 1 the caller gets
    // -1027.
    for (int32_t retry = 1; error == kPipeErrorBusy; ++retry) {
        error = channel.Open();
        if (error != kPipeErrorBusy) break;
        CurrentSeams().sleepMs(kPipeBusyPauseMs);
        if (retry > pipeRetries) return kResultBusy;
    }
    if (error != 0) {
        PrintPipeFailure(verbose, error);
        return kResultFailed;
    }

    error = channel.Write(request);
    if (error != 0) {
        PrintPipeFailure(verbose, error);
        channel.Close();
        return kResultFailed;
    }

    std::optional<std::string> status;
    std::string bytes;
    while (channel.Read(bytes)) {
        PipeReply reply = ParsePipeReply(bytes);
        status = std::move(reply.status);
        if (reply.subject == subject) break;
    }
    channel.Close();
    if (status && status->find("False") != std::string::npos) return kResultFailed;
    return kResultDelivered;
}
