#include "tools/plftp/ftp_connection_win.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/text_conversion.h"
#include "tools/plftp/certificate_check_win.h"

namespace {

// FtpFailureStatus (ftp_listing.cpp, logic) knows the errors by number.
static_assert(WSAECONNRESET == 10054 && WSAECONNABORTED == 10053 && WSAETIMEDOUT == 10060 &&
              WSAEHOSTUNREACH == 10065 && WSAENOTCONN == 10057 && WSAECONNREFUSED == 10061 &&
              WSAHOST_NOT_FOUND == 11001 && WSATRY_AGAIN == 11002);

constexpr DWORD kTimeoutMs = 15000;
constexpr std::size_t kMostListingBytes = 256u * 1024 * 1024;
constexpr std::size_t kChunkBytes = 64 * 1024;
// How long a passive port opened ahead is used: servers wait 30 s and more
// for its connection.
constexpr ULONGLONG kOpenPortMs = 10000;

void SetTimeouts(SOCKET socket) {
    const DWORD timeout = kTimeoutMs;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
}

// A TLS failure's code as the system gives it ("0x80090326").
std::string SystemCode(long error) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(error));
    return text;
}

// A handshake cut by the network fails as the network does; one that TLS
// itself refused (its codes are negative) as a server that would not encrypt.
bool CutByNetwork(long error) { return error > 0; }

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

CFtpConnection::~CFtpConnection() {
    if (control.socket) {
        FtpReply reply;
        (void)Ask("QUIT", reply);
    }
    control.Reset();
    if (started) WSACleanup();
}

Outcome CFtpConnection::Fail(int32_t status, const std::string& what, const FtpReply& reply) const {
    std::string reason = "cannot " + what;
    if (error != 0) reason += " (system error " + std::to_string(error) + ")";
    if (!reply.text.empty()) reason += ": " + reply.text.substr(0, 300);
    return Outcome::Fail(FtpFailureStatus(status, static_cast<uint32_t>(error), reply.text),
                         reason);
}

bool CFtpConnection::Send(const std::string& commands) {
    const std::string lines = std::exchange(told, {}) + commands;
    return control.SendAll(lines.data(), lines.size());
}

bool CFtpConnection::Receive(FtpReply& reply) {
    // The replies of the told commands come first, and are dropped.
    for (; unread > 0; --unread) {
        if (!ReceiveOne(reply)) return false;
    }
    return ReceiveOne(reply);
}

