#pragma once
// The alerts' settings, kept beside the settings table in alerts.ini of the station directory
// (section [Alerts]) so that the table keeps its layout: the working hours and days the watchdog
// counts silence in, the longest silence, the grace time, and the alerts' recipient.
#include <string>

// Kept in alerts.ini of the station directory, section [Alerts].
struct TAlertSettings {
    // Working days, Sunday first as DayOfWeek counts (Monday to Friday by default).
    bool WorkDays[7] = {false, true, true, true, true, true, false};
    // The working hours in minutes of the day; a start after the end spans midnight, the night
    // belonging to the day it starts on.
    int WorkFrom = 9 * 60;
    int WorkTo = 18 * 60;
    // The longest silence allowed within working hours, minutes; 0: no watchdog.
    int SilenceMinutes = 120;
    // How long a trouble must last before it is told, minutes.
    int GraceMinutes = 10;
    // The alerts' recipient, Windows-1251; empty: the daily message's address.
    std::string Address;
};

inline constexpr const char* kAlertsIni = "alerts.ini";

// The settings of the file at path; a missing file, key or unusable value gives its default.
TAlertSettings ReadAlertSettings(const std::string& path);
// Raises EIniFileException.
void WriteAlertSettings(const std::string& path, const TAlertSettings& settings);
// "1-5" style list of working days, Monday 1 to Sunday 7, and back.
std::string WorkDaysText(const TAlertSettings& settings);
bool ParseWorkDays(const std::string& text, TAlertSettings& settings);
