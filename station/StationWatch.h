#pragma once
// What keeps an unattended station seen: its status file, its alerts, and the outbox's sender,
// driven by the capture control's heartbeat and told of every change of its state.
#include <memory>
#include <string>

#include "mail/Outbox.h"
#include "mail/OutboxSender.h"
#include "mail/SmtpClient.h"
#include "notify/Alerts.h"
#include "notify/DailyRun.h"
#include "station/Controller.h"
#include "station/StatusFile.h"

class TStationWatch {
public:
    // dir: the station directory, ending in a separator.
    TStationWatch(TCaptureControl& control, std::string dir);
    ~TStationWatch();
    TStationWatch(const TStationWatch&) = delete;
    TStationWatch& operator=(const TStationWatch&) = delete;

    // Where the daily run queues its mails.
    TOutbox& Outbox() { return Outbox_; }
    TOutboxSender& Sender() { return Sender_; }
    const TAlertMonitor& Alerts() const { return *Monitor; }

    // A windowed station's alerts reach standard error (systemd's journal) besides its log.
    bool AlertsToStderr = false;
    // How long a mail server may keep a session waiting.
    int MailTimeOutMs = TDailyRun::kMailTimeOut;
    // How often the status file is written while nothing changes.
    static constexpr double kStatusEverySeconds = 5;
    // The journal's disk is nearly full below either of these.
    static constexpr uint64_t kMinFreeBytes = 200ull * 1024 * 1024;
    static constexpr double kMinFreeShare = 0.05;
    // Rejected lines mean a template that no longer fits beyond a tenth of a day's lines, once
    // there are this many.
    static constexpr int64_t kRejectedSample = 10;

    // The heartbeat: troubles looked at, the next mail sent, the status file kept fresh.
    void Beat();
    // Something changed: the status file is written now.
    void StateChanged();
    TStationStatus Status() const;

private:
    void Observe();
    void Alert(const TAlertEvent& event);
    void QueueMail(const std::string& subject, const std::vector<std::string>& body);
    void MailReport(const TOutboxReport& report);
    void WriteStatus();
    void Log(const std::string& ansi);

    TCaptureControl& Control;
    std::string Dir;
    std::string StationId;
    std::string DatabasePath;
    TOutbox Outbox_;
    TOutboxSender Sender_;
    std::unique_ptr<TAlertMonitor> Monitor;
    TSmtpClient Composer;  // builds the alerts' mails; never connects
    bool WasCapturing = false;
    bool OutboxStuck = false;
    std::string OutboxReason;
    int64_t MailsSent = 0, MailsFailed = 0;
    TDateTime LastWrite = 0;
    bool StatusFailing = false;
};
