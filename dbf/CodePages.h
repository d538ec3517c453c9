#pragma once
// Table code pages and the translation of text between a table and the system's ANSI code page.
#include <cstdint>
#include <string>
#include <string_view>

enum class TTranslationMode { tmNone, tmOem, tmCodePage, tmRefused };

// Code page of a level III/IV language driver id; 0 for ids not known.
int CodePageFromLanguageId(uint8_t id);
// Code page of a level 7 language driver name ("DBWINUS0", "DB866RU0", "FOXWIN..."); 0 if none.
int CodePageFromLanguageName(std::string_view name);

// Translation mode for a table code page (0 is the system's OEM code page).
TTranslationMode TranslationModeFor(int codePage);

// Table bytes to ANSI and back; the byte length is kept.
std::string TranslateToAnsi(TTranslationMode mode, int codePage, std::string_view text);
std::string TranslateFromAnsi(TTranslationMode mode, int codePage, std::string_view text);
