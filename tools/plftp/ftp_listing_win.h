#pragma once
// A second control connection to the FTP server, for folder listings only.
// WinINet reads listings with a parser that cuts names at their first blank,
// and its FtpCommand cannot open a data connection under every WinINet (not
// under Wine): so plftp logs in a second time over Winsock, asks FEAT once,
// and lists with MLSD where the server offers it, else with LIST, reading the
// lines itself (ftp_listing.h). Transfers stay on WinINet's connection.

#include <winsock2.h>

#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "tools/plftp/ftp_listing.h"
#include "tools/plftp/tool_config.h"

struct SocketTraits {
    using Raw = SOCKET;
    static Raw Invalid() noexcept { return INVALID_SOCKET; }
    static bool IsValid(Raw s) noexcept { return s != INVALID_SOCKET; }
    static void Close(Raw s) noexcept { closesocket(s); }
};
using UniqueSocket = UniqueResource<SocketTraits>;

class CFtpListingConnection {
public:
    CFtpListingConnection() = default;
    ~CFtpListingConnection();
    CFtpListingConnection(const CFtpListingConnection&) = delete;
    CFtpListingConnection& operator=(const CFtpListingConnection&) = delete;

    // The entries of `folder` (the server's bytes, absolute): opens and logs
    // in on first use. A folder the server says is not there fails with
    // kToolInvalidRemoteDir; a listing that did not arrive whole, or has a
    // line that cannot be read, fails with kToolReadError.
    Outcome List(const ToolConfig& config, const std::string& folder,
                 std::vector<FtpListedEntry>& entries);
    // Leaves the folder it listed last (some servers keep a current folder
    // from being removed).
    void LeaveFolder();

private:
    Outcome Open(const ToolConfig& config);
    Outcome Fail(int32_t status, const std::string& what, int error, const FtpReply& reply);
    bool Send(const std::string& command);
    bool Receive(FtpReply& reply);
    // Sends a command and reads its reply; false when the connection failed.
    bool Ask(const std::string& command, FtpReply& reply);

    bool started = false;  // WSAStartup
    UniqueSocket control;
    CFtpReplyReader reader;
    sockaddr_storage server{};
    int serverLength = 0;
    bool mlsd = false;
    std::string home;
};
