#pragma once
// The report mail: the summary per extension of a month or a week just ended, for the
// administrator, with the whole table as an XLSX attachment and the busiest lines in the body.
#include <string>
#include <vector>

#include "config/ReportMailSettings.h"
#include "reports/ReportEngine.h"

struct TDueReport {
    TReportPeriod Period;
    bool Monthly = false;
};

// The periods a run on `today` has to mail: the month before today's when monthly reports are on
// and it has not been mailed, the week (Monday to Sunday) before today's likewise. A station
// that was off on the first of the month mails it on its first run after.
std::vector<TDueReport> DueReports(const TReportMailSettings& settings, TDateTime today);

struct TReportMailText {
    std::string Subject;            // Windows-1251
    std::vector<std::string> Body;  // Windows-1251 lines
    std::string AttachmentName;     // extensions_YYYY-MM-DD_YYYY-MM-DD.xlsx
};

// The mail's texts; at most `topLines` extensions (by talk time) in the body.
TReportMailText ComposeReportMail(const TSummary& summary, const TDueReport& due,
                                  size_t topLines = 10);
