#include <windows.h>

#include "base/watcher_state.h"
#include "base/win_handles.h"
#include "notify/tray_pipe.h"

namespace {

class NamedPipeChannel final : public TrayPipeChannel {
public:
    uint32_t Open() override {
        // SECURITY_IDENTIFICATION: a server squatting on the pipe name may
        // learn who we are but can never act as us.
        pipe.Reset(CreateFileA(kTrayPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                               nullptr));
        return pipe ? 0 : GetLastError();
    }

    uint32_t Write(std::string_view bytes) override {
        DWORD written = 0;
        if (!WriteFile(pipe.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr)) {
            return GetLastError();
        }
        return 0;
    }

    bool Read(std::string& reply) override {
        char buffer[kPipeReplyBytes] = {};
        DWORD read = 0;
        if (!ReadFile(pipe.Get(), buffer, sizeof buffer, &read, nullptr) &&
            GetLastError() != ERROR_MORE_DATA) {
            return false;
        }
        reply.assign(buffer, read);
        return true;
    }

    void Close() override { pipe.Reset(); }

private:
    UniqueFileHandle pipe;
};

}  // namespace

int32_t TrayPipeRequest(const char* subject, const char* command) {
    NamedPipeChannel channel;
    return RunTrayExchange(channel, subject ? subject : "", command ? command : "",
                           State().pipeRetries, State().verbose);
}
