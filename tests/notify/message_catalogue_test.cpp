#include "notify/message_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/text_conversion.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"

namespace {

class MessageCatalogueTest : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }
    RecordedBox ShowOne(int32_t code, uint32_t lcid, const char* caption = "C:\\w",
                        const char* composed = nullptr) {
        recorder.Clear();
        State().userLcid = lcid;
        ShowMessage(code, caption, composed);
        const auto boxes = recorder.Boxes();
        EXPECT_EQ(boxes.size(), 1u) << "code " << code;
        return boxes.empty() ? RecordedBox{} : boxes.front();
    }
    BoxRecorder recorder;
    unsigned originalCodePage = CurrentAnsiCodePage();
};

std::wstring FromUtf8(const char* text) {  // basic-plane characters only
    std::wstring out;
    for (auto p = reinterpret_cast<const unsigned char*>(text); *p;) {
        unsigned c = *p++;
        int more = c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c &= more == 2 ? 0x0Fu : more == 1 ? 0x1Fu : 0xFFu;
        while (more-- > 0) c = (c << 6) | (*p++ & 0x3Fu);
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

struct Expected {
    int32_t code;
    const char* english;
    const char* japanese;  // null: English on a Japanese desktop too
};

#define LINK "https://www.scootersoftware.com/download"

// Typed independently of the catalogue's source.
const Expected kExpected[] = {
    {200, "Firing  Local => Remote Syncing.", nullptr},
    {201, "Firing buffered events since timer event reached.", nullptr},
    {202, "Firing buffered events since threshold count reached.", nullptr},
    {203, "Firing  Local <= Remote Syncing !", "指示に従い、本機 <= 遠隔 からの同期が実行中です !"},
    {204, "Firing  Local => Remote Syncing !", "指示に従い、本機 => 遠隔 への同期が実行中です !"},
    {205, "Please try later since file transfer is underway.",
     "ファイル転送が進行中です。後程お試し下さい。"},
    {206,
     "!!! WARNING !!!  Start  Local <= Remote Syncing\n\nUpdate under the folder will NOT be "
     "reflected to remote !",
     "!!! 警告 !!!  本機 <= 遠隔 からの同期が開始されます。\n\n"
     "フォルダー配下ファイルへの更新は、遠隔機に反映されません !"},
    {207,
     "Firing  Local => Remote \xE3\x80\x80"
     "file transfer.",
     "本機 => 遠隔 へのファイル転送（非同期）を行います。"},
    {208, "Please check the left over event and do needful.", nullptr},
    {209, "Skip internal  Local <= Remote  Syncing.", nullptr},
    {210, "Firing plftp for eventfilelist commands on CNW start up.", nullptr},
    {211,
     "!!! Good News !!!  Finished  Local <= Remote Syncing\n\nUpdate under the folder will be "
     "reflected to remote.",
     "!!! 吉報 !!!  本機 <= 遠隔 からの同期終了。\n\n"
     "フォルダー配下ファイルへの更新は、遠隔機に反映されます。"},
    {212, "MANUALLY reflect local events to remote, please.",
     "手動にて、イベントを遠隔へ反映して下さい。"},
    {213, "!!! Good News !!!  Finished  Manual  Local => Remote Syncing.",
     "!!! 吉報 !!!  本機 => 遠隔 への手動同期終了。"},
    {214,
     "!!! Good News !!!  Finished  Manual  Local <= Remote Syncing !  Update will be reflected.",
     "!!! 吉報 !!!  本機 <= 遠隔 からの手動同期終了。  更新は反映されます。"},
    {215, "Out to cloud started.", "入雲が開始されました。"},
    {216, "Out of cloud started.", "出雲が開始されました。"},
    {217, "Out to cloud finished.", "入雲が終了しました。"},
    {218, "Out of cloud finished.", "出雲が終了しました。"},
    {219, "Syncing started.", "同期が開始されました。"},
    {220, "Syncing finished.", "同期が終了しました。"},
    {221, "Mirror started.", "ミラーが開始されました。"},
    {222, "Mirror finished.", "ミラーが終了しました。"},
    {223,
     "Selected target has been skipped due to a shadow/config file,\nexceeding size limit, or "
     "being matched with the ignore pattern.",
     "選択されターゲットは、シャドー／構成ファイル、サイズ超過、\n"
     "非対象の何れかの理由によりスキップされました。"},
    {224, "Shadow file already exists.", "シャドーファイルが既に存在します。"},
    {225, "Compare is currently not available for files/folders having Google Drive protocol.",
     "現在、Google ドライブ指定の際「比較」は利用できません。"},
    {-2026, "File locked by Self.", "既にご自身でロックしています。"},
    {-2025, "Internal signal error, thus cannot proceed with locking.",
     "内部シグナルエラーにより、本ファイルのロックに失敗しました。"},
    {-2024, "File locking was unsuccessful as multiple lock files co-exists at remote end.",
     "複数ユーザが同時にファイルロックを試みました。"},
    {-2023, "File unlocking was unsuccessful.", "本ファイルのロック解除が出来ません。"},
    {-2022, "File locking was unsuccessful.", "本ファイルをロック出来ません。"},
    {-2021, "File locking was unsuccessful as it was already locked by other user.",
     "別ユーザが既に本ファイルをロックしています。"},
    {-2020,
     "The file to be locked is older than the remote one.\nPlease download it manually by "
     "selecting [Local <= Remote]\non Mirror context menu on the file and lock it again.",
     "遠隔ファイルが更新されています。\n本ファイル上「ミラー」コンテキストメニューより、\n"
     "「本機 <= 遠隔」を選択。ダウンロード後、再度ロック願います。"},
    {-2019, "Please switch to FTP, not FTPS, to cater this feature.",
     "この機能を利用するには、FTP への変更が必要です。"},
    {-2018, "You can cater this feature installing BeyondCompare downloadable\n @ " LINK,
     "この機能を利用するには、\nBeyondCompare （" LINK " ）が必要です。"},
    {-2017,
     "Cannot proceed with the selected action as sub=0 in _xxx.config file.\nPlease reset it to "
     "1 for performing the action.",
     nullptr},
    {-2016, "The file is already present on Cloud\n. Perform Out of Cloud for file edition.",
     nullptr},
    {-2015, "Watched folder name contains unsupported character. \nTerminating Watcher.",
     "ウォッチャー フォルダー名に、非サポート文字が含まれています。\nウォッチャーを終了します。"},
    {-2014, "Folder name contains unsupported character. \nThis event will be skipped.",
     "フォルダー名に、非サポート文字が含まれています。\n本イベントは無視されます。"},
    {-2013,
     "You may be run into error ! \nEnsure that you terminate plerror.txt before performing "
     "further events",
     nullptr},
    {-2011, "!!! WARNING !!! Firing Local => Remote Syncing since errors in earlier events.",
     "!!! 警告 !!! 直前のイベント処理にてエラーが発生、本機 => 遠隔 への同期を行います。"},
    {-2010, "Updated Pellaro Watcher folder entry on its termination.",
     "Pellaro ウォッチャー フォルダーのエントリーは終了時に更新されました。"},
    {-2009, "No Pellaro Watcher instance is running for selected path.",
     "選択されたフォルダーに対する Pellaro ウォッチャーは起動されていません。"},
    {-2008, "Selected path entry not found in cnwfolder.txt.",
     "選択された Pellaro ウォッチャー フォルダーは cnwfolder.txt 内に記述がありません。"},
    {-2007, "cnwfolder.txt file is not present.", "cnwfolder.txtファイルが見つかりません。"},
    {-2006, "This event is not being handled.", "本イベントは処理出来ません。"},
    {-2005, "Could not connect to server.\nPlease verify network connectivity or config files.",
     "サーバに接続出来ません。\nネットワーク接続状態、又は設定情報の確認を願います。"},
    {-2004, "Failed to open file under APPDATA\\xq\\pellaro.",
     "APPDATA\\xq\\pellaro 配下のCNWファイルオープンに失敗しました。"},
    {-2003, "_get.config file not persent, Create config files using Settings Submenu.",
     "設定ファイルが存在しません。設定サブメニューへ進んで下さい。"},
    {-2002, "The parent folder of selected is already being monitored.", nullptr},
    {-2001, "The selected path is already being monitored.",
     "選択されたフォルダーは、既に監視対象です。"},
    {-1035, "File to be ignored or existing under folder to be ignored cannot be locked.",
     "非対象ﾊﾟﾀｰﾝのファイルをロックすることはできません。"},
};

TEST_F(MessageCatalogueTest, EveryCodeShowsItsTextAndTimeOutByLocale) {
    for (const Expected& e : kExpected) {
        for (uint32_t lcid : {1033u, 0u, 2052u, 1041u}) {
            const char* want = lcid == 1041 && e.japanese ? e.japanese : e.english;
            const RecordedBox box = ShowOne(e.code, lcid);
            EXPECT_EQ(box.text, FromUtf8(want)) << "code " << e.code << ", locale " << lcid;
            EXPECT_EQ(box.timeoutMs, e.code == 211 ? 2000u : e.code == -2018 ? 60000u : 5000u)
                << "code " << e.code;
        }
    }
}

TEST_F(MessageCatalogueTest, ComposedCodesShowTheCallersTextUnchanged) {
    const char* composed = "Transfer failed: -1010\n\nServer 10.0.0.1:21 refused.\n";
    for (int32_t code : {100, 101, 102, 103, 104}) {
        for (uint32_t lcid : {1033u, 1041u}) {
            const RecordedBox box = ShowOne(code, lcid, "C:\\w", composed);
            EXPECT_EQ(box.text, L"Transfer failed: -1010\n\nServer 10.0.0.1:21 refused.\n");
            EXPECT_EQ(box.timeoutMs, 20000u) << "code " << code;
        }
    }
    EXPECT_EQ(ShowOne(100, 1033, "C:\\w", nullptr).text, L"");
    EXPECT_EQ(ShowOne(220, 1033, "C:\\w", "ignored").text, L"Syncing finished.");
}

TEST_F(MessageCatalogueTest, CodesOutsideTheCatalogueShowTheirNumber) {
    for (int32_t code : {-2012, 199, 226, 105, -2027, 0, 99}) {
        for (uint32_t lcid : {1033u, 1041u}) {
            const RecordedBox box = ShowOne(code, lcid, "C:\\w", "composed");
            EXPECT_EQ(box.text, std::to_wstring(code));
            EXPECT_EQ(box.timeoutMs, 5000u);
        }
        EXPECT_EQ(CatalogueText(code, 1033), nullptr);
    }
}

TEST_F(MessageCatalogueTest, CaptionAndComposedTextComeFromTheAnsiCodePage) {
    if (SelectAnsiCodePage(1252)) {
        const RecordedBox box = ShowOne(100, 1033, "C:\\caf\xE9", "na\xEFve");
        EXPECT_EQ(box.caption, L"C:\\caf\u00E9");
        EXPECT_EQ(box.text, L"na\u00EFve");
    }
    if (SelectAnsiCodePage(932)) {  // 表 is 95 5C: its trail byte is no backslash
        const RecordedBox box = ShowOne(220, 1041, ToAnsiString(L"C:\\表\\同期").c_str());
        EXPECT_EQ(box.caption, L"C:\\表\\同期");
        EXPECT_EQ(box.text, L"同期が終了しました。");
    }
    EXPECT_EQ(ShowOne(220, 1033, nullptr).caption, L"");
}

TEST_F(MessageCatalogueTest, ConcurrentCallsEachShowTheirOwnTextAndCaption) {
    State().userLcid = 1041;
    std::vector<std::thread> threads;
    for (int32_t code = 215; code <= 222; ++code) {
        threads.emplace_back([code] {
            const std::string caption = "C:\\folder" + std::to_string(code);
            for (int i = 0; i < 20; ++i) ShowMessage(code, caption.c_str());
        });
    }
    for (auto& t : threads) t.join();
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 8u * 20u);
    for (const RecordedBox& box : boxes) {
        EXPECT_EQ(box.caption, L"C:\\folder" + std::to_wstring(box.code));
        EXPECT_EQ(box.text, std::wstring(CatalogueText(box.code, 1041)));
    }
}

}  // namespace
