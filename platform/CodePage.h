#pragma once
// Code-page conversion (iconv). The station's systems have OEM code page 866 and ANSI 1251.
#include <string>
#include <string_view>

namespace platform {

constexpr int kOemCodePage = 866;
constexpr int kAnsiCodePage = 1251;

// Whether iconv can convert between the code page and Windows-1251.
bool CodePageSupported(int codePage);
// Converts bytes of one code page to another; characters without an equivalent are
// transliterated where iconv can ("«" becomes "<<"), else they become '?'.
std::string ConvertCodePage(std::string_view text, int fromCodePage, int toCodePage);

// Stands for a character that the other code page lacks.
constexpr char kNoCounterpart = '?';
// Converts character by character, never transliterating: each character becomes its
// counterpart or one kNoCounterpart, and so does each byte that is no character of the source
// page. Between single-byte pages the text keeps its length, byte for byte.
std::string ConvertEachCharacter(std::string_view text, int fromCodePage, int toCodePage);

// Byte for byte, as the station's stored texts need (ConvertEachCharacter).
std::string OemToAnsi(std::string_view text);
std::string AnsiToOem(std::string_view text);

// The UI edge: Windows-1251 bytes to and from UTF-8.
std::string AnsiToUtf8(std::string_view text);
std::string Utf8ToAnsi(std::string_view text);

}  // namespace platform
