#include "tools/plftp/ftp_listing_win.h"

#include <ws2tcpip.h>

#include "base/text_conversion.h"

namespace {

constexpr DWORD kTimeoutMs = 15000;
constexpr std::size_t kMostListingBytes = 256u * 1024 * 1024;

void SetTimeouts(SOCKET socket) {
    const DWORD timeout = kTimeoutMs;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
}

// The folder of a 257 reply: "257 "/a ""b"" c" is current" gives /a "b" c.
std::string QuotedFolder(const std::string& reply) {
    std::string folder;
    std::size_t at = reply.find('"');
    if (at == std::string::npos) return "/";
    for (++at; at < reply.size(); ++at) {
        if (reply[at] == '"') {
            if (at + 1 < reply.size() && reply[at + 1] == '"') {
                folder += '"';
                ++at;
                continue;
            }
            break;
        }
        folder += reply[at];
    }
    return folder.empty() ? "/" : folder;
}

}  // namespace

CFtpListingConnection::~CFtpListingConnection() {
    control.Reset();
    if (started) WSACleanup();
}

Outcome CFtpListingConnection::Fail(int32_t status, const std::string& what, int error,
                                    const FtpReply& reply) {
    std::string reason = "cannot " + what;
    if (error != 0) reason += " (system error " + std::to_string(error) + ")";
    if (!reply.text.empty()) reason += ": " + reply.text.substr(0, 300);
    status = FtpFailureStatus(status, static_cast<uint32_t>(error), reply.text);
    // A connection that failed is not used again: the next listing opens a new one.
    if (status == kToolNoServer || error != 0) control.Reset();
    return Outcome::Fail(status, reason);
}

