#pragma once
// The daily run: once per date the station holds back storing, mails each owner who asked for it
// the talk time of the reported day, sends the administrator's daily message and the silence
// alarm, and stores what arrived meanwhile.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/Recorder.h"
#include "common/DateTime.h"

class TCallDatabase;
class TOutbox;
class TSmtpClient;
struct TMailEnvelope;
struct TOutboxReport;

// The record path and the daily timer, as the run needs them. The run and the record path share
// the database's one transaction, so no line is stored while the run reads the statistics or
// waits for the mail server: HoldStorage keeps the lines that arrive meanwhile (in the capture
// journal, the port staying open), ResumeStorage stores them.
struct TDailyRunHooks {
    std::function<void()> HoldStorage;
    std::function<void()> ResumeStorage;
    std::function<void(bool on)> SetTimerEnabled;
    // An event for the administrator's log, Windows-1251: a failed mail with the server's reply.
    std::function<void(const std::string& text)> LogEvent;
    // Asks for the summaries' totals of the days before `today` to be added up, elsewhere.
    std::function<void(TDateTime today)> AddUpTotals;
};

enum class TOwnerOutcome { Sent, Skipped, Failed };

// What one statistics mail came to; neither sent nor failed: nothing to send (no address).
struct TMailResult {
    bool Sent = false;
    bool Failed = false;
    std::string Error;
};

class TDailyRun {
public:
    // A mail server that accepts the connection and then never answers must not hold the record
    // path back for good: every wait of the station's mail client ends after this long.
    static constexpr int kMailTimeOut = 60000;

    // Gives the mail client the station's fixed settings (plain text, MIME, cleared recipients,
    // the time-out above).
    TDailyRun(TRecorder& recorder, TCallDatabase& callDb, TSmtpClient& smtp, TDailyRunHooks hooks);
    virtual ~TDailyRun() = default;
    TDailyRun(const TDailyRun&) = delete;
    TDailyRun& operator=(const TDailyRun&) = delete;

    // The timer's handler. A database failure of the statistics is raised again once storing
    // has resumed, the timer is armed and the run's date is recorded.
    void TimerTimer();
    // The station is ending while the run waits for its mail server: the wait ends now, and this
    // mail and every later one of the run go to the outbox, to be sent after the next start.
    void Cancel();

    // Mails every owner marked for it the totals of the day of LastRunDate. An owner whose totals
    // fail is reported and left out; a failure of the owners' query is raised after the
    // transaction has been committed.
    void SendStatistics();
    virtual TMailResult SendUserStatistics(int32_t inSeconds, int32_t outSeconds, TDateTime day,
                                           const std::string& address, const std::string& name);
    void SendAdminMail(const std::string& subject, const std::string& body);
    // Mails the administrator the summary per extension of the month and the week just ended
    // when reports.ini asks for them and they have not gone yet; the summary is read on a
    // connection of its own. A period whose report cannot be made is tried again next run.
    void SendReportMails(TDateTime today);
    // " 1 ч. 2 мин. 3 сек." for 3723 seconds, in Windows-1251.
    static std::string FormatDuration(int32_t seconds);

    // One line per owner of a statistics run: the address sent to, the number skipped, the
    // address whose mail failed or the number whose totals failed, with the reason.
    std::function<void(TOwnerOutcome outcome, const std::string& who, const std::string& reason)>
        OnOwner;
    // Where the run's mails go, for the outbox's sender to deliver: the run then waits for no
    // mail server. Without one each mail is sent at once and a failure only reported.
    TOutbox* Outbox = nullptr;

protected:
    // Queues one message, or sends it with the station's mail settings; the error text, empty
    // on success.
    std::string Mail(const std::string& subject, const std::string& to,
                     const std::vector<std::string>& body,
                     const std::vector<std::string>& attachments = {});
    // Connects with the station's mail settings, runs send and disconnects; the error text.
    std::string Session(const std::function<void()>& send);

    TRecorder& Recorder;
    TCallDatabase& CallDb;
    TSmtpClient& NSMTP;

private:
    void Report(TOwnerOutcome outcome, const std::string& who, const std::string& reason = {});
    std::string Queue(const TMailEnvelope& envelope, const std::string& to);
    void Log(const std::string& text);

    TDailyRunHooks Hooks;
    bool running_ = false;
    bool cancelled_ = false;
};

// One station mail (plain text, Windows-1251, MIME) as it goes on the wire.
TMailEnvelope ComposeStationMail(TSmtpClient& smtp, const std::string& from,
                                 const std::string& subject, const std::string& to,
                                 const std::vector<std::string>& body,
                                 const std::vector<std::string>& attachments = {});
// The log line for what the outbox's sender did with a message; empty for a first delivery.
std::string OutboxReportText(const TOutboxReport& report);

// The day's name, Sunday first, in Windows-1251.
std::string DayName(TDateTime day);
// An owner's number that can stand in a statement's text as it is: an optional minus and 1 to
// 10 digits.
bool IsPlainInteger(const std::string& text);
