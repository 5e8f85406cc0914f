// Catches: the wrong language or time-out, a freed caption shown, boxes of threads mixed up.
#include "notify/message_catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/box_recorder.h"
#include "support/state_fixture.h"

namespace {

class MessageCatalogueTest : public StateTest {
protected:
    BoxRecorder recorder;
};

// A few texts as the user sees them; the catalogue itself is the one list.
TEST_F(MessageCatalogueTest, CodesShowTheirTextInTheUsersLanguageWithTheirTimeOut) {
    const struct {
        int32_t code;
        uint32_t lcid;
        std::wstring text;
        uint32_t timeoutMs;
    } cases[] = {
        {220, 1033, L"Syncing finished.", 5000},
        {220, 1041, L"同期が終了しました。", 5000},
        {211, 1033, CatalogueText(211, 1033), 2000},
        {201, 1041, L"Firing buffered events since timer event reached.", 5000},  // no Japanese
        {104, 1041, L"composed", 20000},  // 100 to 104: the caller's text
        {-2012, 1041, L"-2012", 5000},    // outside the catalogue: the number
    };
    for (const auto& c : cases) {
        recorder.Clear();
        State().userLcid = c.lcid;
        ShowMessage(c.code, "C:\\w", "composed");
        ASSERT_EQ(recorder.Boxes().size(), 1u);
        EXPECT_EQ(recorder.Boxes()[0].text, c.text) << "code " << c.code << ", locale " << c.lcid;
        EXPECT_EQ(recorder.Boxes()[0].timeoutMs, c.timeoutMs) << "code " << c.code;
    }
}

TEST_F(MessageCatalogueTest, BoxesOnOtherThreadsKeepTheirOwnTextAndCaption) {
    State().userLcid = 1041;
    // The asynchronous box keeps the caption the caller overwrites and frees at once.
    auto caption = std::make_unique<char[]>(16);
    std::strcpy(caption.get(), "C:\\folder204");
    ShowMessageAsync(204, caption.get());
    std::memset(caption.get(), 'X', 15);
    caption.reset();
    std::vector<std::thread> threads;
    for (int32_t code = 215; code <= 222; ++code) {
        threads.emplace_back([code] {
            const std::string caption = "C:\\folder" + std::to_string(code);
            for (int i = 0; i < 20; ++i) ShowMessage(code, caption.c_str());
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(recorder.WaitForBoxes(8 * 20 + 1));
    for (const RecordedBox& box : recorder.Boxes()) {
        EXPECT_EQ(box.caption, L"C:\\folder" + std::to_wstring(box.code));
        EXPECT_EQ(box.text, std::wstring(CatalogueText(box.code, 1041)));
    }
}

}  // namespace
