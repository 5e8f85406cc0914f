#include "notify/message_catalogue.h"

#include <new>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/seams.h"
#include "base/text_conversion.h"
#include "base/watcher_state.h"

namespace {

struct CatalogueEntry {
    int32_t code;
    const wchar_t* english;
    const wchar_t* japanese;  // null: the English text is shown on every desktop
};

// The one definition of every message text. Codes 100 to 104 are not here:
// their callers compose the text.
// clang-format off
constexpr CatalogueEntry kCatalogue[] = {
    {200, L"Firing  Local => Remote Syncing.",
     nullptr},
    {201, L"Firing buffered events since timer event reached.",
     nullptr},
    {202, L"Firing buffered events since threshold count reached.",
     nullptr},
    {203, L"Firing  Local <= Remote Syncing !",
     L"指示に従い、本機 <= 遠隔 からの同期が実行中です !"},
    {204, L"Firing  Local => Remote Syncing !",
     L"指示に従い、本機 => 遠隔 への同期が実行中です !"},
    {205, L"Please try later since file transfer is underway.",
     L"ファイル転送が進行中です。後程お試し下さい。"},
    {206, L"!!! WARNING !!!  Start  Local <= Remote Syncing\n\nUpdate under the folder will NOT be reflected to remote !",
     L"!!! 警告 !!!  本機 <= 遠隔 からの同期が開始されます。\n\nフォルダー配下ファイルへの更新は、遠隔機に反映されません !"},
    {207, L"Firing  Local => Remote \u3000file transfer.",
     L"本機 => 遠隔 へのファイル転送（非同期）を行います。"},
    {208, L"Please check the left over event and do needful.",
     nullptr},
    {209, L"Skip internal  Local <= Remote  Syncing.",
     nullptr},
    {210, L"Firing plftp for eventfilelist commands on CNW start up.",
     nullptr},
    {211, L"!!! Good News !!!  Finished  Local <= Remote Syncing\n\nUpdate under the folder will be reflected to remote.",
     L"!!! 吉報 !!!  本機 <= 遠隔 からの同期終了。\n\nフォルダー配下ファイルへの更新は、遠隔機に反映されます。"},
    {212, L"MANUALLY reflect local events to remote, please.",
     L"手動にて、イベントを遠隔へ反映して下さい。"},
    {213, L"!!! Good News !!!  Finished  Manual  Local => Remote Syncing.",
     L"!!! 吉報 !!!  本機 => 遠隔 への手動同期終了。"},
    {214, L"!!! Good News !!!  Finished  Manual  Local <= Remote Syncing !  Update will be reflected.",
     L"!!! 吉報 !!!  本機 <= 遠隔 からの手動同期終了。  更新は反映されます。"},
    {215, L"Out to cloud started.",
     L"入雲が開始されました。"},
    {216, L"Out of cloud started.",
     L"出雲が開始されました。"},
    {217, L"Out to cloud finished.",
     L"入雲が終了しました。"},
    {218, L"Out of cloud finished.",
     L"出雲が終了しました。"},
    {219, L"Syncing started.",
     L"同期が開始されました。"},
    {220, L"Syncing finished.",
     L"同期が終了しました。"},
    {221, L"Mirror started.",
     L"ミラーが開始されました。"},
    {222, L"Mirror finished.",
     L"ミラーが終了しました。"},
    {223, L"Selected target has been skipped due to a shadow/config file,\nexceeding size limit, or being matched with the ignore pattern.",
     L"選択されターゲットは、シャドー／構成ファイル、サイズ超過、\n非対象の何れかの理由によりスキップされました。"},
    {224, L"Shadow file already exists.",
     L"シャドーファイルが既に存在します。"},
    {225, L"Compare is currently not available for files/folders having Google Drive protocol.",
     L"現在、Google ドライブ指定の際「比較」は利用できません。"},
    {-2026, L"File locked by Self.",
     L"既にご自身でロックしています。"},
    {-2025, L"Internal signal error, thus cannot proceed with locking.",
     L"内部シグナルエラーにより、本ファイルのロックに失敗しました。"},
    {-2024, L"File locking was unsuccessful as multiple lock files co-exists at remote end.",
     L"複数ユーザが同時にファイルロックを試みました。"},
    {-2023, L"File unlocking was unsuccessful.",
     L"本ファイルのロック解除が出来ません。"},
    {-2022, L"File locking was unsuccessful.",
     L"本ファイルをロック出来ません。"},
    {-2021, L"File locking was unsuccessful as it was already locked by other user.",
     L"別ユーザが既に本ファイルをロックしています。"},
    {-2020, L"The file to be locked is older than the remote one.\nPlease download it manually by selecting [Local <= Remote]\non Mirror context menu on the file and lock it again.",
     L"遠隔ファイルが更新されています。\n本ファイル上「ミラー」コンテキストメニューより、\n「本機 <= 遠隔」を選択。ダウンロード後、再度ロック願います。"},
    {-2019, L"Please switch to FTP, not FTPS, to cater this feature.",
     L"この機能を利用するには、FTP への変更が必要です。"},
    {-2018, L"You can cater this feature installing BeyondCompare downloadable\n @ https://www.scootersoftware.com/download",
     L"この機能を利用するには、\nBeyondCompare （https://www.scootersoftware.com/download ）が必要です。"},
    {-2017, L"Cannot proceed with the selected action as sub=0 in _xxx.config file.\nPlease reset it to 1 for performing the action.",
     nullptr},
    {-2016, L"The file is already present on Cloud\n. Perform Out of Cloud for file edition.",
     nullptr},
    {-2015, L"Watched folder name contains unsupported character. \nTerminating Watcher.",
     L"ウォッチャー フォルダー名に、非サポート文字が含まれています。\nウォッチャーを終了します。"},
    {-2014, L"Folder name contains unsupported character. \nThis event will be skipped.",
     L"フォルダー名に、非サポート文字が含まれています。\n本イベントは無視されます。"},
    {-2013, L"You may be run into error ! \nEnsure that you terminate plerror.txt before performing further events",
     nullptr},
    {-2011, L"!!! WARNING !!! Firing Local => Remote Syncing since errors in earlier events.",
     L"!!! 警告 !!! 直前のイベント処理にてエラーが発生、本機 => 遠隔 への同期を行います。"},
    {-2010, L"Updated Pellaro Watcher folder entry on its termination.",
     L"Pellaro ウォッチャー フォルダーのエントリーは終了時に更新されました。"},
    {-2009, L"No Pellaro Watcher instance is running for selected path.",
     L"選択されたフォルダーに対する Pellaro ウォッチャーは起動されていません。"},
    {-2008, L"Selected path entry not found in cnwfolder.txt.",
     L"選択された Pellaro ウォッチャー フォルダーは cnwfolder.txt 内に記述がありません。"},
    {-2007, L"cnwfolder.txt file is not present.",
     L"cnwfolder.txtファイルが見つかりません。"},
    {-2006, L"This event is not being handled.",
     L"本イベントは処理出来ません。"},
    {-2005, L"Could not connect to server.\nPlease verify network connectivity or config files.",
     L"サーバに接続出来ません。\nネットワーク接続状態、又は設定情報の確認を願います。"},
    {-2004, L"Failed to open file under APPDATA\\xq\\pellaro.",
     L"APPDATA\\xq\\pellaro 配下のCNWファイルオープンに失敗しました。"},
    {-2003, L"_get.config file not persent, Create config files using Settings Submenu.",
     L"設定ファイルが存在しません。設定サブメニューへ進んで下さい。"},
    {-2002, L"The parent folder of selected is already being monitored.",
     nullptr},
    {-2001, L"The selected path is already being monitored.",
     L"選択されたフォルダーは、既に監視対象です。"},
    {-1035, L"File to be ignored or existing under folder to be ignored cannot be locked.",
     L"非対象ﾊﾟﾀｰﾝのファイルをロックすることはできません。"},
};
// clang-format on

bool IsComposedCode(int32_t code) { return code >= 100 && code <= 104; }

}  // namespace

