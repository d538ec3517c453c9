#include "station/Station.h"

#include "db/CallDatabase.h"
#include "platform/ProgramDir.h"

TStationPort::TStationPort() {
    Port.Name = "ComPort";
    Port.UseCaptureDefaults();
    // A device that went away reports an I/O error; nothing else on the line does.
    Port.OnError = [this](TCustomSerialPort&, TPortErrors errors) {
        if ((errors & errIO) && OnLost) OnLost("I/O error");
    };
}

std::string TStationPort::ReadText(int count) {
    std::string text;
    Port.ReadText(text, count);
    return text;
}

void TStationPort::LoadSetup(const std::string& programDir) {
    Port.LoadSetup(ssIniFile, platform::FileInDir(programDir, "comport.ini"));
}

TStationDatabase::TStationDatabase() = default;
TStationDatabase::~TStationDatabase() = default;

void TStationDatabase::Connect(const std::string& path, const TDbLogin& login) {
    if (CallDatabase) CallDatabase->Connect(path, login);
}

void TStationDatabase::Disconnect() {
    // The store's statements belong to the attachment that goes.
    if (Calls) Calls->Close();
    if (CallDatabase) CallDatabase->Disconnect();
}

bool TStationDatabase::Connected() const {
    return CallDatabase && CallDatabase->Connected();
}

void TStationDatabase::OpenStore(const std::string& station, const TJournalPos& fallback) {
    if (!CallDatabase) throw EDatabaseError("no call database");
    if (!Calls) Calls = std::make_unique<TCallStore>(*CallDatabase);
    Calls->Open(station, fallback);
}

bool TStationDatabase::ExactlyOnce() const {
    return Calls && Calls->ExactlyOnce();
}

TJournalPos TStationDatabase::Mark() const {
    return Calls ? Calls->Mark() : TJournalPos{};
}

TStoreResult TStationDatabase::Store(TRecorder& rules, const std::vector<TJournalLine>& lines,
                                     const TJournalPos& to, const std::function<void()>& durable) {
    if (!Calls) {
        TStoreResult result;
        result.Error = "the store is not open";
        return result;
    }
    return Calls->Store(rules, lines, to, durable);
}
