#pragma once
// An HTTP/1.1 request parser for a server that faces the network: fed whatever bytes arrive, it
// keeps only one request's head and body, caps every part of them and tells a malformed or
// oversized request by the status it must be answered with. Only Content-Length bodies are
// taken; a transfer coding is refused.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace web {

struct THttpLimits {
    size_t MaxRequestLine = 8 * 1024;
    size_t MaxHead = 16 * 1024;  // request line and headers together
    size_t MaxHeaders = 64;
    size_t MaxBody = 16 * 1024;
};

struct THttpRequest {
    std::string Method;
    std::string Target;  // as sent
    std::string Path;    // percent-decoded, without the query
    std::string Query;   // raw, after '?'
    int VersionMinor = 1;
    std::vector<std::pair<std::string, std::string>> Headers;  // names in lower case
    std::string Body;

    // The first header of that name (lower case), empty when there is none.
    std::string Header(std::string_view name) const;
    bool KeepAlive() const;
};

class THttpParser {
public:
    enum class TState { NeedMore, Done, Error };

    explicit THttpParser(THttpLimits limits = {}) : limits_(limits) {}

    // Takes bytes of the connection up to the end of one request; `consumed` tells how many were
    // used, the rest belongs to the next request. After Done or Error, Reset before the next.
    TState Feed(std::string_view data, size_t& consumed);
    void Reset();

    bool Started() const { return !head_.empty() || headDone_; }
    const THttpRequest& Request() const { return request_; }
    THttpRequest TakeRequest() { return std::move(request_); }
    // After Error: the status to answer with (400, 413, 414, 431, 501, 505) and why.
    int ErrorStatus() const { return errorStatus_; }
    const std::string& ErrorText() const { return errorText_; }

private:
    TState Fail(int status, std::string text);
    TState ParseHead();

    THttpLimits limits_;
    std::string head_;
    bool headDone_ = false;
    size_t bodyLength_ = 0;
    THttpRequest request_;
    int errorStatus_ = 0;
    std::string errorText_;
};

// Percent-decoding of a path ('+' stays) or of a form field ('+' is a space); false for a
// broken escape or a decoded NUL.
bool PercentDecode(std::string_view in, bool plusIsSpace, std::string& out);

// The fields of an application/x-www-form-urlencoded text (a query or a form's body), in order;
// false when one is malformed.
bool ParseForm(std::string_view text, std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace web
