#include "capture/Controller.h"

#include <exception>

#include "common/DateTime.h"
#include "db/CallDatabase.h"
#include "mail/Outbox.h"

namespace {
const char kDbFailed[] =
    "\xcd\xe5\xe2\xee\xe7\xec\xee\xe6\xed\xee \xee\xf2\xea\xf0\xfb\xf2\xfc \xe1\xe0\xe7\xf3 "
    "\xe4\xe0\xed\xed\xfb\xf5 !";  // "Невозможно открыть базу данных !"
const char kLineCut[] =
    "\xf1\xf2\xf0\xee\xea\xe0 \xee\xe1\xee\xf0\xe2\xe0\xed\xe0: ";  // "строка оборвана: "
}  // namespace

std::string EventLine(const std::string& text) {
    return "*** " + FormatDateTime("dd.mm.yyyy hh:nn:ss", Now()) + " " + text;
}

TCaptureControl::TCaptureControl(TCapturePort& port, TCaptureDatabase& db, TCaptureView& view,
                                 THolderFactory makeHolder)
    : Port(port),
      Db(db),
      View(view),
      MakeHolder(std::move(makeHolder)),
      Alive(std::make_shared<bool>(true)) {}

TCaptureControl::~TCaptureControl() {
    *Alive = false;
}

bool TCaptureControl::CreateHolder() {
    Recorder_ = MakeHolder();
    // The message of a failed start says only that; which file and why goes to the log.
    if (!Recorder_->ConfigLoaded && !Recorder_->LoadProblem.empty())
        View.LogEvent(Recorder_->LoadProblem);
    return Recorder_->ConfigLoaded;
}

void TCaptureControl::StartStop(bool stop) {
    Defer([this, stop] { DoStartStop(stop); });
}

void TCaptureControl::DoStartStop(bool stop) {
    if (Finished || !Recorder_) return;
    if (stop) {
        try {
            Db.Disconnect();
        } catch (const std::exception&) {
            // A failed detach leaves nothing to keep: the connection is gone either way.
        }
        Recorder_->DBConnected = false;
    } else if (!Recorder_->DBConnected) {
        try {
            Db.Connect(Recorder_->DBPath);
        } catch (const std::exception&) {
            View.ShowMessage(kDbFailed);
        }
        Recorder_->DBConnected = Db.Connected();
    }
    if (Recorder_->DBConnected) {
        Recorder_->LastRunDate = Date();
        View.SetTimerEnabled(Recorder_->NeedTimer());
    } else {
        View.SetTimerEnabled(false);
    }
    // The state is refreshed also when opening fails: the error then reaches the caller's report.
    struct Refresh {
        TCaptureView& v;
        ~Refresh() { v.CaptureStateChanged(); }
    } refresh{View};
    if (stop)
        Port.Close();
    else
        Port.Open();
}

void TCaptureControl::AsReceive(const std::function<void()>& fn) {
    if (Finished) return;
    ++ReceiveDepth;
    struct Leave {
        TCaptureControl& c;
        ~Leave() {
            if (--c.ReceiveDepth == 0 && c.RunDepth == 0) c.SchedulePending();
        }
    } leave{*this};
    fn();
}

void TCaptureControl::RxChar(int count) {
    AsReceive([this, count] {
        const std::string text = Port.ReadText(count);
        for (char c : text) {
            HandleChar(c);
            if (Finished) break;
        }
    });
}

void TCaptureControl::PortNotice(const std::string& text) {
    AsReceive([this, &text] { View.LogEvent(text); });
}

void TCaptureControl::LineCut() {
    AsReceive([this] {
        const std::string partial = std::move(LogLineText);
        LogLineText.clear();
        if (Recorder_) Recorder_->ClearRecord();
        if (!partial.empty()) View.LogEvent(kLineCut + partial);
    });
}

void TCaptureControl::HandleChar(char c) {
    if (c == '\r') {
        const std::string line = std::move(LogLineText);
        LogLineText.clear();
        View.LogLine(line);
    } else if (c != '\n' && LogLineText.size() < TRecorder::kMaxLine) {
        LogLineText += c;
    }
    if (Recorder_ && Recorder_->DBConnected) Recorder_->PutChar(c);
}

void TCaptureControl::Defer(std::function<void()> fn) {
    if (ReceiveDepth == 0 && RunDepth == 0 && Pending.empty()) {
        Run(fn);
        return;
    }
    Pending.push_back(std::move(fn));
    if (ReceiveDepth == 0 && RunDepth == 0) SchedulePending();
}

void TCaptureControl::TimerTick(const std::function<void()>& run) {
    if (!run || TickHeld || Finished) return;
    TickHeld = true;
    Defer([this, run] {
        TickHeld = false;
        if (!Finished) run();
    });
}

TDailyRunHooks TCaptureControl::DailyRunHooks() {
    return TDailyRunHooks{[this] { return Port.Connected(); }, [this] { Port.Close(); },
                          [this] { Port.Open(); }, [this](bool on) { View.SetTimerEnabled(on); },
                          [this](const std::string& text) { View.LogEvent(text); }};
}

void TCaptureControl::Run(const std::function<void()>& fn) {
    ++RunDepth;
    struct Leave {
        TCaptureControl& c;
        ~Leave() {
            if (--c.RunDepth == 0 && c.ReceiveDepth == 0) c.SchedulePending();
        }
    } leave{*this};
    fn();
}

// The receive handler is itself a call from the port's worker, which waits for it: a close
// run at its very end would wait for that worker in turn. So the held-back requests run from
// the event loop, after the delivery has returned.
void TCaptureControl::SchedulePending() {
    if (Pending.empty() || PendingScheduled) return;
    PendingScheduled = true;
    std::weak_ptr<bool> alive = Alive;
    View.Post([this, alive] {
        if (alive.expired()) return;
        PendingScheduled = false;
        RunPending();
    });
}

void TCaptureControl::RunPending() {
    while (!Pending.empty()) {
        // A receive handler or a request is running further up; it reschedules when it returns.
        if (ReceiveDepth > 0 || RunDepth > 0) return;
        auto fn = std::move(Pending.front());
        Pending.pop_front();
        Run(fn);
    }
}

void TCaptureControl::Shutdown(std::function<void()> then) {
    Defer([this, then = std::move(then)] {
        if (!Finished) {
            Finished = true;
            struct Free {
                TCaptureControl& c;
                ~Free() {
                    try {
                        c.Db.Disconnect();
                    } catch (const std::exception&) {
                        // Nothing left to tell at exit.
                    }
                    c.Recorder_.reset();
                }
            } free{*this};
            Port.Close();
        }
        if (then) then();
    });
}

std::function<void()> DailyRunOf(TCaptureControl& control, TSmtpClient& smtp) {
    // The outbox's retry schedule lives as long as the station's timer handler.
    auto outbox = std::make_shared<std::unique_ptr<TOutbox>>();
    return [&control, &smtp, outbox] {
        if (!control.Recorder() || !CallDatabase) return;
        TRecorder& recorder = *control.Recorder();
        if (!*outbox) *outbox = std::make_unique<TOutbox>(recorder.ProgramDir + "outbox/");
        TDailyRun dailyRun(recorder, *CallDatabase, smtp, control.DailyRunHooks());
        dailyRun.Outbox = outbox->get();
        dailyRun.TimerTimer();
    };
}
