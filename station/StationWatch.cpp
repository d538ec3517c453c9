#include "station/StationWatch.h"

#include <QCoreApplication>
#include <cstdio>

#include "common/DateTime.h"
#include "notify/DailyRun.h"
#include "platform/CodePage.h"
#include "platform/DiskSpace.h"

using platform::AnsiToUtf8;
using platform::Utf8ToAnsi;

namespace {

constexpr double kSecondsPerDay = 86400;

// What each kind says when its trouble is over.
const char* EndText(TAlertKind kind) {
    switch (kind) {
        case TAlertKind::Silence:
            return "снова есть звонки";
        case TAlertKind::Database:
            return "база снова доступна";
        case TAlertKind::Port:
            return "порт снова открыт";
        case TAlertKind::Journal:
            return "журнал снова пишется, места на диске хватает";
        case TAlertKind::Rejected:
            return "отклонённых строк снова мало";
        case TAlertKind::Outbox:
            return "почта снова отправляется";
    }
    return "";
}

std::string Stamp(TDateTime t) {
    return FormatDateTime("dd.mm.yyyy hh:nn:ss", t);
}

}  // namespace

TStationWatch::TStationWatch(TCaptureControl& control, std::string dir)
    : Control(control),
      Dir(std::move(dir)),
      Outbox_(Dir + "outbox/"),
      Sender_(Outbox_),
      Monitor(std::make_unique<TAlertMonitor>(ReadAlertSettings(Dir + kAlertsIni))) {
    Monitor->OnEvent = [this](const TAlertEvent& e) { Alert(e); };
    Sender_.Server = [this] {
        TMailServer server;
        if (const TRecorder* r = Control.Recorder()) {
            server.Host = r->AddrSMTP;
            server.Port = r->PortSMTP;
            server.Settings = r->Mail;
        }
        server.TimeOutMs = MailTimeOutMs;
        return server;
    };
    Sender_.OnReport = [this](const TOutboxReport& r) { MailReport(r); };
    Control.OnStateChanged = [this] { StateChanged(); };
    Control.OnHeartbeat = [this] { Beat(); };
}

TStationWatch::~TStationWatch() {
    Control.OnStateChanged = nullptr;
    Control.OnHeartbeat = nullptr;
    Sender_.Stop();
}

void TStationWatch::Log(const std::string& ansi) {
    Control.LogEvent(ansi);
    if (AlertsToStderr) {
        std::fprintf(stderr, "%s\n", AnsiToUtf8(EventLine(ansi)).c_str());
        std::fflush(stderr);
    }
}

void TStationWatch::StateChanged() {
    if (Control.Journal()) StationId = Control.Journal()->StationId();
    if (const TRecorder* r = Control.Recorder()) DatabasePath = r->DBPath;
    const bool capturing = Control.Capturing();
    // The settings may have changed while capture was stopped (the dialog is open only then).
    if (capturing && !WasCapturing) {
        Monitor = std::make_unique<TAlertMonitor>(ReadAlertSettings(Dir + kAlertsIni));
        Monitor->OnEvent = [this](const TAlertEvent& e) { Alert(e); };
    }
    WasCapturing = capturing;
    WriteStatus();
}

void TStationWatch::Beat() {
    if (!Control.Capturing()) return;
    Observe();
    Sender_.Tick();
    if ((Now() - LastWrite) * kSecondsPerDay >= kStatusEverySeconds - 0.01) WriteStatus();
}

void TStationWatch::Observe() {
    const TDateTime now = Now();
    const TCaptureCounters& c = Control.Counters();
    Monitor->ObserveSilence(c.LastReceived.value_or(Control.CaptureStarted()), now);

    const bool dbAway = !(Control.Recorder() && Control.Recorder()->DBConnected);
    Monitor->Observe(TAlertKind::Database, dbAway,
                     Utf8ToAnsi("база недоступна (") + Control.DatabaseError() +
                         Utf8ToAnsi("), строк ждут: ") + std::to_string(Control.Waiting()),
                     now);

    Monitor->Observe(TAlertKind::Port, !Control.PortUp(),
                     Utf8ToAnsi("порт ") + Control.PortName() + Utf8ToAnsi(" недоступен"), now);

    std::string journal;
    if (const std::string problem = Control.JournalProblem(); !problem.empty()) {
        journal = Utf8ToAnsi("журнал не пишется: ") + problem;
    } else if (Control.Journal()) {
        const platform::TDiskSpace space = platform::DiskSpaceOf(Control.Journal()->Dir());
        if (space.Known && space.Total > 0 &&
            (space.Free < kMinFreeBytes ||
             static_cast<double>(space.Free) < kMinFreeShare * static_cast<double>(space.Total))) {
            const uint64_t mb = 1024 * 1024;
            journal = Utf8ToAnsi("на диске журнала свободно ") + std::to_string(space.Free / mb) +
                      Utf8ToAnsi(" МБ из ") + std::to_string(space.Total / mb) + " (" +
                      std::to_string(space.Free * 100 / space.Total) + " %)";
        }
    }
    Monitor->Observe(TAlertKind::Journal, !journal.empty(), journal, now);

    const bool today = c.Day == DayNumber(now);
    const int64_t received = today ? c.ReceivedToday : 0;
    const int64_t rejected = today ? c.RejectedToday : 0;
    Monitor->Observe(TAlertKind::Rejected, received >= kRejectedSample && rejected * 10 > received,
                     Utf8ToAnsi("отклонено строк за сегодня: ") + std::to_string(rejected) +
                         Utf8ToAnsi(" из ") + std::to_string(received) +
                         Utf8ToAnsi(": шаблон, похоже, не подходит к станции"),
                     now);

    Monitor->Observe(TAlertKind::Outbox, OutboxStuck,
                     Utf8ToAnsi("письмо не отправлено за сутки: ") + OutboxReason, now);
}

