#pragma once
// Requests to the tray application over its named pipe (Google Drive mode):
// one self-contained exchange per request, open, write, read replies until the
// one for our own subject, close. No lock is taken; two exchanges may run at
// the same time on different threads, each with its own handle and buffers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr char kTrayPipeName[] = "\\\\.\\pipe\\pellarolinkPipe";
inline constexpr std::size_t kPipeRequestMaxLength = 2047;
inline constexpr std::size_t kPipeReplyBytes = 512;
inline constexpr uint32_t kPipeBusyPauseMs = 1000;

// System error codes the exchange tells apart.
inline constexpr uint32_t kPipeErrorBusy = 231;      // ERROR_PIPE_BUSY
inline constexpr uint32_t kPipeErrorMoreData = 234;  // ERROR_MORE_DATA

// The request's bytes on the wire: "<subject>|PLDriveAPI|<command>\n" (cut to
// 2047 characters) followed by its terminating zero byte.
std::string FramePipeRequest(std::string_view subject, std::string_view command);

// One reply: the bytes of one read up to the first zero byte, split at "|"
// (runs of separators count as one, leading ones are skipped).
struct PipeReply {
    std::string subject;                // the first field, empty when none
    std::optional<std::string> status;  // the second field
};
PipeReply ParsePipeReply(std::string_view bytes);

// The exchange's platform side. The Windows one is the named pipe client; tests
// give scripted ones.
class TrayPipeChannel {
public:
    virtual ~TrayPipeChannel() = default;
    // Opens the pipe: 0, or the system error code (kPipeErrorBusy when busy).
    virtual uint32_t Open() = 0;
    // Writes `bytes` with one write: 0, or the system error code.
    virtual uint32_t Write(std::string_view bytes) = 0;
    // Reads one reply of up to kPipeReplyBytes bytes into `reply`; false when
    // the read failed (a reply longer than the buffer is not a failure: the
    // rest comes with the next read).
    virtual bool Read(std::string& reply) = 0;
    virtual void Close() = 0;
};

// One exchange over `channel`: busy retries (`pipeRetries` + 1 at most, each
// busy one followed by a 1-second pause through the sleep seam), the write,
// the reply loop. Returns 0 (delivered; no reply or one without "False"), -1
// (open or write failed, or "False"), or -1027 (busy through all retries).
// With `verbose` set, a failed open or write prints a diagnostic line on
// standard output.
int32_t RunTrayExchange(TrayPipeChannel& channel, std::string_view subject,
                        std::string_view command, int32_t pipeRetries, int32_t verbose);

// The exchange with the tray application's pipe, with State()'s pipeRetries
// and verbose. Blocks until the exchange is over.
int32_t TrayPipeRequest(const char* subject, const char* command);
