// Catches: best-fit look-alikes (¥ as a backslash), 932 trail bytes split, UTF-8 names lost.
#include "base/text_conversion.h"

#include <gtest/gtest.h>

namespace {

TEST(CodePageTest, CodePage932KeepsTrailBytesInsideTheirCharacterAndCutsBetweenCharacters) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    // 表 is 95 5C in code page 932: the second byte has the value of a backslash.
    EXPECT_EQ(ToAnsiString(L"C:\\表\\a"), "C:\\\x95\x5C\\a");
    EXPECT_EQ(ToWideString("C:\\\x95\x5C\\a"), L"C:\\表\\a");
    // é and ¥ have no exact form: "?", never a look-alike or a backslash.
    EXPECT_EQ(ToAnsiString(L"é¥"), "??");
    // 512 bytes do not fit: the cut falls before the character it would split.
    BoundedText<512> out;
    ToAnsi((L"a" + std::wstring(300, L'表')).c_str(), out);
    EXPECT_EQ(out.Length(), 511u);
    EXPECT_EQ(ToWideString(out.Str()), L"a" + std::wstring(255, L'表'));
}

// UTF-8 as the ANSI code page: a conversion that asks for no best fit would
// fail there and give nothing at all.
TEST(CodePageTest, Utf8CodePageKeepsEveryCharacterButLoneSurrogates) {
    if (!SelectAnsiCodePage(65001)) GTEST_SKIP() << "needs UTF-8 as the ANSI code page";
    const std::wstring text = L"C:\\日本\\é¥\u3000表\\\U0001F600.txt";
    const std::string ansi = ToAnsiString(text);
    EXPECT_EQ(ansi,
              "C:\\\xE6\x97\xA5\xE6\x9C\xAC\\\xC3\xA9\xC2\xA5\xE3\x80\x80\xE8\xA1\xA8\\"
              "\xF0\x9F\x98\x80.txt");
    EXPECT_EQ(ToWideString(ansi), text);
    // A surrogate without its partner has no form: "?", so the name is refused.
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0xDC00, 0xDC00, 0xD800, 0};
    EXPECT_EQ(ToAnsiString(lone), "a?b???");
    // Cut at 511 bytes before the character that would be split.
    BoundedText<512> out;
    std::wstring faces = L"a";
    for (int i = 0; i < 128; ++i) faces += L"\U0001F600";
    ToAnsi(faces.c_str(), out);
    EXPECT_EQ(out.Length(), 509u);
    EXPECT_EQ(ToWideString(out.Str()), faces.substr(0, 1 + 2 * 127));
}

}  // namespace
