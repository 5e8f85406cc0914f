// Catches: a report text the user sees changed, a status given the wrong table text or none.
#include "sync/transfer_report.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/text_conversion.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"

namespace {

constexpr uint32_t kEnglishLcid = 1033;

class TransferReportTest : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }
    BoxRecorder recorder;
    unsigned originalCodePage = CurrentAnsiCodePage();
};

TEST_F(TransferReportTest, ContextThenTheTableTextOrTheGenericText) {
    const std::string generic = "\nTransfer failure. Please view the log file.";
    const struct {
        int32_t status;
        const char* context;
        std::string expected;
    } cases[] = {
        {0, kContextThresholdFiring,
         " Threshold count reached\nProcess succeeded with return status as 0: PL_SUCCESS"},
        // The blank before the colon belongs to the table text.
        {1000, kContextEventListFiring,
         " Process invoked for commands under eventFileList\nProcess failed with returned as "
         "1000 : PL_SKIPFILE"},
        {-1027, kContextSyncDownload,
         " Process invoked for Download with Sync internally\nProcess failed with returned as "
         "-1027: PLE_INVALID_OPERATION / Another operation is already active for CNW folder"},
        {26, "", "\nProcess failed with returned as 26: MAPI_E_NOT_SUPPORTED"},
        // 7: the gap in the MAPI table; the others lie just beyond each table's ends.
        {7, kContextSyncUpload, kContextSyncUpload + generic},
        {27, "", generic},   {-2, "", generic},   {-1028, "", generic}, {999, "", generic},
        {1002, "", generic}, {INT_MIN, "", generic},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComposeTransferReport(c.status, c.context, kEnglishLcid), c.expected)
            << "status " << c.status;
    }
}

TEST_F(TransferReportTest, JapaneseDesktopGetsJapaneseGenericText) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    // Table texts stay as the tool names them.
    EXPECT_EQ(ComposeTransferReport(-1010, "", kJapaneseLcid),
              "\nProcess failed with returned as -1010: PLE_NOSERVER / Invalid server ip or port");
    State().watchedPath = "C:\\w";
    State().userLcid = kJapaneseLcid;
    ReportTransferResult(99, kContextThresholdFiring);
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"C:\\w");
    EXPECT_EQ(boxes[0].timeoutMs, 20000u);
    EXPECT_EQ(boxes[0].text, std::wstring(L" Threshold count reached") +
                                 L"\n転送に失敗しました。ログファイルの参照を願います。");
}

}  // namespace
