#include "app/bounded_text.h"

#include <gtest/gtest.h>

namespace {

TEST(BoundedTextTest, WritesTruncateAndStayTerminated) {
    BoundedText<8> t;
    EXPECT_TRUE(t.Assign("abc"));
    EXPECT_FALSE(t.Append("defghij"));
    EXPECT_EQ(std::string(t.Str()), "abcdefg");
    EXPECT_EQ(t.CStr()[7], '\0');
    EXPECT_FALSE(t.Assign(std::string(100, 'z')));
    EXPECT_EQ(t.Length(), 7u);
    EXPECT_TRUE(t.Assign(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(t.Empty());

    EXPECT_FALSE(FormatText(t, "%s=%d", "abcdef", 12345));
    EXPECT_EQ(std::string(t.Str()), "abcdef=");
    EXPECT_TRUE(FormatText(t, "%d", 42));
    EXPECT_EQ(std::string(t.Str()), "42");

    BoundedWText<4> w(L"wide text");
    EXPECT_EQ(std::wstring(w.Str()), L"wid");
}

TEST(BoundedTextTest, ResyncAfterARawWriteForcesTheTerminator) {
    BoundedText<4> t;
    std::memset(t.Data(), 'x', 4);  // a C call that filled every byte
    t.Resync();
    EXPECT_EQ(std::string(t.Str()), "xxx");
}

}  // namespace
