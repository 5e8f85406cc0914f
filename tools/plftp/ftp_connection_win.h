#pragma once
// plftp's connection to an FTP server, over Winsock: one control connection
// for the whole run, passive data connections, binary transfers. plftp reads
// the replies and the listings itself (ftp_listing.h), so a name is kept byte
// for byte, and every command is answered on the same connection. With
// config.tls (FTPS), every connection is encrypted before anything of the
// user's goes over it, or the run ends.

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/plftp/ftp_listing.h"
#include "tools/plftp/tls_channel_win.h"
#include "tools/plftp/tool_config.h"

class CFtpConnection {
public:
    CFtpConnection() = default;
    ~CFtpConnection();
    CFtpConnection(const CFtpConnection&) = delete;
    CFtpConnection& operator=(const CFtpConnection&) = delete;

    // Connects and logs in (kToolNoServer when the server cannot be reached,
    // kToolLoginRefused when it refuses the user or the password), then asks
    // what the server offers (FEAT), switches to UTF-8 names when configured,
    // to binary transfers, and asks the login folder and the server's system.
    // With config.tls, the connection is encrypted (AUTH TLS) and the server's
    // certificate judged (certificate_check_win.h) before the user's name is
    // sent, and data connections are asked to be encrypted (PROT P) before
    // the password is where the server takes it then: a server that will not
    // fails with kToolNoEncryption, a certificate with kToolCertificateRefused.
    Outcome Open(const ToolConfig& config);
    const std::string& Home() const { return home; }
    // The server says it runs on Windows (SYST): names do not differ by case.
    bool WindowsServer() const { return windows; }
    // False once the control connection has closed.
    bool Connected() const { return static_cast<bool>(control.socket); }
    // The server offers MFMT (FEAT) to set a file's time.
    bool Mfmt() const { return mfmt; }

    // Sends a command and reads its reply; false when the connection failed,
    // which closes it: every later command fails as a lost server.
    bool Ask(const std::string& command, FtpReply& reply);
    // Two commands the server takes only together (RNFR, RNTO), sent at once:
    // the second's reply is read too when the first failed (503 then).
    bool AskPair(const std::string& first, const std::string& second, FtpReply& firstReply,
                 FtpReply& secondReply);
    // A command whose reply does not matter (MFMT): it goes with the next
    // command, and its reply is read and dropped before that command's.
    void Tell(const std::string& command);
    // The next exchange also opens a passive port (PASV after its commands),
    // kept for the next transfer within kOpenPortMs: the wait for the
    // exchange's replies serves both.
    void PassiveAhead() { passiveAhead = true; }
    // The failure of `what` ("write ftp://..."): its status from `status`, the
    // connection's last error and the reply (FtpFailureStatus).
    Outcome Fail(int32_t status, const std::string& what, const FtpReply& reply) const;

    // The entries of `folder` (the server's bytes, absolute). A folder the
    // server says is not there fails with kToolInvalidRemoteDir; a listing
    // that did not arrive whole, or has a line that cannot be read, fails
    // with kToolReadError.
    Outcome List(const std::string& folder, std::vector<FtpListedEntry>& entries);

    // Fills `buffer` with up to `size` bytes (0 at the end), or fails.
    using ReadChunk = std::function<Outcome(char* buffer, std::size_t size, std::size_t& got)>;
    using WriteChunk = std::function<Outcome(const char* data, std::size_t size)>;
    // Sends what `read` gives as the file `path`; fails (kToolWriteError
    // unless the server is gone, or what `read` failed with) unless the
    // server confirmed the whole transfer.
    Outcome Store(const std::string& path, const std::string& what, const ReadChunk& read);
    // Gives the file `path` to `write`; fails (kToolRemoteNotFound when the
    // server refuses it, kToolReadError when cut) unless the server confirmed
    // its end.
    Outcome Retrieve(const std::string& path, const std::string& what, const WriteChunk& write);

private:
    // Sends the told commands, then `commands` ("\r\n" after each), in one
    // write.
    bool Send(const std::string& commands);
    // The next reply, after the told commands' replies, which are dropped.
    bool Receive(FtpReply& reply);
    bool ReceiveOne(FtpReply& reply);
    // The reply of a PASV (EPSV) sent ahead: its port, or none.
    bool ReceiveOpenPort();
    const char* PassiveCommand() const;
    // Sends `lines` and reads a reply into each of `replies`, in order; false,
    // with the connection closed, when it failed.
    bool Exchange(const std::string& lines, std::initializer_list<FtpReply*> replies);
    // The data of `command` (RETR, MLSD or LIST) given to `write`; a refusal
    // of the command fails with `refused`.
    Outcome ReceiveData(const std::string& command, int32_t refused, const std::string& what,
                        const WriteChunk& write);
    // Keeps the error that ended the connection, and closes it.
    void Lost();
    // `command` sent for a passive data connection, and the connection made;
    // the command's first reply is not read yet. A failure ends with
    // `status`, a refusal the server gave before the connection with
    // `refused`.
    Outcome BeginTransfer(const std::string& command, int32_t status, int32_t refused,
                          const std::string& what, CNetChannel& data);
    // AUTH TLS, the handshake and the certificate's check, on the control
    // connection just opened.
    Outcome SecureControl(const ToolConfig& config);
    // PBSZ 0 and PROT P; `loggedIn` false before USER, when a server that
    // wants them after the login says so (530), which leaves them for later.
    Outcome ProtectData(bool loggedIn);
    // The data connection's TLS session, with the control connection's
    // certificate; a refusal of the transfer's command that came instead
    // fails with `refused`.
    Outcome SecureData(CNetChannel& data, int32_t status, int32_t refused, const std::string& what);
    // The first reply to a transfer's command: 1xx accepts it, anything else
    // is a refusal, failing with `refused`.
    Outcome TransferAccepted(int32_t refused, const std::string& what);
    Outcome DataFailure(int32_t status, const std::string& what) const;
    // The server's last word on a transfer whose data connection has closed.
    Outcome TransferEnd(int32_t status, const std::string& what);
    // The transfer's outcome: what the data side gave, unless the server did
    // not confirm the transfer or is gone.
    Outcome FinishTransfer(const Outcome& outcome, int32_t status, const std::string& what);

    bool started = false;  // WSAStartup
    CNetChannel control;
    CTlsClient tls;
    std::wstring host;              // the server as configured: the certificate's name
    std::string serverFingerprint;  // the control connection's certificate (FTPS)
    bool dataProtected = false;     // PROT P taken
    CFtpReplyReader reader;
    sockaddr_storage server{};
    int serverLength = 0;
    int error = 0;     // the Winsock error that closed the connection; 0 while it stands
    std::string told;  // commands told, not sent yet
    int unread = 0;    // replies of told commands the server still owes
    bool passiveAhead = false;
    uint16_t openPort = 0;  // opened ahead, not used yet (0: none)
    ULONGLONG openedAt = 0;
    bool mlsd = false;
    bool mfmt = false;
    bool windows = false;
    std::string home = "/";
};
