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
