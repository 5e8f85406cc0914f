#include "app/start_refusal.h"

#include "base/seams.h"
#include "base/watcher_state.h"

namespace {

constexpr wchar_t kRefusalCaption[] = L"PellaroCNW";
constexpr uint32_t kRefusalTimeoutMs = 20000;

struct RefusalText {
    StartRefusal refusal;
    const wchar_t* english;
    const wchar_t* japanese;
};

// clang-format off
constexpr RefusalText kRefusals[] = {
    {StartRefusal::kDataFolderTooLong,
     L"The data folder path (APPDATA\\xq\\pellaro) is longer than 259 characters.\nThe watcher does not start.",
     L"データフォルダー（APPDATA\\xq\\pellaro）のパスが 259 文字を超えています。\nウォッチャーは起動しません。"},
    {StartRefusal::kFolderTooLong,
     L"The watched folder path is longer than 511 characters.\nThe watcher does not start.",
     L"監視フォルダーのパスが 511 文字を超えています。\nウォッチャーは起動しません。"},
    {StartRefusal::kFileNamesTooLong,
     L"The names of this folder's files in the data folder are longer than 511 characters.\nThe watcher does not start.",
     L"データフォルダー内の本フォルダー用ファイル名が 511 文字を超えています。\nウォッチャーは起動しません。"},
};
// clang-format on

}  // namespace

const wchar_t* StartRefusalText(StartRefusal refusal, uint32_t userLcid) {
    for (const RefusalText& row : kRefusals) {
        if (row.refusal == refusal) return userLcid == kJapaneseLcid ? row.japanese : row.english;
    }
    return L"";
}

void RefuseToStart(StartRefusal refusal) {
    CurrentSeams().showTimedBox(kRefusalCaption, StartRefusalText(refusal, State().userLcid),
                                kRefusalTimeoutMs);
    CurrentSeams().endProcess(1);
}
