#include "mail/MailEncoding.h"

#include <istream>
#include <ostream>
#include <sstream>

#include "common/Text.h"

namespace {

constexpr size_t kLineBytes = 45;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char UUChar(unsigned value) {
    return value == 0 ? '`' : static_cast<char>(0x20 + value);
}

std::string Base64Line(const unsigned char* p, size_t n) {
    return Base64({reinterpret_cast<const char*>(p), n}) + "\r\n";
}

std::string UULine(const unsigned char* p, size_t n) {
    std::string out(1, UUChar(static_cast<unsigned>(n)));
    for (size_t i = 0; i < n; i += 3) {
        const unsigned b0 = p[i], b1 = i + 1 < n ? p[i + 1] : 0, b2 = i + 2 < n ? p[i + 2] : 0;
        out += UUChar(b0 >> 2);
        out += UUChar(((b0 & 3) << 4) | (b1 >> 4));
        if (i + 1 < n) out += UUChar(((b1 & 15) << 2) | (b2 >> 6));
        if (i + 2 < n) out += UUChar(b2 & 63);
    }
    return out + "\r\n";
}

}  // namespace

std::string Base64(std::string_view data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const size_t n = data.size();
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    for (size_t i = 0; i < n; i += 3) {
        const unsigned b0 = p[i], b1 = i + 1 < n ? p[i + 1] : 0, b2 = i + 2 < n ? p[i + 2] : 0;
        out += kBase64[b0 >> 2];
        out += kBase64[((b0 & 3) << 4) | (b1 >> 4)];
        out += i + 1 < n ? kBase64[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out += i + 2 < n ? kBase64[b2 & 63] : '=';
    }
    return out;
}

std::vector<std::string> TextToLines(std::string_view text) {
    return SplitLines(text.substr(0, text.find('\0')));
}

void SetHeader(std::vector<std::string>& header, const std::string& name,
               const std::string& value) {
    for (auto it = header.begin(); it != header.end(); ++it) {
        const std::string_view line = *it;
        if (!SameText1251(line.substr(0, line.find(':')), name)) continue;
        if (value.empty())
            header.erase(it);
        else
            *it = name + ": " + value;
        return;
    }
    if (!value.empty()) header.push_back(name + ": " + value);
}

std::string DotStuffedLine(const std::string& line) {
    return (!line.empty() && line[0] == '.' ? "." : "") + line + "\r\n";
}

void TMailEncoder::Encode() {
    if (OnBeginEncode) OnBeginEncode();
    if (InputStream && OutputStream) {
        InputStream->clear();
        InputStream->seekg(0);
        unsigned char group[kLineBytes];
        for (;;) {
            InputStream->read(reinterpret_cast<char*>(group), kLineBytes);
            const size_t n = static_cast<size_t>(InputStream->gcount());
            if (n == 0) break;
            *OutputStream << (Method == uuMime ? Base64Line(group, n) : UULine(group, n));
            if (n < kLineBytes) break;
        }
        if (Method == uuCode) *OutputStream << "`\r\n";
    }
    if (OnEndEncode) OnEndEncode();
}

std::string EncodeStream(std::istream& in, UUMethods method) {
    std::ostringstream out;
    TMailEncoder p;
    p.InputStream = &in;
    p.OutputStream = &out;
    p.Method = method;
    p.Encode();
    return out.str();
}

std::string EncodeBytes(std::string_view data, UUMethods method) {
    std::istringstream in{std::string(data)};
    return EncodeStream(in, method);
}
