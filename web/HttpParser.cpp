#include "web/HttpParser.h"

#include <algorithm>
#include <charconv>

namespace web {
namespace {

bool IsTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Where the head ends (just past its empty line), or npos. Lines may end in CR LF or LF.
size_t HeadEnd(std::string_view s) {
    for (size_t i = s.find('\n'); i != std::string_view::npos; i = s.find('\n', i + 1)) {
        if (i + 1 < s.size() && s[i + 1] == '\n') return i + 2;
        if (i + 2 < s.size() && s[i + 1] == '\r' && s[i + 2] == '\n') return i + 3;
    }
    return std::string_view::npos;
}

}  // namespace

std::string THttpRequest::Header(std::string_view name) const {
    for (const auto& [n, v] : Headers)
        if (n == name) return v;
    return {};
}

bool THttpRequest::KeepAlive() const {
    const std::string connection = Lower(Header("connection"));
    if (VersionMinor == 0) return connection == "keep-alive";
    return connection != "close";
}

void THttpParser::Reset() {
    head_.clear();
    headDone_ = false;
    bodyLength_ = 0;
    request_ = {};
    errorStatus_ = 0;
    errorText_.clear();
}

THttpParser::TState THttpParser::Fail(int status, std::string text) {
    errorStatus_ = status;
    errorText_ = std::move(text);
    return TState::Error;
}

THttpParser::TState THttpParser::Feed(std::string_view data, size_t& consumed) {
    consumed = 0;
    if (errorStatus_) return TState::Error;
    if (!headDone_) {
        // Empty lines before a request are allowed (a client's stray CR LF after a body).
        while (head_.empty() && !data.empty() && (data.front() == '\r' || data.front() == '\n')) {
            data.remove_prefix(1);
            ++consumed;
        }
        // Look for the end only in what is new (and the three bytes before it).
        const size_t before = head_.size();
        const size_t from = before > 3 ? before - 3 : 0;
        const size_t room = limits_.MaxHead - std::min(before, limits_.MaxHead);
        const size_t take = std::min(data.size(), room + 1);
        head_.append(data.substr(0, take));
        const size_t end = HeadEnd(std::string_view(head_).substr(from));
        if (end == std::string_view::npos) {
            consumed += take;
            const size_t firstLine = std::min(head_.find('\n'), head_.size());
            if (firstLine > limits_.MaxRequestLine)
                return Fail(414, "Слишком длинная строка запроса");
            if (head_.size() > limits_.MaxHead) return Fail(431, "Слишком большие заголовки");
            return TState::NeedMore;
        }
        const size_t used = from + end - before;  // bytes of data that belong to the head
        consumed += used;
        head_.resize(from + end);
        if (head_.size() > limits_.MaxHead) return Fail(431, "Слишком большие заголовки");
        headDone_ = true;
        const TState state = ParseHead();
        if (state != TState::NeedMore) return state;
        data.remove_prefix(used);
    }
    const size_t want = bodyLength_ - request_.Body.size();
    const size_t take = std::min(want, data.size());
    request_.Body.append(data.substr(0, take));
    consumed += take;
    return request_.Body.size() == bodyLength_ ? TState::Done : TState::NeedMore;
}

THttpParser::TState THttpParser::ParseHead() {
    std::vector<std::string_view> lines;
    std::string_view rest(head_);
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        lines.push_back(line);
    }
    if (lines.empty()) return Fail(400, "Пустой запрос");
    const std::string_view first = lines.front();
    if (first.size() > limits_.MaxRequestLine) return Fail(414, "Слишком длинная строка запроса");

    const size_t sp1 = first.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : first.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || first.find(' ', sp2 + 1) != std::string_view::npos)
        return Fail(400, "Неверная строка запроса");
    const std::string_view method = first.substr(0, sp1);
    const std::string_view target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = first.substr(sp2 + 1);
    if (method.empty() || !std::all_of(method.begin(), method.end(), [](char c) {
            return IsTokenChar(static_cast<unsigned char>(c));
        }))
        return Fail(400, "Неверный метод запроса");
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1.")
        return version.substr(0, 5) == "HTTP/" ? Fail(505, "Версия HTTP не поддерживается")
                                               : Fail(400, "Неверная строка запроса");
    if (version[7] != '0' && version[7] != '1') return Fail(505, "Версия HTTP не поддерживается");
    request_.VersionMinor = version[7] - '0';
    request_.Method = std::string(method);
    request_.Target = std::string(target);
    if (target.empty() || target.front() != '/') return Fail(400, "Неверный адрес страницы");
    for (char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return Fail(400, "Неверный адрес страницы");
    const size_t q = target.find('?');
    if (!PercentDecode(target.substr(0, q), false, request_.Path))
        return Fail(400, "Неверный адрес страницы");
    if (q != std::string_view::npos) request_.Query = std::string(target.substr(q + 1));

    if (lines.size() - 1 > limits_.MaxHeaders) return Fail(431, "Слишком много заголовков");
    bool haveLength = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.front() == ' ' || line.front() == '\t')
            return Fail(400, "Заголовок, продолженный на другой строке, не принимается");
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return Fail(400, "Неверный заголовок");
        const std::string_view name = line.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(),
                         [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); }))
            return Fail(400, "Неверный заголовок");
        const std::string_view value = Trim(line.substr(colon + 1));
        for (char c : value)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
                return Fail(400, "Неверный заголовок");
        std::string lname = Lower(name);
        if (lname == "content-length") {
            size_t length = 0;
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), length);
            if (value.empty() || ec != std::errc() || end != value.data() + value.size())
                return Fail(400, "Неверная длина тела запроса");
            if (haveLength && length != bodyLength_)
                return Fail(400, "Неверная длина тела запроса");
            haveLength = true;
            bodyLength_ = length;
        } else if (lname == "transfer-encoding") {
            return Fail(501, "Кодирование передачи не поддерживается");
        }
        request_.Headers.emplace_back(std::move(lname), std::string(value));
    }
    if (request_.VersionMinor == 1 && request_.Header("host").empty())
        return Fail(400, "Нет заголовка Host");
    if (bodyLength_ > limits_.MaxBody) return Fail(413, "Слишком большой запрос");
    return bodyLength_ == 0 ? TState::Done : TState::NeedMore;
}

bool PercentDecode(std::string_view in, bool plusIsSpace, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            if (c == '\0') return false;
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        out.push_back(c);
    }
    return true;
}

bool ParseForm(std::string_view text, std::vector<std::pair<std::string, std::string>>& fields) {
    fields.clear();
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        std::string name, value;
        if (!PercentDecode(pair.substr(0, eq), true, name)) return false;
        if (eq != std::string_view::npos && !PercentDecode(pair.substr(eq + 1), true, value))
            return false;
        fields.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

}  // namespace web
