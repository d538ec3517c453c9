#include <filesystem>

#include "capture/Recorder.h"
#include "config/ReportMailSettings.h"
#include "config/SettingsTable.h"
#include "db/CallDatabase.h"
#include "platform/ProgramDir.h"

bool TRecorder::LoadSettings() {
    try {
        ReadSettingsTable(CallDatabase->TableSetting, ProgramDir, *this, &TextWidths);
        return true;
    } catch (const std::exception& e) {
        // The table's own messages do not say which file; the start's log must.
        const TDbfTable& table = CallDatabase->TableSetting;
        LoadProblem = "Unable to read the settings table " +
                      platform::FileInDir(ProgramDir, table.TableName()) + ": " + e.what();
        return false;
    }
}

void TRecorder::SaveSettings() {
    WriteSettingsTable(CallDatabase->TableSetting, ProgramDir, *this);
}

void TRecorder::LoadConfiguration() {
    ConfigLoaded = false;
    Mail = ReadMailSettings(platform::FileInDir(ProgramDir, kMailIni));
    const TReportMailSettings reports =
        ReadReportMailSettings(platform::FileInDir(ProgramDir, kReportsIni));
    ReportMailOn = reports.Monthly || reports.Weekly;
    LoadProblem.clear();
    try {
        Login = TDbLogin::Load(ProgramDir);
    } catch (const std::exception& e) {
        LoadProblem = e.what();
        return;
    }
    if (LoadSettings()) ConfigLoaded = LoadTemplate();
}

void TRecorder::SaveMailSettings() {
    const std::string path = platform::FileInDir(ProgramDir, kMailIni);
    std::error_code ec;
    if (IsPlainMail(Mail) && !std::filesystem::exists(path, ec)) return;
    WriteMailSettings(path, Mail);
    // The keys the dialog does not edit, and any problem with them, are the file's.
    Mail = ReadMailSettings(path);
}

void TRecorder::SaveDbLogin() {
    std::error_code ec;
    if (Login.IsDefault() &&
        !std::filesystem::exists(platform::FileInDir(ProgramDir, TDbLogin::kFile), ec))
        return;
    Login.Save(ProgramDir);
}
