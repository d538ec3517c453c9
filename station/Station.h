#pragma once
// The parts a station is made of: the capture port with its stored description, and the call
// database of the data module, each seen by the capture control through its small interface.
#include <memory>
#include <string>

#include "serial/SerialPort.h"
#include "station/Controller.h"

class TStationPort : public TCapturePort {
public:
    TStationPort();
    TSerialPort& ComPort() { return Port; }
    bool Connected() const override { return Port.Connected(); }
    void Open() override { Port.Open(); }
    void Close() override { Port.Close(); }
    std::string ReadText(int count) override;
    std::string Name() const override { return Port.Port(); }
    bool LinkUp() const override { return Port.Connected() && Port.Linked(); }
    // ProgramDir + "comport.ini" over the stored description; a missing file keeps it, a failed
    // load raises the port's error.
    void LoadSetup(const std::string& programDir);

private:
    void KeepNulBytes();
    TSerialPort Port;
};

// The call database of the data module CallDatabase.
class TStationDatabase : public TCaptureDatabase {
public:
    TStationDatabase();
    ~TStationDatabase() override;
    void Connect(const std::string& path, const TDbLogin& login) override;
    void Disconnect() override;
    bool Connected() const override;
    void OpenStore(const std::string& station, const TJournalPos& fallback) override;
    bool ExactlyOnce() const override;
    TJournalPos Mark() const override;
    TStoreResult Store(TRecorder& rules, const std::vector<TJournalLine>& lines,
                       const TJournalPos& to, const std::function<void()>& durable) override;

private:
    std::unique_ptr<TCallStore> Calls;
};
