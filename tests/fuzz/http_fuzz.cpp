// Feeds arbitrary bytes to the web program's request parser, whole and cut into pieces as a
// socket could deliver them, with the form decoder on what it takes; the two must agree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/HttpParser.h"

namespace {

struct TOutcome {
    web::THttpParser::TState State;
    int Status;
    std::string Path, Body;
    size_t Used;
};

TOutcome Run(std::string_view data, size_t step) {
    web::THttpLimits limits;
    limits.MaxHead = 2048;
    limits.MaxRequestLine = 512;
    limits.MaxBody = 256;
    web::THttpParser p(limits);
    web::THttpParser::TState s = web::THttpParser::TState::NeedMore;
    size_t at = 0;
    while (s == web::THttpParser::TState::NeedMore && at < data.size()) {
        const std::string_view chunk = data.substr(at, step);
        size_t consumed = 0;
        s = p.Feed(chunk, consumed);
        if (consumed > chunk.size()) __builtin_trap();
        if (s == web::THttpParser::TState::NeedMore && consumed != chunk.size()) __builtin_trap();
        at += consumed;
    }
    if (s == web::THttpParser::TState::Done) {
        std::vector<std::pair<std::string, std::string>> fields;
        (void)web::ParseForm(p.Request().Query, fields);
        (void)web::ParseForm(p.Request().Body, fields);
        if (p.Request().Body.size() > limits.MaxBody) __builtin_trap();
    }
    return {s, p.ErrorStatus(), p.Request().Path, p.Request().Body, at};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const TOutcome whole = Run(input, input.size() + 1);
    const TOutcome bytes = Run(input, 1);
    if (whole.State != bytes.State || whole.Status != bytes.Status || whole.Path != bytes.Path ||
        whole.Body != bytes.Body)
        __builtin_trap();
    if (whole.State == web::THttpParser::TState::Done && whole.Used != bytes.Used) __builtin_trap();
    return 0;
}
