#include "notify/ReportMail.h"

#include <algorithm>

#include "platform/CodePage.h"

using platform::Utf8ToAnsi;

std::vector<TDueReport> DueReports(const TReportMailSettings& settings, TDateTime today) {
    std::vector<TDueReport> due;
    today = static_cast<TDateTime>(DayNumber(today));
    if (settings.Monthly) {
        const TReportPeriod last = PresetPeriod(TPeriodPreset::LastMonth, today);
        if (settings.LastMonth < last.From) due.push_back({last, true});
    }
    if (settings.Weekly) {
        const TReportPeriod thisWeek = PresetPeriod(TPeriodPreset::ThisWeek, today);
        const TReportPeriod last{thisWeek.From - 7, thisWeek.From};
        if (settings.LastWeek < last.From) due.push_back({last, false});
    }
    return due;
}

TReportMailText ComposeReportMail(const TSummary& summary, const TDueReport& due, size_t topLines) {
    TReportMailText m;
    const std::string span = DateToStr(due.Period.From) + " - " + DateToStr(due.Period.To - 1);
    m.Subject =
        Utf8ToAnsi(due.Monthly ? "Отчёт по абонентам за месяц " : "Отчёт по абонентам за неделю ") +
        span;
    m.AttachmentName = "extensions_" + FormatDateTime("yyyy-mm-dd", due.Period.From) + "_" +
                       FormatDateTime("yyyy-mm-dd", due.Period.To - 1) + ".xlsx";
    const TSummaryRow& t = summary.Total;
    m.Body.push_back(Utf8ToAnsi("Звонки с ") + span);
    m.Body.push_back(Utf8ToAnsi("Всего звонков: ") + std::to_string(t.Calls()) +
                     Utf8ToAnsi(" (входящих ") + std::to_string(t.CallsIn) +
                     Utf8ToAnsi(", исходящих ") + std::to_string(t.CallsOut) +
                     Utf8ToAnsi("), время разговоров ") + DurationText(t.Seconds()));
    m.Body.push_back("");
    std::vector<const TSummaryRow*> rows;
    for (const auto& r : summary.Rows) rows.push_back(&r);
    std::stable_sort(rows.begin(), rows.end(),
                     [](auto* a, auto* b) { return a->Seconds() > b->Seconds(); });
    if (rows.size() > topLines) rows.resize(topLines);
    if (!rows.empty()) m.Body.push_back(Utf8ToAnsi("Больше всех говорили:"));
    for (const TSummaryRow* r : rows)
        m.Body.push_back(r->Key + (r->Owner.empty() ? "" : " " + r->Owner) + ": " +
                         std::to_string(r->Calls()) + Utf8ToAnsi(" зв., ") +
                         DurationText(r->Seconds()));
    m.Body.push_back("");
    m.Body.push_back(Utf8ToAnsi("Вся таблица во вложении: ") + m.AttachmentName);
    return m;
}