bool CFtpConnection::ReceiveOne(FtpReply& reply) {
    reply = FtpReply{};
    char buffer[4096];
    while (!reader.Next(reply)) {
        const int n = control.Receive(buffer, sizeof buffer);
        if (n == 0) WSASetLastError(WSAECONNRESET);  // the server closed the connection
        if (n <= 0) return false;
        reader.Add(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    return true;
}

bool CFtpConnection::Ask(const std::string& command, FtpReply& reply) {
    return Exchange(command + "\r\n", {&reply});
}

bool CFtpConnection::AskPair(const std::string& first, const std::string& second,
                             FtpReply& firstReply, FtpReply& secondReply) {
    return Exchange(first + "\r\n" + second + "\r\n", {&firstReply, &secondReply});
}

bool CFtpConnection::Exchange(const std::string& lines, std::initializer_list<FtpReply*> replies) {
    for (FtpReply* reply : replies) *reply = FtpReply{};
    const bool passive = std::exchange(passiveAhead, false);
    if (!control.socket) {
        if (error == 0) error = WSAENOTCONN;
        return false;
    }
    if (Send(passive ? lines + PassiveCommand() + "\r\n" : lines) &&
        std::all_of(replies.begin(), replies.end(),
                    [&](FtpReply* reply) { return Receive(*reply); }) &&
        (!passive || ReceiveOpenPort())) {
        return true;
    }
    Lost();
    return false;
}

const char* CFtpConnection::PassiveCommand() const {
    return server.ss_family == AF_INET6 ? "EPSV" : "PASV";
}

bool CFtpConnection::ReceiveOpenPort() {
    FtpReply reply;
    if (!Receive(reply)) return false;
    uint16_t port = 0;
    openPort = ParsePassivePort(reply.text, port) ? port : 0;
    openedAt = GetTickCount64();
    return true;
}

void CFtpConnection::Tell(const std::string& command) {
    if (!control.socket) return;
    told += command + "\r\n";
    ++unread;
}

void CFtpConnection::Lost() {
    error = WSAGetLastError();
    if (error == 0) error = WSAECONNRESET;
    control.Reset();
    told.clear();
    unread = 0;
    passiveAhead = false;
    openPort = 0;
}

Outcome CFtpConnection::Open(const ToolConfig& config) {
    if (!started) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            return Outcome::Fail(kToolNoServer, "cannot start Winsock");
        }
        started = true;
    }
    reader = CFtpReplyReader{};
    error = 0;
    host = config.host;
    dataProtected = false;
    ADDRINFOW hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* found = nullptr;
    const std::wstring port = std::to_wstring(config.port);
    const std::string where = "connect to " + ToAnsiString(config.host) + ":" + ToAnsiString(port);
    if (GetAddrInfoW(config.host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        error = WSAGetLastError();
        return Fail(kToolNoServer, "find the server " + ToAnsiString(config.host), {});
    }
    for (ADDRINFOW* address = found; address; address = address->ai_next) {
        control.Reset();
        control.socket.Reset(
            socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (!control.socket) continue;
        SetTimeouts(control.socket.Get());
        if (connect(control.socket.Get(), address->ai_addr,
                    static_cast<int>(address->ai_addrlen)) == 0) {
            memcpy(&server, address->ai_addr, address->ai_addrlen);
            serverLength = static_cast<int>(address->ai_addrlen);
            break;
        }
        error = WSAGetLastError();
        control.Reset();
    }
    FreeAddrInfoW(found);
    if (!control.socket) return Fail(kToolNoServer, where, {});
    // A command goes out at once, not held back for the reply's
    // acknowledgement.
    const BOOL noDelay = TRUE;
    setsockopt(control.socket.Get(), IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&noDelay), sizeof noDelay);

    FtpReply reply;
    if (!Receive(reply)) {
        Lost();
        return Fail(kToolNoServer, where, reply);
    }
    if (reply.code != 220) {
        control.Reset();
        return Fail(kToolNoServer, where, reply);
    }
    if (config.tls) {
        Outcome secured = SecureControl(config);
        if (secured) secured = ProtectData(false);
        if (!secured) {
            control.Reset();
            return secured;
        }
    }
    const std::string user = config.userName.empty() ? "anonymous" : ToAnsiString(config.userName);
    if (!Ask("USER " + user, reply)) return Fail(kToolNoServer, "log in", reply);
    if (reply.code == 331 && !Ask("PASS " + ToAnsiString(config.password), reply)) {
        return Fail(kToolNoServer, "log in", reply);
    }
    if (reply.code != 230 && reply.code != 202) {
        const Outcome refused =
            Fail(reply.code == 530 ? kToolLoginRefused : kToolNoServer, "log in", reply);
        control.Reset();
        return refused;
    }
    if (config.tls && !dataProtected) {
        if (Outcome protectedData = ProtectData(true); !protectedData) {
            control.Reset();
            return protectedData;
        }
    }
    // What the server offers is asked once per run: MLSD, when there, lists
    // with facts and names that no column layout can cut. The five questions
    // go at once, one wait for all: none depends on another's answer.
    FtpReply features, utf8, type, folder, system;
    if (!Send(std::string("FEAT\r\n") + (config.utf8Names ? "OPTS UTF8 ON\r\n" : "") +
              "TYPE I\r\nPWD\r\nSYST\r\n") ||
        !Receive(features) || (config.utf8Names && !Receive(utf8)) || !Receive(type) ||
        !Receive(folder) || !Receive(system)) {
        Lost();
        return Fail(kToolNoServer, "ask the features", {});
    }
    const FtpFeatures offered =
        features.code / 100 == 2 ? ParseFeatures(features.text) : FtpFeatures{};
    mlsd = offered.mlsd;
    mfmt = offered.mfmt;
    if (type.code / 100 != 2) return Fail(kToolNoServer, "ask for binary transfers", type);
    home = folder.code == 257 ? QuotedFolder(folder.text) : "/";
    windows = system.code / 100 == 2 && system.text.find("Windows") != std::string::npos;
    return Outcome::Ok();
}

Outcome CFtpConnection::SecureControl(const ToolConfig& config) {
    const std::string server = ToAnsiString(config.host);
    FtpReply reply;
    if (!Ask("AUTH TLS", reply)) return Fail(kToolNoServer, "ask " + server + " for TLS", reply);
    if (reply.code != 234) {
        return Outcome::Fail(kToolNoEncryption, server + " does not encrypt (AUTH TLS: " +
                                                    reply.text.substr(0, 300) + ")");
    }
    long failure = 0;
    if (!tls.Start(failure)) {
        return Outcome::Fail(kToolNoEncryption,
                             "this system offers no TLS client (" + SystemCode(failure) + ")");
    }
    if (!control.Secure(tls, config.host, failure)) {
        if (CutByNetwork(failure)) {
            error = static_cast<int>(failure);
            return Fail(kToolNoServer, "make a TLS session with " + server, {});
        }
        return Outcome::Fail(kToolNoEncryption, "the TLS handshake with " + server + " failed (" +
                                                    SystemCode(failure) + ")");
    }
    if (Outcome trusted = CheckServerCertificate(control.ServerCertificate(), config); !trusted) {
        return trusted;
    }
    serverFingerprint = CertificateFingerprint(control.ServerCertificate());
    return Outcome::Ok();
}

Outcome CFtpConnection::ProtectData(bool loggedIn) {
    FtpReply size;
    FtpReply protection;
    if (!AskPair("PBSZ 0", "PROT P", size, protection)) {
        return Fail(kToolNoServer, "ask for encrypted transfers", protection);
    }
    if (protection.code / 100 == 2) {
        dataProtected = true;
        return Outcome::Ok();
    }
    if (!loggedIn && (size.code == 530 || protection.code == 530)) return Outcome::Ok();
    return Outcome::Fail(kToolNoEncryption, ToAnsiString(host) +
                                                " does not encrypt transfers (PROT P: " +
                                                protection.text.substr(0, 300) + ")");
}

Outcome CFtpConnection::SecureData(CNetChannel& data, int32_t status, int32_t refused,
                                   const std::string& what) {
    long failure = 0;
    if (data.Secure(tls, host, failure)) {
        const std::string shown = CertificateFingerprint(data.ServerCertificate());
        if (!shown.empty() && shown == serverFingerprint) return Outcome::Ok();
        data.Reset();
        Lost();
        return Outcome::Fail(kToolCertificateRefused,
                             "the certificate of " + ToAnsiString(host) +
                                 " changed during the run; its SHA-256 fingerprint is now " +
                                 (shown.empty() ? "?" : shown));
    }
    data.Reset();
    // A server that refused the command closes the data connection without
    // a session: its reply says why. No reply is a server gone.
    FtpReply reply;
    const bool answered = Receive(reply);
    if (answered && reply.code / 100 != 1) {
        return Fail(reply.code == 425 || reply.code == 522 ? status : refused, what, reply);
    }
    Lost();
    if (!answered) return Fail(status, what, reply);
    if (CutByNetwork(failure)) {
        return Outcome::Fail(status, "cannot " + what +
                                         ": the data connection was cut (system error " +
                                         std::to_string(failure) + ")");
    }
    return Outcome::Fail(kToolNoEncryption, "cannot " + what + ": the TLS handshake failed (" +
                                                SystemCode(failure) + ")");
}

Outcome CFtpConnection::BeginTransfer(const std::string& command, int32_t status, int32_t refused,
                                      const std::string& what, CNetChannel& data) {
    FtpReply reply;
    // A port opened ahead serves while the server surely still waits on it.
    uint16_t port = std::exchange(openPort, 0);
    if (port == 0 || GetTickCount64() - openedAt > kOpenPortMs) {
        if (!Ask(PassiveCommand(), reply)) return Fail(status, what, reply);
        if (!ParsePassivePort(reply.text, port)) return Fail(status, what, reply);
    }
    // The command goes before the connection, as a passive server expects
    // it: the server then takes the connection's bytes for that command.
    if (!Send(command + "\r\n")) {
        Lost();
        return Fail(status, what, {});
    }
    // The data goes to the server of the control connection, whatever
    // address a 227 reply names.
    sockaddr_storage dataAddress = server;
    if (server.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&dataAddress)->sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in*>(&dataAddress)->sin_port = htons(port);
    }
    data.Reset();
    data.socket.Reset(socket(server.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (data.socket && connect(data.socket.Get(), reinterpret_cast<const sockaddr*>(&dataAddress),
                               serverLength) == 0) {
        SetTimeouts(data.socket.Get());
        if (dataProtected) return SecureData(data, status, refused, what);
        return Outcome::Ok();
    }
    const int dataError = WSAGetLastError();
    data.Reset();
    // The command's reply is owed still: a refusal (the server closed its
    // port for it) says why; an acceptance waits for a connection that will
    // not come, and the connection's state is unknown from then on. No reply
    // at all is a server gone, whose port went with it (plftp
    // SeveralConnectionsKeepTheRulesOfOne).
    const bool answered = Receive(reply);
    if (answered && reply.code / 100 != 1) {
        return Fail(reply.code == 425 ? status : refused, what, reply);
    }
    Lost();
    if (!answered) return Fail(status, what, reply);
    return Outcome::Fail(status, "cannot " + what + ": no data connection (system error " +
                                     std::to_string(dataError) + ")");
}

Outcome CFtpConnection::TransferAccepted(int32_t refused, const std::string& what) {
    FtpReply reply;
    if (!Receive(reply)) {
        Lost();
        return Fail(refused, what, reply);
    }
    if (reply.code / 100 != 1) return Fail(refused, what, reply);
    return Outcome::Ok();
}

Outcome CFtpConnection::DataFailure(int32_t status, const std::string& what) const {
    return Outcome::Fail(status, "cannot " + what + ": the data connection failed (system error " +
                                     std::to_string(WSAGetLastError()) + ")");
}

Outcome CFtpConnection::FinishTransfer(const Outcome& outcome, int32_t status,
                                       const std::string& what) {
    // What the data side failed with stands, unless the server is gone.
    const Outcome ended = TransferEnd(status, what);
    if (!ended && (outcome || ended.status == kToolNoServer)) return ended;
    return outcome;
}

Outcome CFtpConnection::TransferEnd(int32_t status, const std::string& what) {
    // Only the server's last word says the transfer is complete: 226 or 250,
    // against 426 or 451 for one that was cut.
    FtpReply reply;
    if (!Receive(reply)) {
        Lost();
        return Fail(status, what, reply);
    }
    if (reply.code / 100 != 2) return Fail(status, what + ": the server ended the transfer", reply);
    return Outcome::Ok();
}

Outcome CFtpConnection::List(const std::string& folder, std::vector<FtpListedEntry>& entries) {
    entries.clear();
    const std::string what = "list " + folder;
    // The folder is changed into rather than named after LIST: a name with
    // blanks after LIST reads as options on some servers.
    FtpReply reply;
    passiveAhead = true;  // the wait for the CWD serves the listing's port too
    if (!Ask("CWD " + folder, reply)) return Fail(kToolReadError, "change to " + folder, reply);
    if (reply.code / 100 != 2)
        return Fail(FolderChangeStatus(reply.text), "change to " + folder, reply);
    std::string bytes;
    // "-a": a server that lists as ls does leaves out names beginning with a
    // dot without it, and they would be sent again and never fetched.
    const Outcome listed = ReceiveData(
        mlsd ? "MLSD" : "LIST -a", kToolReadError, what, [&](const char* data, std::size_t size) {
            if (bytes.size() + size > kMostListingBytes) {
                return Outcome::Fail(kToolReadError, "cannot " + what + ": over 256 MB of listing");
            }
            bytes.append(data, size);
            return Outcome::Ok();
        });
    if (!listed) return listed;
    std::string unreadable;
    if (!ParseFtpListing(bytes, mlsd, entries, unreadable)) {
        entries.clear();
        return Outcome::Fail(kToolReadError,
                             "cannot read the listing of " + folder +
                                 ": a line plftp does not understand: " + unreadable);
    }
    return Outcome::Ok();
}

Outcome CFtpConnection::Store(const std::string& path, const std::string& what,
                              const ReadChunk& read) {
    // STOR's first reply is not waited for before the first chunk: the
    // server takes the data connection's bytes only for a command it
    // accepted, and drops them with the connection when it refused it.
    // Whatever follows the first chunk waits for the acceptance, so a refused
    // file never fills the connection: a small file costs one wait less.
    CNetChannel data;
    if (Outcome begun = BeginTransfer("STOR " + path, kToolWriteError, kToolWriteError, what, data);
        !begun) {
        return begun;
    }
    char buffer[kChunkBytes];
    Outcome outcome;
    bool accepted = false;
    for (bool first = true;; first = false) {
        std::size_t got = 0;
        outcome = read(buffer, sizeof buffer, got);
        if (!outcome || got == 0) break;
        if (!first && !accepted) {
            if (Outcome answer = TransferAccepted(kToolWriteError, what); !answer) return answer;
            accepted = true;
        }
        if (!data.SendAll(buffer, got)) {
            outcome = DataFailure(kToolWriteError, what);
            break;
        }
    }
    // The end of the data is the end of the file: the server answers once it
    // has it all (or what came, when the read failed: the caller then
    // removes the temporary file it was).
    data.EndSending();
    if (data.Secured()) {
        // Whatever the server sends (its own close notice, a session ticket)
        // is read before the connection closes: unread, it would make the
        // close a reset, which can cost the server the file's last bytes.
        while (data.Receive(buffer, sizeof buffer) > 0) {
        }
    }
    data.Reset();
    if (!accepted) {
        if (Outcome answer = TransferAccepted(kToolWriteError, what); !answer) return answer;
    }
    return FinishTransfer(outcome, kToolWriteError, what);
}

Outcome CFtpConnection::Retrieve(const std::string& path, const std::string& what,
                                 const WriteChunk& write) {
    return ReceiveData("RETR " + path, kToolRemoteNotFound, what, write);
}

Outcome CFtpConnection::ReceiveData(const std::string& command, int32_t refused,
                                    const std::string& what, const WriteChunk& write) {
    CNetChannel data;
    if (Outcome begun = BeginTransfer(command, kToolReadError, refused, what, data); !begun) {
        return begun;
    }
    if (Outcome accepted = TransferAccepted(refused, what); !accepted) return accepted;
    char buffer[kChunkBytes];
    Outcome outcome;
    for (;;) {
        const int n = data.Receive(buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            outcome = DataFailure(kToolReadError, what);
            break;
        }
        outcome = write(buffer, static_cast<std::size_t>(n));
        if (!outcome) break;
    }
    data.Reset();
    return FinishTransfer(outcome, kToolReadError, what);
}
