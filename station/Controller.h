#pragma once
// Capture control shared by the windowed and the headless station: starting and stopping
// capture, the receive handler, and holding back every request that would close the port or
// free the holder while a receive handler is still running.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/Recorder.h"
#include "journal/CallStore.h"
#include "journal/Journal.h"
#include "notify/DailyRun.h"
#include "reports/ReportTotals.h"

// The capture line as the controller sees it.
class TCapturePort {
public:
    virtual ~TCapturePort() = default;
    virtual bool Connected() const = 0;
    virtual void Open() = 0;
    virtual void Close() = 0;
    // At most count bytes of what the device holds, without waiting.
    virtual std::string ReadText(int count) = 0;
    // The name the port is opened by, for the log.
    virtual std::string Name() const = 0;
    // Open and reaching the exchange: a network exchange is connected.
    virtual bool LinkUp() const { return Connected(); }
    // Set by the controller: the device went away (unplugged, hung up) while open. Called from
    // the port's event delivery.
    std::function<void(const std::string& why)> OnLost;
};

// The call database as the controller sees it: the connection, and the storing of journal
// lines with the station's mark (CallStore.h).
class TCaptureDatabase {
public:
    virtual ~TCaptureDatabase() = default;
    // Throws on failure; success is read back from Connected().
    virtual void Connect(const std::string& path, const TDbLogin& login) = 0;
    virtual void Disconnect() = 0;
    virtual bool Connected() const = 0;
    // After a connect: the station's mark (fallback without one). Throws on failure.
    virtual void OpenStore(const std::string& station, const TJournalPos& fallback) = 0;
    virtual bool ExactlyOnce() const = 0;
    virtual TJournalPos Mark() const = 0;
    // One transaction: the lines handled, the mark moved to `to`; durable() runs just before
    // the commit (the journal's sync, joined there so that it overlaps the statements).
    virtual TStoreResult Store(TRecorder& rules, const std::vector<TJournalLine>& lines,
                               const TJournalPos& to, const std::function<void()>& durable) = 0;
};

// What the controller asks of its front end (the window, or the headless console).
class TCaptureView {
public:
    virtual ~TCaptureView() = default;
    // One received line, Windows-1251, as it enters the log. May process pending messages.
    virtual void LogLine(const std::string& line) = 0;
    // A message to the user, Windows-1251.
    virtual void ShowMessage(const std::string& text) = 0;
    // An event of the station an administrator reads later (the database gone or back, a failed
    // mail), Windows-1251: kept in the log, never a modal box, since nobody may be watching.
    virtual void LogEvent(const std::string& text) = 0;
    virtual void SetTimerEnabled(bool on) = 0;
    // The station's standing state in a few words ("база недоступна, строк ждут: 12"), empty
    // while all is well, Windows-1251.
    virtual void ShowStatus(const std::string& text) = 0;
    // The port opened or closed, or capture stopped or started: refresh captions and commands.
    virtual void CaptureStateChanged() = 0;
    // Runs fn from the event loop as soon as possible, outside the current call stack.
    virtual void Post(std::function<void()> fn) = 0;
    // Runs fn from the event loop after ms milliseconds.
    virtual void PostDelayed(int ms, std::function<void()> fn) = 0;
};

// An event as the log shows it: "*** dd.mm.yyyy hh:nn:ss " and the text, so it stands out
// among the exchange's lines and a saved log can be searched for it.
std::string EventLine(const std::string& text);

// What the station has handled since it started, for its status file and its alerts.
struct TCaptureCounters {
    int64_t Received = 0;  // lines received
    int64_t Stored = 0;    // rows stored
    int64_t Rejected = 0;  // lines that are no call, or that the database refused
    int64_t Dropped = 0;   // lines the rules drop, blank lines, lines cut off
    // The same for the current day only.
    int64_t Day = 0;
    int64_t ReceivedToday = 0, RejectedToday = 0;
    std::optional<TDateTime> LastReceived, LastStored;
};

// Makes the settings holder with its configuration loaded (or failed: ConfigLoaded false).
using THolderFactory = std::function<std::unique_ptr<TRecorder>()>;
// The station's factory: the settings table and the template from ProgramDir.
std::unique_ptr<TRecorder> LoadHolder();

