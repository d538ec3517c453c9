#include "config/AlertSettings.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string_view>

#include "common/Text.h"
#include "platform/Ini.h"

namespace {

constexpr const char* kSection = "Alerts";

// "09:00" or "9" as minutes of the day; -1 when it is neither.
int ParseClock(const std::string& text) {
    const size_t colon = text.find(':');
    const auto hours = TryStrToInt64(Trim(text.substr(0, colon)));
    const auto minutes = colon == std::string::npos ? std::optional<int64_t>(0)
                                                    : TryStrToInt64(Trim(text.substr(colon + 1)));
    if (!hours || !minutes || *hours < 0 || *hours > 24 || *minutes < 0 || *minutes > 59 ||
        (*hours == 24 && *minutes != 0))
        return -1;
    return static_cast<int>(*hours * 60 + *minutes);
}

std::string ClockText(int minutes) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", minutes / 60, minutes % 60);
    return text;
}

}  // namespace

std::string WorkDaysText(const TAlertSettings& s) {
    std::string out;
    for (int monFirst = 1; monFirst <= 7; ++monFirst) {
        if (!s.WorkDays[monFirst % 7]) continue;
        if (!out.empty()) out += ',';
        out += std::to_string(monFirst);
    }
    return out;
}

bool ParseWorkDays(const std::string& text, TAlertSettings& s) {
    bool days[7] = {};
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = Trim(std::string_view(text).substr(at, comma - at));
        at = comma + 1;
        if (item.empty()) continue;
        const size_t dash = item.find('-');
        const auto first = TryStrToInt64(Trim(item.substr(0, dash)));
        const auto last =
            dash == std::string::npos ? first : TryStrToInt64(Trim(item.substr(dash + 1)));
        if (!first || !last || *first < 1 || *last > 7 || *first > *last) return false;
        for (int64_t d = *first; d <= *last; ++d) days[d % 7] = true;
    }
    std::copy(std::begin(days), std::end(days), s.WorkDays);
    return true;
}

TAlertSettings ReadAlertSettings(const std::string& path) {
    const TIniFile ini(path);
    TAlertSettings s;
    ParseWorkDays(ini.ReadString(kSection, "WorkDays", WorkDaysText(s)), s);
    const int from = ParseClock(ini.ReadString(kSection, "WorkFrom", ""));
    const int to = ParseClock(ini.ReadString(kSection, "WorkTo", ""));
    if (from >= 0 && to >= 0 && from != to) {
        s.WorkFrom = from % (24 * 60);
        s.WorkTo = to % (24 * 60);
    }
    const int silence = ini.ReadInteger(kSection, "SilenceMinutes", s.SilenceMinutes);
    if (silence >= 0) s.SilenceMinutes = silence;
    const int grace = ini.ReadInteger(kSection, "GraceMinutes", s.GraceMinutes);
    if (grace >= 0) s.GraceMinutes = grace;
    s.Address = ini.ReadString(kSection, "Address", "");
    return s;
}

void WriteAlertSettings(const std::string& path, const TAlertSettings& s) {
    TIniFile ini(path);
    ini.WriteString(kSection, "WorkDays", WorkDaysText(s));
    ini.WriteString(kSection, "WorkFrom", ClockText(s.WorkFrom));
    ini.WriteString(kSection, "WorkTo", ClockText(s.WorkTo));
    ini.WriteInteger(kSection, "SilenceMinutes", s.SilenceMinutes);
    ini.WriteInteger(kSection, "GraceMinutes", s.GraceMinutes);
    ini.WriteString(kSection, "Address", s.Address);
}
