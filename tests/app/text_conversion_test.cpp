#include "app/text_conversion.h"

#include <gtest/gtest.h>

namespace {

// Restores the code page the process started with.
class CodePageTest : public ::testing::Test {
protected:
    void TearDown() override { SelectAnsiCodePage(original); }
    unsigned original = CurrentAnsiCodePage();
};

TEST_F(CodePageTest, UnrepresentableCharactersBecomeQuestionMarksIn1252) {
    if (!SelectAnsiCodePage(1252)) GTEST_SKIP() << "needs code page 1252";
    BoundedText<512> out;
    ToAnsi(L"日本\\é.txt", out);
    EXPECT_EQ(std::string(out.Str()), "??\\\xE9.txt");
    // No best fit: characters without an exact form never turn into look-alikes.
    EXPECT_EQ(ToAnsiString(L"\u0100\u2215"), "??");
    EXPECT_EQ(ToWideString("caf\xE9"), L"caf\u00E9");
}

TEST_F(CodePageTest, CodePage932KeepsTrailBackslashBytesInsideTheirCharacter) {
    if (!SelectAnsiCodePage(932)) GTEST_SKIP() << "needs code page 932";
    // 表 is 95 5C in code page 932: the second byte has the value of a backslash.
    const std::string ansi = ToAnsiString(L"C:\\表\\a");
    EXPECT_EQ(ansi, std::string("C:\\\x95\x5C\\a"));
    EXPECT_EQ(ToWideString(ansi), L"C:\\表\\a");
    // é and ¥ have no exact form: "?" and never a look-alike or a backslash.
    EXPECT_EQ(ToAnsiString(L"é¥"), "??");
    EXPECT_EQ(ToWideString("\x93\xfa\x96\x7b"), L"日本");
}

// UTF-8 as the ANSI code page: a conversion that asks for no best fit would
// fail there and give nothing at all.
TEST_F(CodePageTest, Utf8CodePageKeepsEveryCharacterButLoneSurrogates) {
    if (!SelectAnsiCodePage(65001)) GTEST_SKIP() << "needs UTF-8 as the ANSI code page";
    // What 1252 and 932 lack, a trail byte 5C in 932, a character beyond the BMP.
    const std::wstring text = L"C:\\日本\\é¥\u3000表\\\U0001F600.txt";
    const std::string ansi = ToAnsiString(text);
    EXPECT_EQ(ansi,
              "C:\\\xE6\x97\xA5\xE6\x9C\xAC\\\xC3\xA9\xC2\xA5\xE3\x80\x80\xE8\xA1\xA8\\"
              "\xF0\x9F\x98\x80.txt");
    EXPECT_EQ(ToWideString(ansi), text);
    // A surrogate without its partner has no form: "?", so the name is refused.
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0xDC00, 0xDC00, 0xD800, 0};
    EXPECT_EQ(ToAnsiString(lone), "a?b???");

    // Cut at 511 bytes before the character that would be split: 170 of 3 bytes
    // and 127 of 4 bytes after one of 1 byte.
    BoundedText<512> out;
    ToAnsi(std::wstring(171, L'日').c_str(), out);
    EXPECT_EQ(ToWideString(out.Str()), std::wstring(170, L'日'));
    std::wstring faces = L"a";
    for (int i = 0; i < 128; ++i) faces += L"\U0001F600";
    ToAnsi(faces.c_str(), out);
    EXPECT_EQ(out.Length(), 509u);
    EXPECT_EQ(ToWideString(out.Str()), faces.substr(0, 1 + 2 * 127));
}

TEST_F(CodePageTest, ToAnsiCutsAt511BytesBetweenCharacters) {
    if (SelectAnsiCodePage(932)) {
        // 255 double-byte characters then one more: 512 bytes do not fit, and
        // the cut falls before the character that would be split.
        std::wstring text(255, L'表');
        text += L"a表";
        BoundedText<512> out;
        ToAnsi(text.c_str(), out);
        EXPECT_EQ(out.Length(), 511u);
        EXPECT_EQ(out.Str().back(), 'a');
        std::wstring odd = L"a" + std::wstring(300, L'表');
        ToAnsi(odd.c_str(), out);
        EXPECT_EQ(out.Length(), 511u);
        EXPECT_EQ(ToWideString(out.Str()), L"a" + std::wstring(255, L'表'));
    }
    ASSERT_TRUE(SelectAnsiCodePage(original));
    BoundedText<512> out;
    std::wstring text(700, L'x');
    ToAnsi(text.c_str(), out);
    EXPECT_EQ(out.Length(), 511u);
    ToAnsi(nullptr, out);
    EXPECT_TRUE(out.Empty());
    EXPECT_EQ(ToWide(nullptr)[0], L'\0');
    EXPECT_EQ(std::wstring(ToWide("abc").get()), L"abc");
}

}  // namespace
