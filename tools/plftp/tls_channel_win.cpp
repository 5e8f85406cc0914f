#include "tools/plftp/tls_channel_win.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kMostHandshakeBytes = 256 * 1024;
constexpr ULONG kContextRequests = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                   ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                   ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                   ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

bool SendRaw(SOCKET socket, const char* data, std::size_t size) {
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 64 * 1024));
        const int n = send(socket, data, chunk, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Appends what the socket has to `incoming`; false when it failed or closed.
bool ReceiveMore(SOCKET socket, std::vector<char>& incoming) {
    char buffer[16 * 1024];
    const int n = recv(socket, buffer, sizeof buffer, 0);
    if (n == 0) WSASetLastError(WSAECONNRESET);
    if (n <= 0) return false;
    incoming.insert(incoming.end(), buffer, buffer + n);
    return true;
}

}  // namespace

std::recursive_mutex& SchannelTurn() {
    static std::recursive_mutex turn;
    return turn;
}

bool CTlsClient::Start(long& error) {
    if (credential) return true;
    // The newer form offers TLS 1.3 where the system has it, and turns off
    // everything older than TLS 1.2; systems that do not know it take the
    // older form with TLS 1.2.
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    for (void* data : {static_cast<void*>(&current), static_cast<void*>(&older)}) {
        CredHandle handle;
        SecInvalidateHandle(&handle);
        wchar_t package[] = UNISP_NAME_W;
        {
            const std::lock_guard turn(SchannelTurn());
            error = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, data,
                                              nullptr, nullptr, &handle, nullptr);
        }
        if (error == SEC_E_OK) {
            credential.Reset(handle);
            return true;
        }
    }
    return false;
}

bool CNetChannel::SendToken(SecBuffer& token) {
    const bool sent =
        token.cbBuffer == 0 ||
        SendRaw(socket.Get(), static_cast<const char*>(token.pvBuffer), token.cbBuffer);
    if (token.pvBuffer) {
        const std::lock_guard turn(SchannelTurn());
        FreeContextBuffer(token.pvBuffer);
    }
    token.pvBuffer = nullptr;
    token.cbBuffer = 0;
    return sent;
}

bool CNetChannel::Secure(CTlsClient& client, const std::wstring& serverName, long& error) {
    tls = &client;
    name = serverName;
    incoming.clear();
    plain.clear();
    plainAt = 0;
    ended = false;
    if (!Negotiate(client, true, error)) {
        context.Reset();
        return false;
    }
    CtxtHandle handle = context.Get();
    PCCERT_CONTEXT shown = nullptr;
    {
        const std::lock_guard turn(SchannelTurn());
        error = QueryContextAttributesW(&handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &shown);
        if (error == SEC_E_OK) {
            error = QueryContextAttributesW(&handle, SECPKG_ATTR_STREAM_SIZES, &sizes);
        }
    }
    certificate.Reset(shown);
    if (error != SEC_E_OK || sizes.cbMaximumMessage == 0) {
        if (error == SEC_E_OK) error = SEC_E_INTERNAL_ERROR;
        context.Reset();
        return false;
    }
    return true;
}

bool CNetChannel::Negotiate(CTlsClient& client, bool first, long& error) {
    CredHandle credential = client.Credential();
    for (bool start = first;;) {
        SecBuffer in[2] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
        ULONG attributes = 0;
        CtxtHandle handle = context.Get();
        CtxtHandle made;
        SecInvalidateHandle(&made);
        {
            const std::lock_guard turn(SchannelTurn());
            error = InitializeSecurityContextW(
                &credential, start ? nullptr : &handle, const_cast<wchar_t*>(name.c_str()),
                kContextRequests, 0, 0, start ? nullptr : &inDesc, 0, start ? &made : nullptr,
                &outDesc, &attributes, nullptr);
        }
        if (start && SecIsValidHandle(&made)) context.Reset(made);
        start = false;
        // A token to send comes with success, with a request for more, and
        // with some failures (the alert that tells the server why).
        if (out[0].cbBuffer > 0 && !SendToken(out[0])) {
            error = WSAGetLastError();
            return false;
        }
        if (out[0].pvBuffer) {
            const std::lock_guard turn(SchannelTurn());
            FreeContextBuffer(out[0].pvBuffer);
        }
        if (error == SEC_E_INCOMPLETE_MESSAGE) {
            if (incoming.size() > kMostHandshakeBytes || !ReceiveMore(socket.Get(), incoming)) {
                error = WSAGetLastError();
                return false;
            }
            continue;
        }
        // What the server sent past the handshake's end stays for the next
        // step (or, at the end, for the first record).
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 &&
            in[1].cbBuffer <= incoming.size()) {
            incoming.erase(incoming.begin(),
                           incoming.end() - static_cast<std::ptrdiff_t>(in[1].cbBuffer));
        } else {
            incoming.clear();
        }
        if (error == SEC_E_OK) return true;
        if (error == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // asked for a client certificate
        if (error != SEC_I_CONTINUE_NEEDED) return false;
        if (incoming.empty() && !ReceiveMore(socket.Get(), incoming)) {
            error = WSAGetLastError();
            return false;
        }
    }
}

