#include "capture/Recorder.h"
#include "config/SettingsTable.h"
#include "db/CallDatabase.h"

bool TRecorder::LoadSettings() {
    try {
        ReadSettingsTable(CallDatabase->TableSetting, ProgramDir, *this, &TextWidths);
        return true;
    } catch (const std::exception& e) {
        LoadProblem = e.what();
        return false;
    }
}

void TRecorder::SaveSettings() {
    WriteSettingsTable(CallDatabase->TableSetting, ProgramDir, *this);
}

void TRecorder::LoadConfiguration() {
    ConfigLoaded = false;
    LoadProblem.clear();
    if (LoadSettings()) ConfigLoaded = LoadTemplate();
}
