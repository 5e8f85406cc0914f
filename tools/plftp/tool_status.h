#pragma once
// The exit statuses of plftp, taken from the status table the watcher reports
// (sync/transfer_report.h spells each one out for the user).

#include <cstdint>
#include <string>
#include <utility>

enum ToolStatus : int32_t {
    kToolSuccess = 0,
    kToolLoginRefused = 3,  // the table's logon failure text
    kToolSkippedFiles = 1000,
    kToolConflictKept = 1002,  // a file changed on both sides: both versions kept
    kToolInvalidOption = -1001,
    kToolInvalidRequest = -1004,
    kToolInvalidTarget = -1005,
    kToolOpenFileError = -1006,
    kToolFileNotFound = -1007,
    kToolRemoteNotFound = -1008,
    kToolNoServer = -1010,
    kToolWriteError = -1016,
    kToolReadError = -1018,
    kToolRemoveError = -1019,
    kToolRenameError = -1020,
    kToolInvalidLocalDir = -1021,
    kToolInvalidRemoteDir = -1022,
    kToolOperationActive = -1027,
    kToolRecordUnreadable = -1028,    // the sync record could not be read: the run merged
    kToolCertificateRefused = -1029,  // FTPS: the server's certificate failed its check
    kToolNoEncryption = -1030,        // FTPS: the server would not encrypt, or the session failed
};

// What one operation came to: a status and, when it failed, why in words
// (ANSI text for the error file and the log).
struct Outcome {
    int32_t status = kToolSuccess;
    std::string reason;

    static Outcome Ok() { return {}; }
    static Outcome Fail(int32_t status, std::string reason) { return {status, std::move(reason)}; }
    explicit operator bool() const { return status == kToolSuccess; }
};
