#include "notify/Alerts.h"

#include <algorithm>
#include <cmath>

#include "platform/CodePage.h"

namespace {

constexpr double kMinutesPerDay = 24 * 60;
// Beyond this a silence is long past any limit; no day-by-day count goes further.
constexpr int kMaxDays = 400;

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
