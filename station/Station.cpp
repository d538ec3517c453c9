#include "station/Station.h"

#include "db/CallDatabase.h"
#include "platform/Ini.h"
#include "platform/ProgramDir.h"

TStationPort::TStationPort() {
    Port.Name = "ComPort";
    Port.UseCaptureDefaults();
    KeepNulBytes();
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
    const std::string file = platform::FileInDir(programDir, "comport.ini");
    // A file read as nothing would leave the default device to be opened in silence.
    if (const std::string problem = PortFileProblem(file, Port.Name); !problem.empty()) {
        Port.SetPort("");
        throw EIniFileException(problem);
    }
    Port.LoadSetup(ssIniFile, file);
    KeepNulBytes();
}

// The journal keeps every byte as received, and a NUL holds its column in a fixed-column line:
// dropped by the driver it would move every later field one column left.
void TStationPort::KeepNulBytes() {
    if (Port.DiscardNull()) Port.SetDiscardNull(false);
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
