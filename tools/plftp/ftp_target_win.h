#pragma once
// An FTP server as a transfer target, over one control connection for the
// whole run (ftp_connection_win.h). Names go to the server as UTF-8
// ("encoding=utf8") or in the ANSI code page, byte for byte.

#include <string>

#include "tools/plftp/ftp_connection_win.h"
#include "tools/plftp/tool_config.h"
#include "tools/plftp/transfer_target.h"

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
    // Known once MFMT is offered or a time given with MDTM was taken.
    bool KeepsTimes() const override { return connection.Mfmt() || mdtmSetsTimes == kYes; }
    Outcome MakeFolder(const std::wstring& folder) override;
    // A server that says it runs on Windows does not tell names apart by case.
    bool CaseSensitive() const override { return !connection.WindowsServer(); }
    bool Usable() const override { return connection.Connected(); }
    std::string CannotHold(const std::wstring& name) const override;
    Outcome Store(const std::wstring& localFile, const std::wstring& partPath,
                  TreeEntry& written) override;
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
    // The failure of `what` on `path`, with the server's reply.
    Outcome Failure(int32_t status, const char* what, const std::wstring& path,
                    const FtpReply& reply) const;
    // A command whose reply must be of the class `expected` (2: 2xx, 3: 3xx).
    Outcome Expect(const std::string& command, int expected, int32_t status, const char* what,
                   const std::wstring& path);
    // RNFR and RNTO.
    Outcome RenameOnServer(const std::string& from, const std::string& to, const char* what,
                           const std::wstring& path);

    const ToolConfig& config;
    CFtpConnection connection;
    // Whether the server takes "MDTM <time> <name>", asked with the first file
    // placed on a server without MFMT.
    enum { kUnknown, kYes, kNo } mdtmSetsTimes = kUnknown;
};