bool CNetChannel::SendAll(const char* data, std::size_t size) {
    if (!context) return SendRaw(socket.Get(), data, size);
    std::vector<char> record(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
    while (size > 0) {
        const std::size_t chunk = std::min<std::size_t>(size, sizes.cbMaximumMessage);
        std::memcpy(record.data() + sizes.cbHeader, data, chunk);
        SecBuffer parts[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes.cbHeader},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
        CtxtHandle handle = context.Get();
        std::unique_lock turn(SchannelTurn());
        const SECURITY_STATUS encrypted = EncryptMessage(&handle, 0, &desc, 0);
        turn.unlock();
        if (encrypted != SEC_E_OK) {
            WSASetLastError(WSAECONNABORTED);
            return false;
        }
        if (!SendRaw(socket.Get(), record.data(),
                     parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer)) {
            return false;
        }
        data += chunk;
        size -= chunk;
    }
    return true;
}

bool CNetChannel::DecryptRecord(bool& needMore, bool& closed) {
    needMore = false;
    closed = false;
    if (incoming.empty()) {
        needMore = true;
        return true;
    }
    SecBuffer parts[4] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_DATA, incoming.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
    CtxtHandle handle = context.Get();
    // A TLS 1.2 alert record (the server's close notice) ends the stream. Wine
    // takes it for an empty record, and a server that waits for the client's
    // close notice before it closes would then wait with us.
    const bool alert = incoming[0] == 21;
    std::unique_lock turn(SchannelTurn());
    const SECURITY_STATUS status = DecryptMessage(&handle, &desc, 0, nullptr);
    turn.unlock();
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        needMore = true;
        return true;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
        return false;
    }
    std::vector<char> extra;
    for (const SecBuffer& part : parts) {
        if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
            const char* bytes = static_cast<const char*>(part.pvBuffer);
            plain.insert(plain.end(), bytes, bytes + part.cbBuffer);
        } else if (part.BufferType == SECBUFFER_EXTRA && part.cbBuffer > 0) {
            const char* bytes = static_cast<const char*>(part.pvBuffer);
            extra.assign(bytes, bytes + part.cbBuffer);
        }
    }
    incoming = std::move(extra);
    if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert)) {
        closed = true;
        return true;
    }
    if (status == SEC_I_RENEGOTIATE) {
        // Handshake messages after the handshake (TLS 1.3's session tickets,
        // a server's renegotiation) go back into the context.
        long error = 0;
        return Negotiate(*tls, false, error);
    }
    return true;
}

int CNetChannel::Receive(char* buffer, std::size_t size) {
    if (!context) {
        const int n = recv(socket.Get(), buffer, static_cast<int>(size), 0);
        return n < 0 ? -1 : n;
    }
    while (plainAt == plain.size()) {
        plain.clear();
        plainAt = 0;
        if (ended) return 0;
        bool needMore = false;
        bool closed = false;
        if (!DecryptRecord(needMore, closed)) {
            WSASetLastError(WSAECONNABORTED);
            return -1;
        }
        if (closed) ended = true;
        if (!needMore) continue;
        char chunk[16 * 1024];
        const int n = recv(socket.Get(), chunk, sizeof chunk, 0);
        if (n < 0) return -1;
        // The peer closed without a close notice: what came is all there is;
        // the FTP reply on the control connection says whether it is whole.
        if (n == 0) {
            ended = true;
            if (!incoming.empty()) {
                WSASetLastError(WSAECONNRESET);
                return -1;
            }
            continue;
        }
        incoming.insert(incoming.end(), chunk, chunk + n);
    }
    const std::size_t count = std::min(size, plain.size() - plainAt);
    std::memcpy(buffer, plain.data() + plainAt, count);
    plainAt += count;
    return static_cast<int>(count);
}

void CNetChannel::EndSending() {
    if (context) {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control[1] = {{sizeof type, SECBUFFER_TOKEN, &type}};
        SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, control};
        CtxtHandle handle = context.Get();
        CredHandle credential = tls->Credential();
        std::unique_lock turn(SchannelTurn());
        if (ApplyControlToken(&handle, &controlDesc) == SEC_E_OK) {
            SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
            ULONG attributes = 0;
            (void)InitializeSecurityContextW(
                &credential, &handle, const_cast<wchar_t*>(name.c_str()), kContextRequests, 0, 0,
                nullptr, 0, nullptr, &outDesc, &attributes, nullptr);
            turn.unlock();
            (void)SendToken(out[0]);
        }
    }
    shutdown(socket.Get(), SD_SEND);
}

void CNetChannel::Reset() {
    context.Reset();
    certificate.Reset();
    socket.Reset();
    incoming.clear();
    plain.clear();
    plainAt = 0;
    ended = false;
}
