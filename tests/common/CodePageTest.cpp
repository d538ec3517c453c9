#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace {

TEST(CodePage, OemAndAnsiRoundTrip) {
    const std::string ansi = "\xCF\xF0\xE8\xE2\xE5\xF2, \xB8\xA8!";  // Привет, ёЁ!
    const std::string oem = platform::AnsiToOem(ansi);
    EXPECT_EQ(oem, "\x8F\xE0\xA8\xA2\xA5\xE2, \xF1\xF0!");
    EXPECT_EQ(platform::OemToAnsi(oem), ansi);
}

// Stored texts must not grow: nothing is transliterated, a missing character is one '?'.
TEST(CodePage, EachCharacterBecomesOneCharacter) {
    // "«Ромашка» — №1", with « » — lacking in 866.
    const std::string ansi =
        "\xAB\xD0\xEE\xEC\xE0\xF8\xEA\xE0\xBB \x97 \xB9"
        "1";
    EXPECT_EQ(platform::AnsiToOem(ansi),
              "?\x90\xAE\xAC\xA0\xE8\xAA\xA0? ? \xFC"
              "1");
    EXPECT_EQ(platform::OemToAnsi("\xC9\xCD\xBB"), "???");                  // box drawing
    EXPECT_EQ(platform::ConvertEachCharacter("a\x98z", 1251, 866), "a?z");  // no 1251 character
    EXPECT_EQ(platform::ConvertEachCharacter("\xE4\xB8\xAD!", 65001, 1251), "?!");
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
