#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace {

TEST(CodePage, OemAndAnsiRoundTrip) {
    const std::string ansi = "\xCF\xF0\xE8\xE2\xE5\xF2, \xB8\xA8!";  // Привет, ёЁ!
    const std::string oem = platform::AnsiToOem(ansi);
    EXPECT_EQ(oem, "\x8F\xE0\xA8\xA2\xA5\xE2, \xF1\xF0!");
    EXPECT_EQ(platform::OemToAnsi(oem), ansi);
}

TEST(CodePage, Utf8Edge) {
    EXPECT_EQ(platform::AnsiToUtf8("\xC4\xE0"), "Да");
    EXPECT_EQ(platform::Utf8ToAnsi("Да"), "\xC4\xE0");
    EXPECT_EQ(platform::Utf8ToAnsi("\xE4\xB8\xAD"), "?");  // no Windows-1251 equivalent
    EXPECT_TRUE(platform::CodePageSupported(866));
    EXPECT_TRUE(platform::CodePageSupported(1252));
    EXPECT_FALSE(platform::CodePageSupported(99999));
    EXPECT_EQ(platform::ConvertCodePage("abc", 99999, 1251), "abc");
}

}  // namespace