bool CFtpListingConnection::Send(const std::string& command) {
    const std::string line = command + "\r\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const int n =
            send(control.Get(), line.data() + sent, static_cast<int>(line.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool CFtpListingConnection::Receive(FtpReply& reply) {
    char buffer[4096];
    while (!reader.Next(reply)) {
        const int n = recv(control.Get(), buffer, sizeof buffer, 0);
        if (n == 0) WSASetLastError(WSAECONNRESET);  // the server closed the connection
        if (n <= 0) return false;
        reader.Add(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    return true;
}

bool CFtpListingConnection::Ask(const std::string& command, FtpReply& reply) {
    reply = FtpReply{};
    return Send(command) && Receive(reply);
}

Outcome CFtpListingConnection::Open(const ToolConfig& config) {
    if (!started) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            return Outcome::Fail(kToolNoServer, "cannot start Winsock");
        }
        started = true;
    }
    reader = CFtpReplyReader{};
    ADDRINFOW hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* found = nullptr;
    const std::wstring port = std::to_wstring(config.port);
    if (GetAddrInfoW(config.host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        return Fail(kToolNoServer, "find the server", WSAGetLastError(), {});
    }
    int error = 0;
    for (ADDRINFOW* address = found; address; address = address->ai_next) {
        control.Reset(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (!control) continue;
        SetTimeouts(control.Get());
        if (connect(control.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) {
            memcpy(&server, address->ai_addr, address->ai_addrlen);
            serverLength = static_cast<int>(address->ai_addrlen);
            break;
        }
        error = WSAGetLastError();
        control.Reset();
    }
    FreeAddrInfoW(found);
    if (!control) return Fail(kToolNoServer, "connect for a listing", error, {});

    FtpReply reply;
    if (!Receive(reply)) return Fail(kToolNoServer, "connect", WSAGetLastError(), reply);
    if (reply.code != 220) return Fail(kToolNoServer, "connect", 0, reply);
    const std::string user = config.userName.empty() ? "anonymous" : ToAnsiString(config.userName);
    if (!Ask("USER " + user, reply)) return Fail(kToolNoServer, "log in", WSAGetLastError(), reply);
    if (reply.code == 331 && !Ask("PASS " + ToAnsiString(config.password), reply)) {
        return Fail(kToolNoServer, "log in", WSAGetLastError(), reply);
    }
    if (reply.code != 230 && reply.code != 202) {
        return Fail(reply.code == 530 ? kToolLoginRefused : kToolNoServer, "log in", 0, reply);
    }
    // What the server offers is asked once per run: MLSD, when there, lists
    // with facts and names that no column layout can cut.
    if (!Ask("FEAT", reply))
        return Fail(kToolNoServer, "ask the features", WSAGetLastError(), reply);
    const FtpFeatures features = reply.code / 100 == 2 ? ParseFeatures(reply.text) : FtpFeatures{};
    mlsd = features.mlsd;
    if (config.utf8Names && !Ask("OPTS UTF8 ON", reply)) {
        return Fail(kToolNoServer, "ask for UTF-8 names", WSAGetLastError(), reply);
    }
    if (!Ask("PWD", reply)) return Fail(kToolNoServer, "ask the folder", WSAGetLastError(), reply);
    home = QuotedFolder(reply.text);
    return Outcome::Ok();
}

void CFtpListingConnection::LeaveFolder() {
    FtpReply reply;
    if (control) (void)Ask("CWD " + home, reply);
}

Outcome CFtpListingConnection::List(const ToolConfig& config, const std::string& folder,
                                    std::vector<FtpListedEntry>& entries) {
    entries.clear();
    if (!control) {
        if (Outcome opened = Open(config); !opened) return opened;
    }
    // The folder is changed into rather than named after LIST: a name with
    // blanks after LIST reads as options on some servers.
    FtpReply reply;
    if (!Ask("CWD " + folder, reply)) {
        return Fail(kToolReadError, "change to " + folder, WSAGetLastError(), reply);
    }
    if (reply.code / 100 != 2)
        return Fail(FolderChangeStatus(reply.text), "change to " + folder, 0, reply);

    uint16_t port = 0;
    const bool extended = server.ss_family == AF_INET6;
    if (!Ask(extended ? "EPSV" : "PASV", reply)) {
        return Fail(kToolReadError, "open a data connection", WSAGetLastError(), reply);
    }
    if (!ParsePassivePort(reply.text, port)) {
        return Fail(kToolReadError, "open a data connection", 0, reply);
    }
    sockaddr_storage dataAddress = server;
    if (extended) {
        reinterpret_cast<sockaddr_in6*>(&dataAddress)->sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in*>(&dataAddress)->sin_port = htons(port);
    }
    UniqueSocket data(socket(server.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (!data ||
        connect(data.Get(), reinterpret_cast<const sockaddr*>(&dataAddress), serverLength) != 0) {
        return Fail(kToolReadError, "open a data connection", WSAGetLastError(), {});
    }
    SetTimeouts(data.Get());
    if (!Ask(mlsd ? "MLSD" : "LIST", reply)) {
        return Fail(kToolReadError, "list " + folder, WSAGetLastError(), reply);
    }
    if (reply.code / 100 != 1) return Fail(kToolReadError, "list " + folder, 0, reply);
    std::string bytes;
    char buffer[16 * 1024];
    for (;;) {
        const int n = recv(data.Get(), buffer, sizeof buffer, 0);
        if (n == 0) break;
        if (n < 0 || bytes.size() > kMostListingBytes) {
            return Fail(kToolReadError, "read the listing of " + folder, WSAGetLastError(), {});
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    data.Reset();
    // Only the server's last word says the listing is complete.
    if (!Receive(reply)) return Fail(kToolReadError, "list " + folder, WSAGetLastError(), reply);
    if (reply.code / 100 != 2) return Fail(kToolReadError, "list " + folder, 0, reply);
    std::string unreadable;
    if (!ParseFtpListing(bytes, mlsd, entries, unreadable)) {
        entries.clear();
        return Outcome::Fail(kToolReadError,
                             "cannot read the listing of " + folder +
                                 ": a line plftp does not understand: " + unreadable);
    }
    return Outcome::Ok();
}
