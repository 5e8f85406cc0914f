#pragma once
// The report of a failed (or, when asked, successful) transfer run: the
// status of a transfer tool run or of a tray pipe request spelt out from the
// tool's code tables, after a context text that names the run. Shown in a box
// that closes by itself (message code 100, the watched folder as its title).

#include <cstdint>
#include <string>
#include <string_view>

// The context texts of the runs. Each begins with a blank; the report puts
// nothing between the context and what follows.
inline constexpr char kContextIntervalFiring[] = " Specified time interval reached";
inline constexpr char kContextThresholdFiring[] = " Threshold count reached";
inline constexpr char kContextEventListFiring[] =
    " Process invoked for commands under eventFileList";
inline constexpr char kContextSyncDownload[] = " Process invoked for Download with Sync internally";
inline constexpr char kContextSyncUpload[] = " Process invoked for Upload with Sync internally";

// Transfer statuses with a meaning of their own to the watcher.
enum TransferStatus : int32_t {
    kTransferSuccess = 0,
    kTransferFailure = -1,
    kTransferNothingSent = 1,  // FireEventList sent nothing
    kTransferNotStarted = 99,  // the transfer tool could not be started
    kTransferOperationActive = -1027,
};

// The code table text of `status` (the tool's codes or the Simple MAPI
// codes); null for a status in neither table.
const char* TransferStatusText(int32_t status);

// The report's text in the ANSI code page: the context, then the success line
// and "0: PL_SUCCESS", the failure line and the table text, or the generic
// failure text (Japanese when userLcid is 1041).
std::string ComposeTransferReport(int32_t status, std::string_view context, uint32_t userLcid);

// Composes the report for State().userLcid and shows it with message code 100
// and State().watchedPath as the caption; returns when the box has closed.
// Any thread may call it: the text lives in this call's own storage.
void ReportTransferResult(int32_t status, const char* context);
