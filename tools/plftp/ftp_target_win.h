#pragma once
// An FTP server as a transfer target, through WinINet: passive mode, binary
// transfers, one connection for the whole run. Names go to the server as
// UTF-8 ("encoding=utf8") or in the ANSI code page, so the byte forms of the
// calls are used whatever WinINet would make of UTF-16 names.

#include <windows.h>
#include <wininet.h>

#include <string>

#include "base/unique_resource.h"
#include "tools/plftp/ftp_listing_win.h"
#include "tools/plftp/tool_config.h"
#include "tools/plftp/transfer_target.h"

struct InternetHandleTraits {
    using Raw = HINTERNET;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr; }
    static void Close(Raw h) noexcept { InternetCloseHandle(h); }
};
using UniqueInternet = UniqueResource<InternetHandleTraits>;

class CFtpTarget final : public CTransferTarget {
public:
    explicit CFtpTarget(const ToolConfig& config);

    // Connects and logs in: kToolNoServer when the server cannot be reached,
    // kToolLoginRefused when it refuses the user or the password.
    Outcome Connect();

    Outcome List(const std::wstring& folder, std::vector<TreeEntry>& entries) override;
    Outcome Stat(const std::wstring& path, TreeEntry& entry) override;
    Outcome ExactTime(const std::wstring& path, int64_t& modified) override;
    int64_t TimeStep() const override { return 10'000'000; }  // MDTM and MFMT: seconds
    Outcome MakeFolder(const std::wstring& folder) override;
    bool CaseSensitive() const override { return caseSensitive; }
    std::string CannotHold(const std::wstring& name) const override;
    Outcome Store(const std::wstring& localFile, const std::wstring& partPath) override;
    Outcome Fetch(const std::wstring& path, const std::wstring& localFile) override;
    Outcome PlaceFile(const std::wstring& partPath, const std::wstring& path,
                      int64_t modified) override;
    Outcome RemoveFile(const std::wstring& path) override;
    Outcome RemoveFolder(const std::wstring& folder) override;
    Outcome Rename(const std::wstring& from, const std::wstring& to) override;
    std::wstring Describe(const std::wstring& path) const override;

private:
    std::string Encode(const std::wstring& path) const;
    // False for bytes that are no name in the configured encoding.
    bool Decode(const std::string& bytes, std::wstring& text) const;
    // The outcome of a failed call: a lost or unreachable server and a refused
    // login are told apart from `status`, the failure of the operation itself.
    Outcome Failure(int32_t status, const char* what, const std::wstring& path) const;
    // Sends a command without data and returns the server's reply.
    bool Command(const std::string& command, std::string& reply);

    // The reply that ended the data transfer just closed: a failure unless
    // the server confirmed it.
    Outcome TransferEnd(int32_t status, const char* what, const std::wstring& path) const;

    const ToolConfig& config;
    bool caseSensitive = true;  // false for a server that says it runs on Windows
    std::string home;           // the login folder, for paths that do not start with "/"
    UniqueInternet session;
    UniqueInternet connection;
    CFtpListingConnection listing;  // folder listings, on a connection of their own
};
