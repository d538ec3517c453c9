#pragma once
// Text inside the station is Windows-1251 bytes in std::string.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Removes leading and trailing characters of code 32 or less (blanks and control characters).
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// Case mapping that knows the Windows-1251 letters (А..я, Ё/ё and the other Cyrillic pairs).
char UpperChar1251(char c);
char LowerChar1251(char c);
std::string UpperCase1251(std::string_view s);
std::string LowerCase1251(std::string_view s);
bool SameText1251(std::string_view a, std::string_view b);
// Like strcmp on the upper-cased texts: negative, 0 or positive.
int CompareText1251(std::string_view a, std::string_view b);

// Signed 32-bit parse of a whole text: optional sign, decimal digits, or "0x"/"$" followed by
// hexadecimal digits. Surrounding blanks are not allowed. Overflow fails.
std::optional<int32_t> TryStrToInt(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t def);
// Decimal only, 64-bit, whole text.
std::optional<int64_t> TryStrToInt64(std::string_view s);

// Splits at CR LF, CR or LF; a break at the very end adds no empty line.
std::vector<std::string> SplitLines(std::string_view text);
// Joins with CR LF between lines.
std::string JoinLines(const std::vector<std::string>& lines);
