#include "capture/Main.h"
#include "config/SettingsTable.h"
#include "db/DataM.h"

bool TMO::LoadSettings() {
    try {
        ReadSettingsTable(DM->TableSetting, ProgramDir, *this);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void TMO::SaveSettings() { WriteSettingsTable(DM->TableSetting, ProgramDir, *this); }

void TMO::LoadConfiguration() {
    ConfigLoaded = false;
    if (LoadSettings()) ConfigLoaded = LoadTemplate();
}
