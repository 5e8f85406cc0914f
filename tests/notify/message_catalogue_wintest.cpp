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

class MessageBoxTest : public StateTest {
protected:
    // Shows the message in a real box on a worker, reads its text and presses OK.
    std::wstring ShowAndRead(int32_t code, const std::wstring& caption) {
        const std::string ansi = ToAnsiString(caption);
        auto shown = std::async(std::launch::async, [&] { ShowMessage(code, ansi.c_str()); });
        HWND box = FindBox(caption, 5000);
        EXPECT_NE(box, nullptr) << "no box for code " << code;
        if (!box) return {};
        const std::wstring text = BoxText(box);
        EXPECT_TRUE(PressButton(box, IDOK));
        EXPECT_EQ(shown.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        return text;
    }
};

TEST_F(MessageBoxTest, EnglishTextsAppearInTheBoxExactly) {
    State().userLcid = 1033;
    EXPECT_EQ(ShowAndRead(220, L"C:\\catalogue\\english"), L"Syncing finished.");
    // The ideographic space survives whatever the code page.
    EXPECT_EQ(ShowAndRead(207, L"C:\\catalogue\\english"),
              L"Firing  Local => Remote \u3000file transfer.");
}

TEST_F(MessageBoxTest, JapaneseDesktopShowsJapaneseTextsAndEnglishWhereThereIsNone) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs a Japanese desktop (code page 932)";
    State().userLcid = GetUserDefaultLCID();
    ASSERT_EQ(State().userLcid, 1041u);
    const std::wstring caption = L"C:\\同期\\表";  // 表 has a trail byte of 5C
    EXPECT_EQ(ShowAndRead(220, caption), L"同期が終了しました。");
    EXPECT_EQ(ShowAndRead(201, caption), L"Firing buffered events since timer event reached.");
    EXPECT_EQ(ShowAndRead(-1035, caption), L"非対象ﾊﾟﾀｰﾝのファイルをロックすることはできません。");
}

TEST_F(MessageBoxTest, AsyncReturnsBeforeItsBoxExistsAndTheBoxShowsTheFreedCaption) {
    State().userLcid = 1033;
    BoxRecorder recorder;  // holds the real box back until the call has returned
    recorder.PassTo(RealSeams().showTimedBox);
    recorder.Hold();
    const std::wstring expected = L"C:\\catalogue\\async";
    auto caption = std::make_unique<char[]>(64);
    std::strcpy(caption.get(), ToAnsiString(expected).c_str());
    ShowMessageAsync(204, caption.get());
    std::memset(caption.get(), 'X', 63);
    caption.reset();
    ASSERT_TRUE(recorder.WaitForHeld(1));
    EXPECT_FALSE(BoxExists(expected));
    recorder.Release();
    HWND box = FindBox(expected, 5000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(BoxCaption(box), expected);
    EXPECT_EQ(BoxText(box), L"Firing  Local => Remote Syncing !");
    ASSERT_TRUE(PressButton(box, IDOK));
    EXPECT_TRUE(WaitClosed(box, 3000));
}

}  // namespace
