#include "platform/CodePage.h"

#include <endian.h>
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {
namespace {

std::string IconvName(int codePage) {
    if (codePage == 65001) return "UTF-8";
    if (codePage == 620) return "CP620";  // no iconv table; reported unsupported below
    return "CP" + std::to_string(codePage);
}

// Code points as the character-by-character conversion passes them on.
constexpr const char* kCodePoints = "UTF-32LE";
constexpr uint32_t kNoCharacter = 0xFFFFFFFF;

class Converter {
public:
    Converter(int from, int to)
        : cd_(iconv_open((IconvName(to) + "//TRANSLIT").c_str(), IconvName(from).c_str())) {}
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    std::string Run(std::string_view text) {
        std::string out;
        out.reserve(text.size() * 2);
        char* in = const_cast<char*>(text.data());
        size_t inLeft = text.size();
        char buf[4096];
        while (inLeft > 0) {
            char* o = buf;
            size_t oLeft = sizeof buf;
            const size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
            out.append(buf, static_cast<size_t>(o - buf));
            if (r == static_cast<size_t>(-1)) {
                if (errno == E2BIG) continue;
                // An unconvertible or broken sequence: one '?' per skipped input byte.
                out += '?';
                ++in;
                --inLeft;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        char* o = buf;
        size_t oLeft = sizeof buf;
        iconv(cd_, nullptr, nullptr, &o, &oLeft);
        out.append(buf, static_cast<size_t>(o - buf));
        return out;
    }

    // The code points of a text, kNoCharacter for each byte that is none of the page's.
    std::vector<uint32_t> Decode(std::string_view text) {
        std::vector<uint32_t> points;
        points.reserve(text.size());
        char* in = const_cast<char*>(text.data());
        size_t inLeft = text.size();
        while (inLeft > 0) {
            uint32_t buf[256];
            char* o = reinterpret_cast<char*>(buf);
            size_t oLeft = sizeof buf;
            const size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
            const size_t n = (sizeof buf - oLeft) / sizeof buf[0];
            for (size_t i = 0; i < n; ++i) points.push_back(le32toh(buf[i]));
            if (r == static_cast<size_t>(-1) && errno != E2BIG) {
                points.push_back(kNoCharacter);
                ++in;
                --inLeft;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return points;
    }

    // One code point in the target page; empty when the page has no such character.
    std::string Encode(uint32_t point) {
        const uint32_t le = htole32(point);
        char* in = const_cast<char*>(reinterpret_cast<const char*>(&le));
        size_t inLeft = sizeof le;
        char buf[16];
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
        if (r == static_cast<size_t>(-1)) {
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            return {};
        }
        // A stateful page may close a shift sequence after the character.
        iconv(cd_, nullptr, nullptr, &o, &oLeft);
        return std::string(buf, static_cast<size_t>(o - buf));
    }

private:
    iconv_t cd_;
};

}  // namespace

bool CodePageSupported(int codePage) {
    if (codePage == kAnsiCodePage) return true;
    Converter c(codePage, kAnsiCodePage);
    return c.ok();
}

std::string ConvertCodePage(std::string_view text, int fromCodePage, int toCodePage) {
    if (fromCodePage == toCodePage || text.empty()) return std::string(text);
    Converter c(fromCodePage, toCodePage);
    if (!c.ok()) return std::string(text);
    return c.Run(text);
}

std::string ConvertEachCharacter(std::string_view text, int fromCodePage, int toCodePage) {
    if (fromCodePage == toCodePage || text.empty()) return std::string(text);
    Converter decode(kCodePoints, IconvName(fromCodePage).c_str());
    Converter encode(IconvName(toCodePage).c_str(), kCodePoints);
    if (!decode.ok() || !encode.ok()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (const uint32_t point : decode.Decode(text)) {
        const std::string c = point == kNoCharacter ? std::string() : encode.Encode(point);
        if (c.empty())
            out += kNoCounterpart;
        else
            out += c;
    }
    return out;
}

std::string OemToAnsi(std::string_view text) {
    return ConvertEachCharacter(text, kOemCodePage, kAnsiCodePage);
}
std::string AnsiToOem(std::string_view text) {
    return ConvertEachCharacter(text, kAnsiCodePage, kOemCodePage);
}
std::string AnsiToUtf8(std::string_view text) {
    return ConvertCodePage(text, kAnsiCodePage, 65001);
}
std::string Utf8ToAnsi(std::string_view text) {
    return ConvertCodePage(text, 65001, kAnsiCodePage);
}

}  // namespace platform