class TCaptureControl {
public:
    TCaptureControl(TCapturePort& port, TCaptureDatabase& db, TCaptureView& view,
                    THolderFactory makeHolder);
    ~TCaptureControl();
    TCaptureControl(const TCaptureControl&) = delete;
    TCaptureControl& operator=(const TCaptureControl&) = delete;

    // Creates the holder and loads the configuration; false when it did not load.
    bool CreateHolder();
    TRecorder* Recorder() const { return Recorder_.get(); }

    // The capture journal in dir: from then on every received byte goes there first and the
    // database is filled from it, exactly once, whatever fails in between. Without a journal
    // each line is stored as it ends, or lost when the database cannot take it. False (and an
    // event in the log) when the journal cannot be used.
    bool UseJournal(const std::string& dir, int keepDays = 400);
    const TJournal* Journal() const { return Journal_.get(); }

    // Stop when true, start when false. Held back while a receive handler runs.
    void StartStop(bool stop);
    void Toggle() { StartStop(Capturing()); }
    // Capture was started and not stopped: the port is open, or lost and being opened again.
    bool Capturing() const { return Capturing_; }

    // The port's received-bytes event.
    void RxChar(int count);
    // Received bytes in order: into the journal, then each character to the log keeper, then
    // the lines to the database.
    void Receive(const std::string& bytes);
    // The port's notice for the log (a network source connected, dropped, refused someone).
    void PortNotice(const std::string& text);
    // The line the exchange was sending was cut off (its connection dropped): it is marked
    // unfinished in the journal, neither stored nor joined to the next line, and the log shows it.
    void LineCut();

    // Lines in the journal after the database's mark.
    int64_t Waiting() const { return Waiting_; }
    bool DatabaseAvailable() const { return Available; }
    // How often a database that went away, and a port whose device went away, are tried again.
    static constexpr int kDatabaseRetryMs = 10000;
    static constexpr int kPortRetryMs = 5000;
    // Lines stored in one transaction when a backlog is stored; a line that arrives while the
    // station is up to date gets a transaction of its own.
    static constexpr size_t kBacklogBatch = 500;
    // Received bytes kept in memory while the journal cannot be written (a full disk).
    static constexpr size_t kUnjournaledLimit = 64 * 1024 * 1024;

    // Runs fn now, or when the receive handler or the held-back request that is running has
    // returned: a stop chosen during the daily run's mail waits must not free what the run uses.
    void Defer(std::function<void()> fn);
    bool InReceive() const { return ReceiveDepth > 0; }

    // The daily timer's tick: at most one run is held back, however many ticks arrive while a
    // receive handler or a modal dialog keeps it waiting.
    void TimerTick(const std::function<void()>& run);
    // The record path, the daily timer and the log as the daily run drives them.
    TDailyRunHooks DailyRunHooks();
    // Set while a daily run runs: a shutdown calls it, so that the station's end does not wait
    // for a mail server.
    std::function<void()> CancelDailyRun;
    void HoldStorage();
    void ResumeStorage();
    // The summaries' totals, added up on a thread of their own; their log lines are passed on
    // by the daily timer's tick.
    void AddUpTotals(TDateTime today);
    void PassTotalsLog();

    // End of capture for good: the port closes first, then the holder is freed, so no
    // character can reach a freed holder. Held back like the others.
    void Shutdown(std::function<void()> then);
    bool ShutDown() const { return Finished; }

    void LogEvent(const std::string& text) { View.LogEvent(text); }

    // The station's state as its status file and its alerts read it.
    const TCaptureCounters& Counters() const { return Counters_; }
    bool PortUp() const { return Port.LinkUp(); }
    std::string PortName() const { return Port.Name(); }
    // Why the database is away (the server's reason), empty while it is there.
    const std::string& DatabaseError() const { return DbError; }
    // The journal cannot take what is received (a full disk): its reason, else empty.
    std::string JournalProblem() const;
    // When capture last started, for a watchdog that has seen no line yet.
    TDateTime CaptureStarted() const { return StartedAt; }
    // Told when the port, the database, the journal or capture itself change state.
    std::function<void()> OnStateChanged;
    // Called every second while capture runs, from the event loop.
    std::function<void()> OnHeartbeat;
    static constexpr int kHeartbeatMs = 1000;

