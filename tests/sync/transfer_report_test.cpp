#include "sync/transfer_report.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/text_conversion.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"

namespace {

constexpr uint32_t kEnglishLcid = 1033;

// The generic failure text on a Japanese desktop, as code page 932 bytes.
const std::string kJapaneseGeneric =
    "\n\x93\x5d\x91\x97\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"
    "\x83\x8d\x83\x4f\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8e\x51\x8f\xc6\x82\xf0"
    "\x8a\xe8\x82\xa2\x82\xdc\x82\xb7\x81\x42";

struct ReportCase {
    int32_t status;
    const char* context;
    const char* expected;
};

TEST(TransferReportText, ComposesContextLineAndTableText) {
    const ReportCase cases[] = {
        {0, " Threshold count reached",
         " Threshold count reached\nProcess succeeded with return status as 0: PL_SUCCESS"},
        // The blank before the colon belongs to the table text.
        {1000, " Process invoked for commands under eventFileList",
         " Process invoked for commands under eventFileList\nProcess failed with returned as "
         "1000 : PL_SKIPFILE"},
        {-1, " Process invoked for Upload with Sync internally",
         " Process invoked for Upload with Sync internally\nProcess failed with returned as "
         "-1: PL_FAILURE"},
        {-1027, " Process invoked for Download with Sync internally",
         " Process invoked for Download with Sync internally\nProcess failed with returned as "
         "-1027: PLE_INVALID_OPERATION / Another operation is already active for CNW folder"},
        {1, "", "\nProcess failed with returned as 1: MAPI_USER_ABORT OR MAPI_E_USER_ABORT"},
        {26, "", "\nProcess failed with returned as 26: MAPI_E_NOT_SUPPORTED"},
    };
    for (const ReportCase& c : cases) {
        EXPECT_EQ(ComposeTransferReport(c.status, c.context, kEnglishLcid), c.expected)
            << "status " << c.status;
    }
}

TEST(TransferReportText, StatusOutsideBothTablesGetsTheGenericText) {
    // 7: the gap in the MAPI table; the others lie just beyond each table's ends.
    for (int32_t status : {7, 99, 259, 27, -2, -999, -1028, 999, 1002, INT_MIN, INT_MAX}) {
        EXPECT_EQ(ComposeTransferReport(status, " Threshold count reached", kEnglishLcid),
                  " Threshold count reached\nTransfer failure. Please view the log file.")
            << "status " << status;
        EXPECT_EQ(TransferStatusText(status), nullptr) << "status " << status;
    }
}

TEST(TransferReportText, EveryTableRowStartsWithItsStatusAndFitsTheReport) {
    int rows = 0;
    for (int32_t status = -1100; status <= 1100; ++status) {
        const char* text = TransferStatusText(status);
        if (!text) continue;
        ++rows;
        EXPECT_EQ(std::string(text).rfind(std::to_string(status), 0), 0u) << text;
        EXPECT_LT(ComposeTransferReport(status, kContextEventListFiring, kEnglishLcid).size(),
                  200u);
    }
    // 4 general codes, -1000 to -1027, and 25 MAPI codes.
    EXPECT_EQ(rows, 4 + 28 + 25);
}

class TransferReportTest : public StateTest {
protected:
    void TearDown() override {
        SelectAnsiCodePage(originalCodePage);
        StateTest::TearDown();
    }

    BoxRecorder recorder;
    unsigned originalCodePage = CurrentAnsiCodePage();
};

TEST_F(TransferReportTest, JapaneseDesktopGetsJapaneseGenericText) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    EXPECT_EQ(ComposeTransferReport(99, kContextSyncUpload, kJapaneseLcid),
              std::string(kContextSyncUpload) + kJapaneseGeneric);
    // Table texts stay as the tool names them.
    EXPECT_EQ(ComposeTransferReport(-1010, "", kJapaneseLcid),
              "\nProcess failed with returned as -1010: PLE_NOSERVER / Invalid server ip or port");

    State().watchedPath = "C:\\w";
    State().userLcid = kJapaneseLcid;
    ReportTransferResult(99, kContextThresholdFiring);
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, std::wstring(L" Threshold count reached") +
                                 L"\n転送に失敗しました。ログファイルの参照を願います。");
}

}  // namespace