const wchar_t* CatalogueText(int32_t code, uint32_t userLcid) {
    for (const CatalogueEntry& entry : kCatalogue) {
        if (entry.code != code) continue;
        if (userLcid == kJapaneseLcid && entry.japanese) return entry.japanese;
        return entry.english;
    }
    return nullptr;
}

uint32_t MessageTimeoutMs(int32_t code) {
    if (IsComposedCode(code)) return 20000;
    if (code == 211) return 2000;
    if (code == -2018) return 60000;
    return 5000;
}

std::wstring MessageText(int32_t code, uint32_t userLcid, const char* composedText) {
    if (IsComposedCode(code)) {
        return ToWideString(composedText ? std::string_view(composedText) : std::string_view());
    }
    if (const wchar_t* text = CatalogueText(code, userLcid)) return text;
    // No caller passes a code outside the catalogue; should one appear, its
    // number still tells the user which message was meant.
    return std::to_wstring(code);
}

void ShowMessage(int32_t code, const char* caption, const char* composedText) {
    // Text and caption live in this call's own storage: boxes on other threads
    // never share them.
    const std::wstring text = MessageText(code, State().userLcid, composedText);
    const std::wstring wideCaption =
        ToWideString(caption ? std::string_view(caption) : std::string_view());
    CurrentSeams().showTimedBox(wideCaption, text, MessageTimeoutMs(code));
}

void ShowMessageAsync(int32_t code, const char* caption) {
    try {
        std::thread([code, copy = std::string(caption ? caption : "")]() noexcept {
            ShowMessage(code, copy.c_str());
        }).detach();
    } catch (const std::system_error&) {
        // No thread to show it on: the message is dropped rather than
        // blocking the caller, which must not wait for a box.
    } catch (const std::bad_alloc&) {
    }
}