    // The line the log keeper is assembling (independent of the database state).
    const std::string& CurrentLogLine() const { return LogLineText; }

private:
    void DoStartStop(bool stop);
    void RunPending();
    void SchedulePending();
    void Run(const std::function<void()>& fn);
    // Reads what the device still holds, so that a close purges nothing received.
    void FlushPort();
    // Closes the port; the line under way is discarded (and marked unfinished in the journal).
    void ClosePort(const std::string& reason);
    void DiscardLineUnderWay(const std::string& reason);
    // Each received character in order: first the log keeper, then (without a journal) the
    // assembler.
    void ReceiveNow(const std::string& bytes);
    void HandleChar(char c);
    // The log keeper's side of a cut line: the part received is dropped and shown.
    void CutLogLine();
    // Runs fn as a part of the port's delivery: requests that close the port wait for its end.
    void AsReceive(const std::function<void()>& fn);
    void SetTimer(bool on);

    // The database's side (ControllerStore.cpp).
    bool ConnectDatabase(bool atStart);
    void DisconnectDatabase();
    void DatabaseLost(const std::string& error);
    void RetryDatabase();
    void ScheduleDatabaseRetry();
    // Stores the journal's lines after the mark; lines from liveFrom on arrived just now and get
    // a transaction each, the ones before are a backlog stored in batches, one batch per turn
    // of the event loop.
    void StoreJournal(const std::optional<TJournalPos>& liveFrom);
    void ScheduleStoring();
    void PortGone(const std::string& why);
    void SchedulePortRetry();
    void ReopenPort();
    int64_t CountWaiting() const;
    // Says what the journal set right after another program had been at it.
    void ReportRepairs();
    void RefreshStatus();
    void Event(const std::string& utf8);
    void StateChanged();
    void ScheduleHeartbeat();
    void CountStored(const TStoreResult& r);
    void CountReceivedLine();

    TCapturePort& Port;
    TCaptureDatabase& Db;
    TCaptureView& View;
    THolderFactory MakeHolder;
    std::unique_ptr<TRecorder> Recorder_;
    std::string LogLineText;
    int ReceiveDepth = 0;
    int RunDepth = 0;  // held-back requests running now
    bool TickHeld = false;
    bool PendingScheduled = false;
    bool Finished = false;
    bool Capturing_ = false;
    std::deque<std::function<void()>> Pending;
    std::shared_ptr<bool> Alive;

    std::unique_ptr<TJournal> Journal_;
    std::unique_ptr<TTotalsKeeper> Totals_;
    int KeepDays = 400;
    int64_t LastPrune = 0;
    double LastNote = 0;  // Now() of the last note of the mark beside the journal
    // Received bytes the journal could not take yet (a full disk): kept, and written first.
    std::string Unjournaled;
    // Received bytes not yet given to the log keeper, and whether that is going on.
    std::string Unhanded;
    bool Handing = false;
    // Where in Unhanded the connection was cut, for the log keeper to cut its line there.
    std::vector<size_t> CutsAt;
    bool JournalFailing = false;
    std::string VerifyProblem;  // said once until the journal is set right
    TJournalPos KnownMark;      // the database's mark as last seen
    bool TimerOn = false;
    std::string Status;
    bool Available = false;  // connected, and the last store went through
    bool Held = false;       // the daily run uses the database
    bool Storing = false;    // a store is under way further up the stack
    bool StoringPosted = false, RetryPosted = false, PortRetryPosted = false;
    bool WarnedAtLeastOnce = false;
    bool PortLost = false;
    double LastAttempt = 0;  // Now() of the last connect attempt
    int64_t Waiting_ = 0;
    int64_t StoredFromBacklog = 0;
    bool HeldPortWasOpen = false;  // without a journal the daily run closes the port
    TCaptureCounters Counters_;
    std::string DbError;
    TDateTime StartedAt = 0;
    bool HeartbeatPosted = false;
};

class TSmtpClient;
class TOutbox;
// The daily run on the data module's call database, for whatever holder the control has when
// the run starts. Its mails go into queue, for the outbox's sender; without one the run mails
// them itself through smtp and waits for the server.
std::function<void()> DailyRunOf(TCaptureControl& control, TSmtpClient& smtp,
                                 TOutbox* queue = nullptr);
