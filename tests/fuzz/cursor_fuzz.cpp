// A call list's page token, both ways. Arbitrary bytes as a token handed in by a link or a
// form: one that parses must come back from its own text as the same cursor, and that text is
// canonical (written again, the same). The first sixteen bytes as a cursor the engine hands out
// (a whole second of the years 1900 to 9999, any non-negative key): its token must parse back
// to it, or the next page could not be reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "reports/ReportEngine.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void TokenGoesAndComesBack(std::string_view token) {
    const auto cursor = TCallCursor::FromToken(token);
    if (!cursor) return;
    Check(cursor->Start >= 0 && cursor->Tie >= 0);
    const std::string text = cursor->ToToken();
    const auto back = TCallCursor::FromToken(text);
    Check(back.has_value());
    Check(back->Start == cursor->Start && back->Tie == cursor->Tie);
    Check(back->ToToken() == text);
}

void CursorGoesAndComesBack(const uint8_t* data) {
    uint64_t seconds = 0, tie = 0;
    std::memcpy(&seconds, data, sizeof seconds);
    std::memcpy(&tie, data + 8, sizeof tie);
    // From 1 January 1900 to 31 December 9999, 23:59:59.
    constexpr uint64_t kFirst = 2 * 86400, kLast = uint64_t{2958466} * 86400 - 1;
    const TCallCursor c{static_cast<double>(kFirst + seconds % (kLast - kFirst + 1)) / 86400,
                        static_cast<int64_t>(tie >> 1)};
    const auto back = TCallCursor::FromToken(c.ToToken());
    Check(back.has_value());
    Check(back->Start == c.Start && back->Tie == c.Tie);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TokenGoesAndComesBack(std::string_view(reinterpret_cast<const char*>(data), size));
    if (size >= 16) CursorGoesAndComesBack(data);
    return 0;
}
