#pragma once
// The report mail's settings, in reports.ini beside the settings table: whether the daily run
// mails the administrator the summary per extension of each month and of each week just ended,
// and which periods it has mailed already.
#include <string>

#include "common/DateTime.h"

constexpr const char* kReportsIni = "reports.ini";

struct TReportMailSettings {
    bool Monthly = false;
    bool Weekly = false;
    TDateTime LastMonth = 0;  // the first day of the last month mailed; 0: none yet
    TDateTime LastWeek = 0;   // the Monday of the last week mailed
};

// A missing file or key reads as the defaults (nothing mailed).
TReportMailSettings ReadReportMailSettings(const std::string& path);
// Raises EIniFileException when the file cannot be written.
void WriteReportMailSettings(const std::string& path, const TReportMailSettings& settings);
