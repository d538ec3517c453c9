#include "config/ReportMailSettings.h"

#include <cstdio>

#include "platform/Ini.h"

namespace {

constexpr const char* kSection = "ReportMail";

TDateTime ReadDay(const TIniFile& ini, const char* key) {
    const std::string text = ini.ReadString(kSection, key, "");
    int y = 0, m = 0, d = 0;
    TDateTime day = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3 || !TryEncodeDate(y, m, d, day))
        return 0;
    return day;
}

std::string DayText(TDateTime day) {
    return day == 0 ? std::string() : FormatDateTime("yyyy-mm-dd", day);
}

}  // namespace

TReportMailSettings ReadReportMailSettings(const std::string& path) {
    const TIniFile ini(path);
    TReportMailSettings s;
    s.Monthly = ini.ReadInteger(kSection, "Monthly", 0) != 0;
    s.Weekly = ini.ReadInteger(kSection, "Weekly", 0) != 0;
    s.LastMonth = ReadDay(ini, "LastMonth");
    s.LastWeek = ReadDay(ini, "LastWeek");
    return s;
}

void WriteReportMailSettings(const std::string& path, const TReportMailSettings& s) {
    TIniFile ini(path);
    ini.WriteInteger(kSection, "Monthly", s.Monthly ? 1 : 0);
    ini.WriteInteger(kSection, "Weekly", s.Weekly ? 1 : 0);
    ini.WriteString(kSection, "LastMonth", DayText(s.LastMonth));
    ini.WriteString(kSection, "LastWeek", DayText(s.LastWeek));
}
