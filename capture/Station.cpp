#include "capture/Station.h"

#include "db/DataM.h"

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
    Port.LoadSetup(ssIniFile, programDir + "comport.ini");
}

void TStationDatabase::Connect(const std::string& path) {
    if (DM) DM->Connect(path);
}

void TStationDatabase::Disconnect() {
    if (DM) DM->Disconnect();
}

bool TStationDatabase::Connected() const {
    return DM && DM->Connected();
}