void TStationWatch::Alert(const TAlertEvent& e) {
    const std::string station = StationId.empty() ? std::string() : " " + StationId;
    if (e.Started) {
        Log(Utf8ToAnsi("тревога: ") + e.Text);
        QueueMail(Utf8ToAnsi("Станция") + station + ": " + e.Text,
                  {e.Text, "", Utf8ToAnsi("Началось: ") + Stamp(e.Since),
                   Utf8ToAnsi("Каталог станции: ") + Dir});
    } else {
        const std::string ended = Utf8ToAnsi(EndText(e.Kind));
        Log(Utf8ToAnsi("тревога снята: ") + ended + " (" + e.Text + ")");
        QueueMail(Utf8ToAnsi("Станция") + station + ": " + ended,
                  {ended, "", Utf8ToAnsi("Было: ") + e.Text,
                   Utf8ToAnsi("С ") + Stamp(e.Since) + Utf8ToAnsi(" по ") + Stamp(e.At),
                   Utf8ToAnsi("Каталог станции: ") + Dir});
    }
    WriteStatus();
}

void TStationWatch::QueueMail(const std::string& subject, const std::vector<std::string>& body) {
    const TRecorder* r = Control.Recorder();
    if (!r) return;
    const std::string to =
        Monitor->Settings().Address.empty() ? r->MsgAddress : Monitor->Settings().Address;
    if (to.empty()) return;
    try {
        Outbox_.Queue(ComposeStationMail(Composer, r->FromSMTP, subject, to, body), Now(), {});
    } catch (const std::exception& e) {
        Log(Utf8ToAnsi("Письмо для ") + to +
            Utf8ToAnsi(" не отправлено: не сохранено в outbox/: ") + e.what());
    }
}

void TStationWatch::MailReport(const TOutboxReport& r) {
    switch (r.Event) {
        case TOutboxEvent::Delivered:
            ++MailsSent;
            OutboxStuck = false;
            break;
        case TOutboxEvent::Failed:
            ++MailsFailed;
            break;
        case TOutboxEvent::Dropped:
            OutboxStuck = true;
            OutboxReason = r.Reason;
            break;
        case TOutboxEvent::Unreadable:
            break;
    }
    if (const std::string text = OutboxReportText(r); !text.empty()) Log(text);
}

TStationStatus TStationWatch::Status() const {
    TStationStatus s;
    const TCaptureCounters& c = Control.Counters();
    s.Station = StationId;
    s.Pid = static_cast<long>(QCoreApplication::applicationPid());
    s.Updated = Now();
    s.Capturing = Control.Capturing();
    s.Port = Control.PortName();
    s.PortUp = Control.PortUp();
    s.Database = DatabasePath;
    s.DatabaseUp = Control.Recorder() && Control.Recorder()->DBConnected;
    s.DatabaseError = Control.DatabaseError();
    s.Backlog = Control.Waiting();
    s.LastReceived = c.LastReceived;
    s.LastStored = c.LastStored;
    s.Outbox = static_cast<int64_t>(Outbox_.Waiting());
    s.RejectedToday = c.Day == DayNumber(s.Updated) ? c.RejectedToday : 0;
    s.Counters.Received = c.Received;
    s.Counters.Stored = c.Stored;
    s.Counters.Rejected = c.Rejected;
    s.Counters.Dropped = c.Dropped;
    s.Counters.MailsSent = MailsSent;
    s.Counters.MailsFailed = MailsFailed;
    s.Alerts = Monitor->Active();
    return s;
}

void TStationWatch::WriteStatus() {
    LastWrite = Now();
    std::string error;
    const bool ok = WriteStatusFile(Dir, Status(), error);
    if (!ok && !StatusFailing) Log(Utf8ToAnsi("status.json не пишется: ") + error);
    StatusFailing = !ok;
}
