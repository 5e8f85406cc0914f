// The catalogue's messages in real boxes, read back from their windows.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>

#include "app/text_conversion.h"
#include "notify/message_catalogue.h"
#include "support/box_driver.h"
#include "support/box_recorder.h"
#include "support/state_fixture.h"

namespace {

constexpr uint32_t kFindMs = 5000;

class MessageBoxTest : public StateTest {
protected:
    // Shows the message on a worker thread with the real box, reads the box
    // back and presses OK; returns the text it showed.
    std::wstring ShowAndRead(int32_t code, const std::wstring& caption) {
        const std::string ansiCaption = ToAnsiString(caption);
        auto shown =
            std::async(std::launch::async, [&] { ShowMessage(code, ansiCaption.c_str()); });
        HWND box = FindBox(caption, kFindMs);
        EXPECT_NE(box, nullptr) << "no box for code " << code;
        if (!box) return {};
        const std::wstring text = BoxText(box);
        EXPECT_TRUE(PressButton(box, IDOK));
        // Pressing OK lets ShowMessage return at once, whatever the time-out.
        EXPECT_EQ(shown.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        return text;
    }
};

TEST_F(MessageBoxTest, EnglishTextsAppearInTheBoxExactly) {
    State().userLcid = 1033;
    EXPECT_EQ(ShowAndRead(220, L"C:\\catalogue\\english"), L"Syncing finished.");
    // Kept as UTF-16, the ideographic space shows whatever the code page.
    EXPECT_EQ(ShowAndRead(207, L"C:\\catalogue\\english"),
              L"Firing  Local => Remote \u3000file transfer.");
    EXPECT_EQ(ShowAndRead(-2004, L"C:\\catalogue\\english"),
              L"Failed to open file under APPDATA\\xq\\pellaro.");
    // A 60-second message, closed by the press long before its time-out.
    EXPECT_EQ(ShowAndRead(-2018, L"C:\\catalogue\\english"),
              L"You can cater this feature installing BeyondCompare downloadable\n @ "
              L"https://www.scootersoftware.com/download");
}

// Runs on a Japanese desktop only (code page 932, user locale 1041).
TEST_F(MessageBoxTest, JapaneseDesktopShowsJapaneseTextsAndEnglishWhereThereIsNone) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs a Japanese desktop (code page 932)";
    State().userLcid = GetUserDefaultLCID();
    ASSERT_EQ(State().userLcid, 1041u);
    // The caption travels in code page 932: 表 carries a trail byte of 5C.
    const std::wstring caption = L"C:\\同期\\表";
    EXPECT_EQ(ShowAndRead(220, caption), L"同期が終了しました。");
    EXPECT_EQ(ShowAndRead(201, caption), L"Firing buffered events since timer event reached.");
    EXPECT_EQ(ShowAndRead(-1035, caption), L"非対象ﾊﾟﾀｰﾝのファイルをロックすることはできません。");
}

TEST_F(MessageBoxTest, AsyncReturnsBeforeItsBoxExistsAndTheBoxShowsTheFreedCaption) {
    State().userLcid = 1033;
    // The real box, held back until the test has seen the call return.
    BoxRecorder recorder;
    recorder.PassTo(RealSeams().showTimedBox);
    recorder.Hold();
    const std::wstring expectedCaption = L"C:\\catalogue\\async";
    auto caption = std::make_unique<char[]>(64);
    std::strcpy(caption.get(), ToAnsiString(expectedCaption).c_str());

    ShowMessageAsync(204, caption.get());
    std::memset(caption.get(), 'X', 63);
    caption.reset();

    ASSERT_TRUE(recorder.WaitForHeld(1));
    EXPECT_FALSE(BoxExists(expectedCaption));
    recorder.Release();

    HWND box = FindBox(expectedCaption, kFindMs);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(BoxCaption(box), expectedCaption);
    EXPECT_EQ(BoxText(box), L"Firing  Local => Remote Syncing !");
    ASSERT_TRUE(PressButton(box, IDOK));
    EXPECT_TRUE(WaitClosed(box, 3000));
}

}  // namespace
