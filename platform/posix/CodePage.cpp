#include "platform/CodePage.h"

#include <iconv.h>
#include <cerrno>

#include <string>

namespace platform {
namespace {

std::string IconvName(int codePage) {
    if (codePage == 65001) return "UTF-8";
    if (codePage == 620) return "CP620";  // no iconv table; reported unsupported below
    return "CP" + std::to_string(codePage);
}

class Converter {
public:
    Converter(int from, int to)
        : cd_(iconv_open((IconvName(to) + "//TRANSLIT").c_str(), IconvName(from).c_str())) {}
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

std::string OemToAnsi(std::string_view text) {
    return ConvertCodePage(text, kOemCodePage, kAnsiCodePage);
}
std::string AnsiToOem(std::string_view text) {
    return ConvertCodePage(text, kAnsiCodePage, kOemCodePage);
}
std::string AnsiToUtf8(std::string_view text) {
    return ConvertCodePage(text, kAnsiCodePage, 65001);
}
std::string Utf8ToAnsi(std::string_view text) {
    return ConvertCodePage(text, 65001, kAnsiCodePage);
}

}  // namespace platform
