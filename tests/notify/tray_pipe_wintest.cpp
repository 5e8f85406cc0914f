// Catches: the real pipe client failing where the scripted channel passes: its open, busy code and
// long replies.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "base/seams.h"
#include "base/win_handles.h"
#include "notify/tray_pipe.h"
#include "support/state_fixture.h"

namespace {

std::vector<uint32_t> sleeps;

// A client of the pipe other than the watcher's.
UniqueFileHandle OpenClient() {
    return UniqueFileHandle(CreateFileA(kTrayPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
}

// The tray application's end: one instance in message mode, answering one
// client with `replies`; Request() is what it read.
class TrayPipeServer {
public:
    explicit TrayPipeServer(std::vector<std::string> replies)
        : pipe(CreateNamedPipeA(kTrayPipeName, PIPE_ACCESS_DUPLEX,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                4096, 0, nullptr)) {
        served = std::async(std::launch::async, [this, replies] {
            std::string request;
            if (!ConnectNamedPipe(pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
                return request;
            }
            char buffer[4096];
            DWORD read = 0;
            if (ReadFile(pipe.Get(), buffer, sizeof buffer, &read, nullptr)) {
                request.assign(buffer, read);
            }
            for (const std::string& reply : replies) {
                DWORD written = 0;
                WriteFile(pipe.Get(), reply.data(), static_cast<DWORD>(reply.size()), &written,
                          nullptr);
            }
            FlushFileBuffers(pipe.Get());  // until the client has read them
            DisconnectNamedPipe(pipe.Get());
            return request;
        });
    }
    ~TrayPipeServer() {
        // A client that never came would leave the server waiting: be that client.
        if (served.valid() &&
            served.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            OpenClient();
        }
    }
    std::string Request() { return served.get(); }

    UniqueFileHandle pipe;
    std::future<std::string> served;
};

class TrayPipeWinTest : public StateTest {};

TEST_F(TrayPipeWinTest, NoServerBusyAndOwnReplyBehindLongOtherOnes) {
    CurrentSeams().sleepMs = [](uint32_t ms) { sleeps.push_back(ms); };
    EXPECT_EQ(TrayPipeRequest("C:\\w", "x"), -1);
    {
        // 600 bytes take two reads (each reads 512 at most), neither ours; a client that stopped
        // before our reply would end with 0.
        TrayPipeServer server({"C:\\other|True" + std::string(586, 'x'), "C:\\w|False"});
        ASSERT_TRUE(server.pipe);
        EXPECT_EQ(TrayPipeRequest("C:\\w", "C:\\w|SyncUpload|PellaroCNW"), -1);
        EXPECT_EQ(server.Request(), FramePipeRequest("C:\\w", "C:\\w|SyncUpload|PellaroCNW"));
        EXPECT_TRUE(sleeps.empty());
    }
    TrayPipeServer server({});
    const UniqueFileHandle other = OpenClient();  // holds the only instance
    ASSERT_TRUE(other);
    State().pipeRetries = 2;
    EXPECT_EQ(TrayPipeRequest("C:\\w", "x"), -1027);
    EXPECT_EQ(sleeps, std::vector<uint32_t>(3, kPipeBusyPauseMs));
    DWORD written = 0;
    WriteFile(other.Get(), "done", 4, &written, nullptr);
    EXPECT_EQ(server.Request(), "done");
}

}  // namespace
