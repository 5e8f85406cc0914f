#include "sync/transfer_report.h"

#include "base/text_conversion.h"
#include "base/watcher_state.h"
#include "notify/message_catalogue.h"

namespace {

struct StatusText {
    int32_t status;
    const char* text;
};

// The transfer tool's own codes.
// clang-format off
constexpr StatusText kToolStatuses[] = {
    {0, "0: PL_SUCCESS"},
    {-1, "-1: PL_FAILURE"},
    {1000, "1000 : PL_SKIPFILE"},
    {1001, "1001 : PL_EOF"},
    {-1000, "-1000: PLE_OUT_OF_MEMORY / Out of memory"},
    {-1001, "-1001: PLE_INVALID_OPTION / Invalid command line option"},
    {-1002, "-1002: PLE_INVALID_DOWNLOAD_REQUEST / Invalid download request"},
    {-1003, "-1003: PLE_INVALID_UPLOAD_REQUEST / Invalid upload request"},
    {-1004, "-1004: PLE_INVALID_REQUEST / Invalid request"},
    {-1005, "-1005: PLE_INVALID_URL / Invalid URL"},
    {-1006, "-1006: PLE_OPEN_FILE_ERROR / Error opening file"},
    {-1007, "-1007: PLE_FILE_NOT_FOUND / File not found"},
    {-1008, "-1008: PLE_REMOTE_FILE_NOT_FOUND / Remote file not found"},
    {-1009, "-1009: PLE_0_BYTE_FILE / Zero byte file"},
    {-1010, "-1010: PLE_NOSERVER / Invalid server ip or port"},
    {-1011, "-1011: PLE_THREAD_ERROR / Thread error"},
    {-1012, "-1012: PLE_NO_MORE_FILES_ERROR / No more files"},
    {-1013, "-1013: PLE_POSTEVENT_ERROR / Post event error"},
    {-1014, "-1014: PLE_PREEVENT_ERROR / Pre event error"},
    {-1015, "-1015: PLE_SEEK_FILE_ERROR / Error seek the file potion"},
    {-1016, "-1016: PLE_WRITE_FILE_ERROR / Error writing file"},
    {-1017, "-1017: PLE_CLOSE_FILE_ERROR / Error closing file"},
    {-1018, "-1018: PLE_READ_FILE_ERROR / Error reading file"},
    {-1019, "-1019: PLE_REMOVE_FILE_ERROR / Error removing file"},
    {-1020, "-1020: PLE_RENAME_FILE_ERROR / Error renaming file"},
    {-1021, "-1021: PLE_INVALID_LOCAL_DIR / Invalid local directory while performing upload with Sync"},
    {-1022, "-1022: PLE_INVALID_REMOTE_DIR / Invalid remote directory while performing download with Sync"},
    {-1023, "-1023: PLE_INVALID_SERVER_ERROR / Invalid ftp server unsupporting MLSD"},
    {-1024, "-1024: PLE_POSTPARTIAL_MIRROR_ERROR / Error on performing mirroring after any partial transfer"},
    {-1025, "-1025: PLE_IGNORED_DIR / gLocalDirectory matches ignore_dir parameters value"},
    {-1026, "-1026: PLE_EXCEED_IGNORE_MAX_LIMIT / gIgnore, gIgnoreDir parameter value exceeds the maximum possible limit"},
    {-1027, "-1027: PLE_INVALID_OPERATION / Another operation is already active for CNW folder"},
};

// Simple MAPI error codes, which the tool passes on from its mail transport.
// There is no code 7.
constexpr StatusText kMapiStatuses[] = {
    {1, "1: MAPI_USER_ABORT OR MAPI_E_USER_ABORT"},
    {2, "2: MAPI_E_FAILURE"},
    {3, "3: MAPI_E_LOGON_FAILURE OR MAPI_E_LOGIN_FAILURE"},
    {4, "4: MAPI_E_DISK_FULL"},
    {5, "5: MAPI_E_INSUFFICIENT_MEMORY"},
    {6, "6: MAPI_E_ACCESS_DENIED"},
    {8, "8: MAPI_E_TOO_MANY_SESSIONS"},
    {9, "9: MAPI_E_TOO_MANY_FILES"},
    {10, "10: MAPI_E_TOO_MANY_RECIPIENTS"},
    {11, "11: MAPI_E_ATTACHMENT_NOT_FOUND"},
    {12, "12: MAPI_E_ATTACHMENT_OPEN_FAILURE"},
    {13, "13: MAPI_E_ATTACHMENT_WRITE_FAILURE"},
    {14, "14: MAPI_E_UNKNOWN_RECIPIENT"},
    {15, "15: MAPI_E_BAD_RECIPTYPE"},
    {16, "16: MAPI_E_NO_MESSAGES"},
    {17, "17: MAPI_E_INVALID_MESSAGE"},
    {18, "18: MAPI_E_TEXT_TOO_LARGE"},
    {19, "19: MAPI_E_INVALID_SESSION"},
    {20, "20: MAPI_E_TYPE_NOT_SUPPORTED"},
    {21, "21: MAPI_E_AMBIGUOUS_RECIPIENT OR MAPI_E_AMBIG_RECIP"},
    {22, "22: MAPI_E_MESSAGE_IN_USE"},
    {23, "23: MAPI_E_NETWORK_FAILURE"},
    {24, "24: MAPI_E_INVALID_EDITFIELDS"},
    {25, "25: MAPI_E_INVALID_RECIPS"},
    {26, "26: MAPI_E_NOT_SUPPORTED"},
};
// clang-format on

constexpr char kSuccessLine[] = "\nProcess succeeded with return status as ";
constexpr char kFailureLine[] = "\nProcess failed with returned as ";
constexpr char kGenericFailure[] = "\nTransfer failure. Please view the log file.";
// Kept as UTF-16 like the catalogue's Japanese texts; on a Japanese desktop
// the ANSI code page is 932, which holds every character of it.
constexpr wchar_t kGenericFailureJapanese[] =
    L"\n転送に失敗しました。ログファイルの参照を願います。";

}  // namespace

const char* TransferStatusText(int32_t status) {
    for (const StatusText& row : kToolStatuses) {
        if (row.status == status) return row.text;
    }
    for (const StatusText& row : kMapiStatuses) {
        if (row.status == status) return row.text;
    }
    return nullptr;
}

std::string ComposeTransferReport(int32_t status, std::string_view context, uint32_t userLcid) {
    std::string text(context);
    if (status == kTransferSuccess) {
        text += kSuccessLine;
        text += TransferStatusText(kTransferSuccess);
    } else if (const char* row = TransferStatusText(status)) {
        text += kFailureLine;
        text += row;
    } else if (userLcid == kJapaneseLcid) {
        text += ToAnsiString(kGenericFailureJapanese);
    } else {
        text += kGenericFailure;
    }
    return text;
}

void ReportTransferResult(int32_t status, const char* context) {
    const std::string text = ComposeTransferReport(
        status, context ? std::string_view(context) : std::string_view(), State().userLcid);
    ShowMessage(kMsgTransferReport, State().watchedPath.CStr(), text.c_str());
}
