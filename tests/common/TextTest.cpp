#include <gtest/gtest.h>

#include "common/Text.h"
#include "tests/common/CaseName.h"

namespace {

TEST(Text, TrimRemovesBlanksAndControlCharacters) {
    EXPECT_EQ(Trim(std::string("\t\x01  ab c \r\n", 11)), "ab c");
    EXPECT_EQ(Trim(std::string("\0 x\0", 4)), "x");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(TrimLeft("  a "), "a ");
    EXPECT_EQ(TrimRight("  a "), "  a");
    EXPECT_EQ(Trim("\xC0\xE1"), "\xC0\xE1");  // Cyrillic letters are above 32
}

TEST(Text, UpperCaseKnowsWindows1251Letters) {
    EXPECT_EQ(UpperCase1251("pm"), "PM");
    EXPECT_EQ(UpperCase1251("\xE0\xFF\xB8"), "\xC0\xDF\xA8");  // а я ё -> А Я Ё
    EXPECT_EQ(LowerCase1251("\xC0\xDF\xA8Z"), "\xE0\xFF\xB8z");
    EXPECT_TRUE(SameText1251("gEnErIc.ats", "GENERIC.ATS"));
    EXPECT_LT(CompareText1251("abc", "ABD"), 0);
}

struct IntCase {
    const char* name;
    const char* text;
    bool ok;
    int32_t value;
};
class ParseInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParseInt, DecimalAndHexadecimal) {
    const auto r = TryStrToInt(GetParam().text);
    ASSERT_EQ(r.has_value(), GetParam().ok) << GetParam().text;
    if (r) {
        EXPECT_EQ(*r, GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseInt,
    ::testing::Values(IntCase{"Zero", "0", true, 0}, IntCase{"Decimal", "42", true, 42},
                      IntCase{"Negative", "-7", true, -7}, IntCase{"ExplicitPlus", "+7", true, 7},
                      IntCase{"HexPrefix", "0x1F", true, 31},
                      IntCase{"HexPrefixUpperCase", "0X1f", true, 31},
                      IntCase{"DollarHex", "$10", true, 16},
                      IntCase{"DollarHexWrapsToMinusOne", "$FFFFFFFF", true, -1},
                      IntCase{"Largest", "2147483647", true, 2147483647},
                      IntCase{"Smallest", "-2147483648", true, INT32_MIN},
                      IntCase{"OneBeyondLargest", "2147483648", false, 0},
                      IntCase{"TwentyDigits", "99999999999999999999", false, 0},
                      IntCase{"Empty", "", false, 0}, IntCase{"HexPrefixOnly", "0x", false, 0},
                      IntCase{"DollarOnly", "$", false, 0}, IntCase{"LeadingBlank", " 5", false, 0},
                      IntCase{"TrailingLetter", "5a", false, 0},
                      IntCase{"Exponent", "1e3", false, 0}),
    CaseName());

TEST(Text, Lines) {
    EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitLines("a\r\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(SplitLines("a\r\n\r\nb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(SplitLines("").empty());
    EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb");
}

}  // namespace
