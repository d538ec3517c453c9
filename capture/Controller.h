#pragma once
// Capture control shared by the windowed and the headless station: starting and stopping
// capture, the receive handler, and holding back every request that would close the port or
// free the holder while a receive handler is still running.
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "capture/DailyRun.h"
#include "capture/Recorder.h"

// The capture line as the controller sees it.
class TCapturePort {
public:
    virtual ~TCapturePort() = default;
    virtual bool Connected() const = 0;
    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual std::string ReadText(int count) = 0;
};

// The call database connection as the controller sees it.
class TCaptureDatabase {
public:
    virtual ~TCaptureDatabase() = default;
    // Throws on failure; success is read back from Connected().
    virtual void Connect(const std::string& path) = 0;
    virtual void Disconnect() = 0;
    virtual bool Connected() const = 0;
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
    // The port opened or closed, or capture stopped or started: refresh captions and commands.
    virtual void CaptureStateChanged() = 0;
    // Runs fn from the event loop as soon as possible, outside the current call stack.
    virtual void Post(std::function<void()> fn) = 0;
};

// An event as the log shows it: "*** dd.mm.yyyy hh:nn:ss " and the text, so it stands out
// among the exchange's lines and a saved log can be searched for it.
std::string EventLine(const std::string& text);

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

    // Stop when true, start when false. Held back while a receive handler runs.
    void StartStop(bool stop);
    void Toggle() { StartStop(Port.Connected()); }

    // The port's received-bytes event.
    void RxChar(int count);
    // The port's notice for the log (a network source connected, dropped, refused someone).
    void PortNotice(const std::string& text);
    // The line the exchange was sending was cut off (its connection dropped): what came of it
    // is neither stored nor joined to the next line, and the log shows it.
    void LineCut();
    // Each received character in order: first the log keeper, then the assembler.
    void HandleChar(char c);

    // Runs fn now, or when the receive handler or the held-back request that is running has
    // returned: a stop chosen during the daily run's mail waits must not free what the run uses.
    void Defer(std::function<void()> fn);
    bool InReceive() const { return ReceiveDepth > 0; }

    // The daily timer's tick: at most one run is held back, however many ticks arrive while a
    // receive handler or a modal dialog keeps it waiting.
    void TimerTick(const std::function<void()>& run);
    // The capture line, the daily timer and the log as the daily run drives them.
    TDailyRunHooks DailyRunHooks();

    // End of capture for good: the port closes first, then the holder is freed, so no
    // character can reach a freed holder. Held back like the others.
    void Shutdown(std::function<void()> then);
    bool ShutDown() const { return Finished; }

    void LogEvent(const std::string& text) { View.LogEvent(text); }

    // The line the log keeper is assembling (independent of the database state).
    const std::string& CurrentLogLine() const { return LogLineText; }

private:
    void DoStartStop(bool stop);
    // Runs fn as a part of the port's delivery: requests that close the port wait for its end.
    void AsReceive(const std::function<void()>& fn);
    void RunPending();
    void SchedulePending();
    void Run(const std::function<void()>& fn);

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
    std::deque<std::function<void()>> Pending;
    std::shared_ptr<bool> Alive;
};

class TSmtpClient;
// The daily run on the data module's call database, mailing through smtp, for whatever holder
// the control has when the run starts.
std::function<void()> DailyRunOf(TCaptureControl& control, TSmtpClient& smtp);
