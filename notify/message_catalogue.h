#pragma once
// Everything the watcher tells the user goes through ShowMessage: a message
// code selects a text (English, or Japanese on a Japanese desktop) and a
// time-out, and the text is shown in a box that closes by itself.
//
// The catalogue's texts are kept as UTF-16, so a box shows them exactly as
// written whatever the system's ANSI code page is; only the caption and the
// caller-composed texts of codes 100 to 104 come in the ANSI code page.

#include <cstdint>
#include <string>

// The codes the watcher raises itself, named once here (the catalogue holds
// more, for the client's other programs).
constexpr int32_t kMsgTransferReport = 100;
constexpr int32_t kMsgIntervalFiring = 201;
constexpr int32_t kMsgThresholdFiring = 202;
constexpr int32_t kMsgUploadStarts = 204;
constexpr int32_t kMsgDownloadWarning = 206;
constexpr int32_t kMsgUploadFallback = 207;
constexpr int32_t kMsgDownloadSkipped = 209;
constexpr int32_t kMsgEventListFiring = 210;
constexpr int32_t kMsgSendByHand = 212;
constexpr int32_t kMsgSyncingFinished = 220;
constexpr int32_t kMsgErrorFileLeft = -2013;
constexpr int32_t kMsgUnsupportedFolderName = -2015;
constexpr int32_t kMsgRegistryMissing = -2007;
constexpr int32_t kMsgUnsupportedCharacter = -2014;
constexpr int32_t kMsgNoConnection = -2005;
constexpr int32_t kMsgFileOpenFailed = -2004;
constexpr int32_t kMsgAlreadyWatched = -2001;

// Shows the message for `code` with `caption` (a watched folder path) as the
// title and returns when the box has closed. For codes 100 to 104 the text is
// `composedText`, shown unchanged; other codes take the catalogue's text.
// Caption and composed text are in the ANSI code page. Any thread may call it;
// the box blocks only the calling thread.
void ShowMessage(int32_t code, const char* caption, const char* composedText = nullptr);

// Shows the message from a detached thread of its own and returns at once; the
// caption is copied first, so the caller may free it.
void ShowMessageAsync(int32_t code, const char* caption);

// The catalogue entry's text for `code`: Japanese when `userLcid` is 1041 and
// the entry has one, else English. Null for codes 100 to 104 and for codes the
// catalogue does not hold.
const wchar_t* CatalogueText(int32_t code, uint32_t userLcid);

// The time-out of the box for `code`, in milliseconds.
uint32_t MessageTimeoutMs(int32_t code);

// The text ShowMessage shows for `code`: the composed text (converted from the
// ANSI code page) for codes 100 to 104, the catalogue's text, or the code's
// number for a code outside the catalogue.
std::wstring MessageText(int32_t code, uint32_t userLcid, const char* composedText);
