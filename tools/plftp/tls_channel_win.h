#pragma once
// plftp's TCP connections, in clear or through TLS (Schannel): the FTP
// control connection and each data connection are one of these. A channel is
// clear until Secure() has made its TLS session; from then on every byte in
// either direction goes through it, and a failure of the session fails the
// channel, never falls back to clear text.

#include <mutex>
#include <winsock2.h>
#define SECURITY_WIN32
// SCH_CREDENTIALS (TLS 1.3) is declared only with this, and needs subauth.h.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstddef>
#include <string>
#include <vector>

#include "base/unique_resource.h"

struct SocketTraits {
    using Raw = SOCKET;
    static Raw Invalid() noexcept { return INVALID_SOCKET; }
    static bool IsValid(Raw s) noexcept { return s != INVALID_SOCKET; }
    static void Close(Raw s) noexcept { closesocket(s); }
};
using UniqueSocket = UniqueResource<SocketTraits>;

// Every call into the system's TLS layer (SSPI, Schannel) takes this turn:
// Wine's Schannel keeps its handles in one table without a lock, and two
// connections' threads calling at once corrupt it (a crash, or a handshake
// failing with SEC_E_INTERNAL_ERROR). A call is short; the network waits
// between calls are not in the turn.
std::recursive_mutex& SchannelTurn();

// A credential or a security context (both SecHandle), freed in Schannel's turn.
template <auto Free>
struct SecHandleTraits {
    using Raw = SecHandle;
    static Raw Invalid() noexcept {
        Raw handle;
        SecInvalidateHandle(&handle);
        return handle;
    }
    static bool IsValid(const Raw& h) noexcept { return SecIsValidHandle(&h); }
    static void Close(Raw h) noexcept {
        const std::lock_guard turn(SchannelTurn());
        Free(&h);
    }
};
using CredentialTraits = SecHandleTraits<FreeCredentialsHandle>;
using SecurityContextTraits = SecHandleTraits<DeleteSecurityContext>;
using UniqueCertificate = UniqueResource<PointerTraits<PCCERT_CONTEXT, CertFreeCertificateContext>>;

// The client side of TLS for one run: one credential for every channel, so
// that Windows resumes the control connection's session on the data
// connections (it does for the same credential and server name; servers that
// require it then take the transfers). TLS 1.2 at least, 1.3 where offered.
class CTlsClient {
public:
    // False, with the system's error in `error`, when Schannel has none.
    bool Start(long& error);
    CredHandle Credential() const { return credential.Get(); }

private:
    UniqueResource<CredentialTraits> credential;
};

class CNetChannel {
public:
    UniqueSocket socket;

    // The TLS handshake, as the client of `serverName` (the host as the user
    // gave it: a name or an address). Nothing is checked here of who the
    // server is: ServerCertificate() gives what it showed for the caller to
    // judge. False, with the error in `error`, when no session was made.
    bool Secure(CTlsClient& client, const std::wstring& serverName, long& error);
    bool Secured() const { return static_cast<bool>(context); }
    // The certificate the server showed in the handshake (null before it).
    PCCERT_CONTEXT ServerCertificate() const { return certificate.Get(); }

    bool SendAll(const char* data, std::size_t size);
    // Up to `size` bytes: their count, 0 at the end of the data (the peer's
    // close), or -1 when the connection or its session failed.
    int Receive(char* buffer, std::size_t size);
    // The end of what this side sends: TLS's close notice, then TCP's.
    void EndSending();
    void Reset();

private:
    bool SendToken(SecBuffer& token);
    // Runs the handshake's exchanges until the session stands; `incoming`
    // may already hold the server's first bytes.
    bool Negotiate(CTlsClient& client, bool first, long& error);
    // Decrypts one record from `incoming` into `plain`; false on failure,
    // with `ended` set for the peer's close notice.
    bool DecryptRecord(bool& needMore, bool& ended);

    UniqueResource<SecurityContextTraits> context;
    CTlsClient* tls = nullptr;
    std::wstring name;
    UniqueCertificate certificate;
    SecPkgContext_StreamSizes sizes{};
    std::vector<char> incoming;  // received, not decrypted yet
    std::vector<char> plain;     // decrypted, not given yet
    std::size_t plainAt = 0;
    bool ended = false;
};
