#include "capture/Station.h"

#include "db/CallDatabase.h"
#include "platform/ProgramDir.h"

TStationPort::TStationPort() {
    Port.Name = "ComPort";
    Port.UseCaptureDefaults();
}

std::string TStationPort::ReadText(int count) {
    std::string text;
    Port.ReadText(text, count);
    return text;
}

void TStationPort::LoadSetup(const std::string& programDir) {
    Port.LoadSetup(ssIniFile, platform::FileInDir(programDir, "comport.ini"));
}

void TStationDatabase::Connect(const std::string& path) {
    if (CallDatabase) CallDatabase->Connect(path);
}

void TStationDatabase::Disconnect() {
    if (CallDatabase) CallDatabase->Disconnect();
}

bool TStationDatabase::Connected() const {
    return CallDatabase && CallDatabase->Connected();
}
