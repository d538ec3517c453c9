#include "notify/Alerts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/Ini.h"

namespace {

constexpr const char* kSection = "Alerts";
constexpr double kMinutesPerDay = 24 * 60;
// Beyond this a silence is long past any limit; no day-by-day count goes further.
constexpr int kMaxDays = 400;

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

// The working stretch that starts on the day of dayStart, as day fractions [from, to).
void Stretch(const TAlertSettings& s, TDateTime dayStart, TDateTime& from, TDateTime& to) {
    from = dayStart + s.WorkFrom / kMinutesPerDay;
    to = dayStart + s.WorkTo / kMinutesPerDay;
    if (s.WorkTo <= s.WorkFrom) to += 1;
}

bool WorksOn(const TAlertSettings& s, TDateTime day) {
    const int dow = DayOfWeek(day);
    return dow >= 1 && dow <= 7 && s.WorkDays[dow - 1];
}

}  // namespace

const char* AlertKindName(TAlertKind kind) {
    switch (kind) {
        case TAlertKind::Silence:
            return "silence";
        case TAlertKind::Database:
            return "database";
        case TAlertKind::Port:
            return "port";
        case TAlertKind::Journal:
            return "journal";
        case TAlertKind::Rejected:
            return "rejected";
        case TAlertKind::Outbox:
            return "outbox";
    }
    return "alert";
}

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

bool InWorkingHours(const TAlertSettings& s, TDateTime at) {
    // The stretch of this day, or the night part of yesterday's.
    for (int back = 0; back <= 1; ++back) {
        const TDateTime day = static_cast<TDateTime>(DayNumber(at) - back);
        if (!WorksOn(s, day)) continue;
        TDateTime from = 0, to = 0;
        Stretch(s, day, from, to);
        if (at >= from && at < to) return true;
    }
    return false;
}

double WorkingMinutes(const TAlertSettings& s, TDateTime from, TDateTime to, double cap) {
    if (to <= from) return 0;
    double total = 0;
    const int64_t first = DayNumber(from) - 1;
    const int64_t last = std::min<int64_t>(DayNumber(to), first + kMaxDays);
    for (int64_t d = first; d <= last && total < cap; ++d) {
        const TDateTime day = static_cast<TDateTime>(d);
        if (!WorksOn(s, day)) continue;
        TDateTime a = 0, b = 0;
        Stretch(s, day, a, b);
        const TDateTime lo = std::max(a, from), hi = std::min(b, to);
        if (hi > lo) total += (hi - lo) * kMinutesPerDay;
    }
    return std::min(total, cap);
}

TAlertMonitor::TAlertMonitor(TAlertSettings settings) : Settings_(std::move(settings)) {}

void TAlertMonitor::Observe(TAlertKind kind, bool trouble, const std::string& text, TDateTime now) {
    Change(kind, trouble, text, now, Settings_.GraceMinutes, now);
}

void TAlertMonitor::ObserveSilence(TDateTime lastLine, TDateTime now) {
    const double limit = Settings_.SilenceMinutes;
    const bool silent =
        limit > 0 && WorkingMinutes(Settings_, lastLine, now, limit + 1) >= limit - 1e-6;
    const std::string text =
        platform::Utf8ToAnsi("нет звонков с ") + FormatDateTime("dd.mm.yyyy hh:nn", lastLine);
    // The silence's own limit is its grace.
    Change(TAlertKind::Silence, silent, text, now, 0, lastLine);
}

void TAlertMonitor::Change(TAlertKind kind, bool trouble, const std::string& text, TDateTime now,
                           double graceMinutes, TDateTime since) {
    TState& st = States[kind];
    if (!trouble) {
        if (st.On && OnEvent) OnEvent({kind, false, st.Since, now, st.Text});
        st = TState{};
        return;
    }
    if (!st.Seen) {
        st.Seen = true;
        st.Since = since;
    }
    if (st.On) return;
    st.Text = text;
    // Day fractions are not exact: a grace of ten minutes must end at ten minutes.
    if ((now - st.Since) * kMinutesPerDay + 1e-6 < graceMinutes) return;
    st.On = true;
    if (OnEvent) OnEvent({kind, true, st.Since, now, st.Text});
}

std::vector<TActiveAlert> TAlertMonitor::Active() const {
    std::vector<TActiveAlert> out;
    for (const auto& [kind, st] : States)
        if (st.On) out.push_back({AlertKindName(kind), st.Since, st.Text});
    return out;
}
