#include "station/Controller.h"

#include <algorithm>
#include <exception>

#include "common/DateTime.h"
#include "db/CallDatabase.h"
#include "mail/Outbox.h"
#include "platform/CodePage.h"

namespace {
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
      Alive(std::make_shared<bool>(true)) {
    Port.OnLost = [this](const std::string& why) { PortGone(why); };
}

TCaptureControl::~TCaptureControl() {
    *Alive = false;
    Port.OnLost = nullptr;
}

bool TCaptureControl::CreateHolder() {
    Recorder_ = MakeHolder();
    // The message of a failed start says only that; which file and why goes to the log.
    if (!Recorder_->ConfigLoaded && !Recorder_->LoadProblem.empty())
        View.LogEvent(Recorder_->LoadProblem);
    if (Recorder_->ConfigLoaded) {
        for (const std::string& note : Recorder_->TemplateNotes) View.LogEvent(note);
        RefreshStatus();
    }
    return Recorder_->ConfigLoaded;
}

void TCaptureControl::StartStop(bool stop) {
    Defer([this, stop] { DoStartStop(stop); });
}

void TCaptureControl::SetTimer(bool on) {
    TimerOn = on;
    View.SetTimerEnabled(on);
}

void TCaptureControl::DoStartStop(bool stop) {
    if (Finished || !Recorder_) return;
    // The state is refreshed also when opening fails: the error then reaches the caller's report.
    struct Refresh {
        TCaptureView& v;
        ~Refresh() { v.CaptureStateChanged(); }
    } refresh{View};
    if (stop) {
        // What the exchange sent before the stop is read and stored, not purged by the close.
        FlushPort();
        Capturing_ = false;
        PortLost = false;
        if (Journal_ && Available) Journal_->SaveLocalMark(KnownMark);
        DisconnectDatabase();
        SetTimer(false);
        RefreshStatus();
        ClosePort("port closed");
        StateChanged();
        return;
    }
    if (!Recorder_->DBConnected) ConnectDatabase(true);
    if (Recorder_->DBConnected) {
        Recorder_->LastRunDate = Date();
        SetTimer(Recorder_->NeedTimer());
    } else {
        SetTimer(false);
    }
    Port.Open();
    Capturing_ = true;
    PortLost = false;
    StartedAt = Now();
    // What a previous run journaled and did not store goes first.
    if (Journal_) ScheduleStoring();
    StateChanged();
    if (OnHeartbeat) ScheduleHeartbeat();
}

void TCaptureControl::StateChanged() {
    if (OnStateChanged) OnStateChanged();
}

void TCaptureControl::ScheduleHeartbeat() {
    if (HeartbeatPosted) return;
    HeartbeatPosted = true;
    std::weak_ptr<bool> alive = Alive;
    View.PostDelayed(kHeartbeatMs, [this, alive] {
        if (alive.expired()) return;
        HeartbeatPosted = false;
        if (!Capturing_ || Finished) return;
        ScheduleHeartbeat();
        if (OnHeartbeat)
            Defer([this] {
                if (OnHeartbeat && !Finished) OnHeartbeat();
            });
    });
}

std::string TCaptureControl::JournalProblem() const {
    return Journal_ && JournalFailing ? Journal_->Error() : std::string();
}

void TCaptureControl::CountReceivedLine() {
    const TDateTime now = Now();
    const int64_t day = DayNumber(now);
    if (day != Counters_.Day) {
        Counters_.Day = day;
        Counters_.ReceivedToday = Counters_.RejectedToday = 0;
    }
    ++Counters_.Received;
    ++Counters_.ReceivedToday;
    Counters_.LastReceived = now;
}

void TCaptureControl::CountStored(const TStoreResult& r) {
    const int64_t rejected = static_cast<int64_t>(r.Rejected.size());
    Counters_.Stored += r.Stored;
    Counters_.Rejected += rejected;
    Counters_.RejectedToday += rejected;
    Counters_.Dropped += std::max<int64_t>(0, r.Skipped - rejected);
    if (r.Stored > 0) Counters_.LastStored = Now();
}

void TCaptureControl::RxChar(int count) {
    if (Finished) return;
    Receive(Port.ReadText(count));
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

void TCaptureControl::Receive(const std::string& bytes) {
    if (bytes.empty()) return;
    AsReceive([this, &bytes] { ReceiveNow(bytes); });
}

void TCaptureControl::ReceiveNow(const std::string& bytes) {
    std::optional<TJournalPos> liveFrom;
    if (Journal_) {
        // The journal first: from here on nothing received can be lost.
        liveFrom = Journal_->LineEnd();
        Unjournaled += bytes;
        const size_t written = Journal_->Append(Unjournaled);
        ReportRepairs();
        Waiting_ += std::count(Unjournaled.begin(), Unjournaled.begin() + written, '\r');
        if (Unjournaled.find('\r', 0) < written) Journal_->StartSync();
        Unjournaled.erase(0, written);
        if (!Unjournaled.empty() && !JournalFailing) {
            JournalFailing = true;
            Event("журнал не пишется (" + platform::AnsiToUtf8(Journal_->Error()) +
                  "): принятое ждёт в памяти");
            StateChanged();
        } else if (Unjournaled.empty() && JournalFailing) {
            JournalFailing = false;
            Event("журнал снова пишется");
            StateChanged();
        }
        if (Unjournaled.size() > kUnjournaledLimit) {
            Event("журнал не пишется: потеряно байт " + std::to_string(Unjournaled.size()));
            Unjournaled.clear();
        }
    }
    // The log keeper serves pending events, among them a further delivery of the port (or one
    // read by a flush before a close): its bytes wait here for those already under way.
    Unhanded += bytes;
    if (Handing) return;
    Handing = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{Handing};
    size_t cut = 0;
    for (size_t i = 0; i <= Unhanded.size(); ++i) {
        for (; cut < CutsAt.size() && CutsAt[cut] <= i; ++cut) CutLogLine();
        if (i == Unhanded.size()) break;
        HandleChar(Unhanded[i]);
        if (Finished) break;
    }
    Unhanded.clear();
    CutsAt.clear();
    if (Finished) return;
    if (liveFrom) StoreJournal(liveFrom);
}

void TCaptureControl::PortNotice(const std::string& text) {
    AsReceive([this, &text] { View.LogEvent(text); });
}

void TCaptureControl::LineCut() {
    AsReceive([this] {
        // The journal holds every byte before the cut already; the log keeper may still be
        // handing some of them, so its cut waits for its place among them.
        if (Journal_ && !Journal_->EndUnfinished("connection dropped"))
            Event("журнал: " + platform::AnsiToUtf8(Journal_->Error()));
        if (Handing)
            CutsAt.push_back(Unhanded.size());
        else
            CutLogLine();
    });
}

void TCaptureControl::CutLogLine() {
    const std::string partial = std::move(LogLineText);
    LogLineText.clear();
    if (Recorder_) Recorder_->ClearRecord();
    if (!partial.empty()) View.LogEvent(kLineCut + partial);
}

void TCaptureControl::HandleChar(char c) {
    if (c == '\r') {
        CountReceivedLine();
        const std::string line = std::move(LogLineText);
        LogLineText.clear();
        View.LogLine(line);
    } else if (c != '\n' && LogLineText.size() < TRecorder::kMaxLine) {
        LogLineText += c;
    }
    if (!Journal_ && Recorder_ && Recorder_->DBConnected) Recorder_->PutChar(c);
}

void TCaptureControl::FlushPort() {
    if (!Port.Connected() || !Recorder_) return;
    constexpr int kChunk = 65536, kReads = 16;
    for (int i = 0; i < kReads && !Finished; ++i) {
        std::string text;
        try {
            text = Port.ReadText(kChunk);
        } catch (const std::exception&) {
            return;  // the device is gone with whatever it held
        }
        Receive(text);
        if (text.size() < static_cast<size_t>(kChunk)) return;
    }
}

void TCaptureControl::DiscardLineUnderWay(const std::string& reason) {
    LogLineText.clear();
    if (Recorder_) Recorder_->ClearRecord();
    if (Journal_ && !Journal_->EndUnfinished(reason))
        Event("журнал: " + platform::AnsiToUtf8(Journal_->Error()));
}

void TCaptureControl::ClosePort(const std::string& reason) {
    // A line cut off here is not joined to the first line after the next open.
    DiscardLineUnderWay(reason);
    Port.Close();
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
    return TDailyRunHooks{[this] { HoldStorage(); }, [this] { ResumeStorage(); },
                          [this](bool on) { SetTimer(on); },
                          [this](const std::string& text) { View.LogEvent(text); },
                          [this](TDateTime today) { AddUpTotals(today); }};
}

void TCaptureControl::AddUpTotals(TDateTime today) {
    if (!Recorder_ || Recorder_->DBPath.empty()) return;
    // Settings changed since: the next run goes to the database they name.
    if (Totals_ &&
        (Totals_->DbPath() != Recorder_->DBPath || !(Totals_->Login() == Recorder_->Login)))
        Totals_.reset();
    if (!Totals_) Totals_ = std::make_unique<TTotalsKeeper>(Recorder_->DBPath, Recorder_->Login);
    Totals_->Request(today);
}

void TCaptureControl::PassTotalsLog() {
    if (!Totals_) return;
    for (const std::string& line : Totals_->TakeLog()) View.LogEvent(line);
}

void TCaptureControl::HoldStorage() {
    if (Journal_) {
        Held = true;
        return;
    }
    // Without a journal a line arriving now would be stored in the run's transaction.
    HeldPortWasOpen = Port.Connected();
    if (HeldPortWasOpen) {
        FlushPort();
        ClosePort("daily run");
    }
}

void TCaptureControl::ResumeStorage() {
    if (Journal_) {
        Held = false;
        if (Available)
            ScheduleStoring();
        else
            ScheduleDatabaseRetry();
        return;
    }
    // Someone may have started capture meanwhile.
    if (HeldPortWasOpen && !Port.Connected()) Port.Open();
    HeldPortWasOpen = false;
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
    if (CancelDailyRun) CancelDailyRun();
    Defer([this, then = std::move(then)] {
        if (!Finished) {
            FlushPort();
            Finished = true;
            Capturing_ = false;
            struct Free {
                TCaptureControl& c;
                ~Free() {
                    if (c.Journal_ && c.Db.ExactlyOnce()) c.Journal_->SaveLocalMark(c.KnownMark);
                    c.DisconnectDatabase();
                    c.Recorder_.reset();
                    c.Journal_.reset();
                }
            } free{*this};
            ClosePort("station stopped");
        }
        StateChanged();
        if (then) then();
    });
}

std::function<void()> DailyRunOf(TCaptureControl& control, TSmtpClient& smtp, TOutbox* queue) {
    return [&control, &smtp, queue] {
        if (!control.Recorder() || !CallDatabase) return;
        TRecorder& recorder = *control.Recorder();
        TDailyRun dailyRun(recorder, *CallDatabase, smtp, control.DailyRunHooks());
        dailyRun.Outbox = queue;
        control.CancelDailyRun = [&dailyRun] { dailyRun.Cancel(); };
        struct Done {
            TCaptureControl& c;
            ~Done() { c.CancelDailyRun = nullptr; }
        } done{control};
        dailyRun.TimerTimer();
        control.PassTotalsLog();
    };
}
