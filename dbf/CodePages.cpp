#include "dbf/CodePages.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "dbf/DbfTable.h"
#include "platform/CodePage.h"

namespace {

struct TLangEntry {
    uint8_t id;
    int16_t codePage;
};

constexpr std::array<TLangEntry, 52> kLanguages{{
    {0x09, 437},  {0x0B, 437},  {0x0D, 437},  {0x0F, 437},  {0x11, 437}, {0x15, 437}, {0x18, 437},
    {0x19, 437},  {0x1B, 437},  {0x5E, 437},  {0x5F, 437},  {0x86, 437}, {0x0A, 850}, {0x0C, 850},
    {0x0E, 850},  {0x10, 850},  {0x12, 850},  {0x14, 850},  {0x16, 850}, {0x1A, 850}, {0x1D, 850},
    {0x25, 850},  {0x37, 850},  {0x60, 850},  {0x9C, 850},  {0x08, 865}, {0x17, 865}, {0x1C, 863},
    {0x1F, 852},  {0x22, 852},  {0x23, 852},  {0x87, 852},  {0x20, 867}, {0x24, 860}, {0x26, 866},
    {0x13, 932},  {0x56, 932},  {0x4D, 936},  {0x4E, 949},  {0x4F, 950}, {0x50, 874}, {0x57, 1252},
    {0x58, 1252}, {0x59, 1252}, {0x61, 1252}, {0x62, 1252}, {0x69, 620}, {0x85, 862}, {0x88, 857},
    {0x8E, 868},  {0x9B, 1250}, {0xC9, 1251},
}};

int ThreeDigits(std::string_view name, size_t at) {
    if (name.size() < at + 3) return 0;
    int value = 0;
    for (size_t i = at; i < at + 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
        value = value * 10 + (name[i] - '0');
    }
    return value;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// Each character becomes one byte of the other single-byte page, so nothing after it moves; a
// double-byte page could change the length, and the record layout cannot follow, so the result
// is cut or blank-padded to the input.
std::string KeepLength(std::string converted, size_t length) {
    converted.resize(length, ' ');
    return converted;
}

// Memo texts are translated in slices as large as one block.
constexpr size_t kChunk = 512;

std::string Translate(TTranslationMode mode, int from, int to, std::string_view text) {
    if (mode == TTranslationMode::tmNone || mode == TTranslationMode::tmRefused) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); at += kChunk) {
        const std::string_view part = text.substr(at, kChunk);
        out += KeepLength(platform::ConvertEachCharacter(part, from, to), part.size());
    }
    return out;
}

}  // namespace

int CodePageFromLanguageId(uint8_t id) {
    const auto it = std::find_if(kLanguages.begin(), kLanguages.end(),
                                 [id](const TLangEntry& e) { return e.id == id; });
    return it == kLanguages.end() ? 0 : it->codePage;
}

int CodePageFromLanguageName(std::string_view name) {
    const size_t nul = name.find('\0');
    if (nul != std::string_view::npos) name = name.substr(0, nul);
    if (StartsWith(name, "DB")) {
        const std::string_view rest = name.substr(2);
        if (StartsWith(rest, "WIN")) return 1252;
        if (StartsWith(rest, "HEBREW")) return 1255;
        return ThreeDigits(name, 2);
    }
    if (StartsWith(name, "FOX")) return ThreeDigits(name, 5);
    return 0;
}

TTranslationMode TranslationModeFor(int codePage) {
    const TDbfCodePages& g = TDbfCodePages::Instance();
    if (codePage == 0) codePage = g.OemCodePage();
    if (codePage == g.AnsiCodePage()) return TTranslationMode::tmNone;
    if (codePage == g.OemCodePage()) return TTranslationMode::tmOem;
    if (g.CodePageSupported(codePage)) return TTranslationMode::tmCodePage;
    return TTranslationMode::tmRefused;
}

std::string TranslateToAnsi(TTranslationMode mode, int codePage, std::string_view text) {
    const TDbfCodePages& g = TDbfCodePages::Instance();
    const int from = mode == TTranslationMode::tmOem ? g.OemCodePage() : codePage;
    return Translate(mode, from, g.AnsiCodePage(), text);
}

std::string TranslateFromAnsi(TTranslationMode mode, int codePage, std::string_view text) {
    const TDbfCodePages& g = TDbfCodePages::Instance();
    const int to = mode == TTranslationMode::tmOem ? g.OemCodePage() : codePage;
    return Translate(mode, g.AnsiCodePage(), to, text);
}
