// The capture control's database side: connecting, storing the journal's lines with the
// station's mark, coming back after the database or the port went away.
#include <algorithm>
#include <exception>

#include "common/DateTime.h"
#include "platform/CodePage.h"
#include "station/Controller.h"

using platform::AnsiToUtf8;

namespace {
const char kDbFailed[] =
    "\xcd\xe5\xe2\xee\xe7\xec\xee\xe6\xed\xee \xee\xf2\xea\xf0\xfb\xf2\xfc \xe1\xe0\xe7\xf3 "
    "\xe4\xe0\xed\xed\xfb\xf5 !";  // "Невозможно открыть базу данных !"

constexpr double kMsPerDay = 86400000.0;
constexpr double kNoteEveryMs = 10000;

std::string Count(int64_t n) {
    return std::to_string(n);
}
}  // namespace

void TCaptureControl::Event(const std::string& utf8) {
    View.LogEvent(platform::Utf8ToAnsi(utf8));
}

bool TCaptureControl::UseJournal(const std::string& dir, int keepDays) {
    auto journal = std::make_unique<TJournal>();
    std::string error;
    if (!journal->Open(dir, error)) {
        Event("журнал недоступен (" + AnsiToUtf8(error) + "): строки сохраняются без него");
        return false;
    }
    Journal_ = std::move(journal);
    KeepDays = keepDays;
    KnownMark = ReadLocalMark(Journal_->Dir());
    Waiting_ = CountWaiting();
    return true;
}

int64_t TCaptureControl::CountWaiting() const {
    if (!Journal_) return 0;
    TJournalReader reader(Journal_->Dir(), KnownMark, Journal_->LineEnd());
    TJournalLine line;
    int64_t n = 0;
    while (reader.Next(line)) ++n;
    return n;
}

void TCaptureControl::ReportRepairs() {
    for (const TJournalRepair& r : Journal_->TakeRepairs()) {
        const std::string file = AnsiToUtf8(r.File);
        switch (r.Kind) {
            case TJournalRepair::Deleted:
                Event("журнал удалён другой программой (" + file +
                      "): сделан заново из открытого файла, строки сохраняются дальше");
                // The directory may have gone with it, and the note of the mark with it.
                if (Available) Journal_->SaveLocalMark(KnownMark);
                break;
            case TJournalRepair::Replaced:
                Event("журнал подменён другой программой (" + file + "): чужой файл отложен как " +
                      AnsiToUtf8(r.Aside) + ", журнал сделан заново из открытого файла");
                break;
            case TJournalRepair::Truncated:
                Event("журнал укорочен другой программой (" + file +
                      "), потеряно байт: " + Count(static_cast<int64_t>(r.Bytes)) +
                      "; места строк сохранены, запись идёт дальше");
                break;
            case TJournalRepair::Foreign:
                Event("в журнал записаны чужие байты (" + file +
                      ", байт: " + Count(static_cast<int64_t>(r.Bytes)) +
                      "): они отмечены как оборванная строка и не сохраняются");
                break;
        }
    }
}

void TCaptureControl::RefreshStatus() {
    std::string text;
    if (Journal_ && Capturing_ && !Available)
        text = "база недоступна, строк ждут: " + Count(Waiting_);
    else if (Journal_ && Capturing_ && Waiting_ > static_cast<int64_t>(kBacklogBatch))
        text = "сохраняется журнал, строк ждут: " + Count(Waiting_);
    else if (Recorder_ && Recorder_->ConfigLoaded && !Recorder_->ReadsDate())
        text = "шаблон не читает дату: звонки сохраняются без даты";
    if (text == Status) return;
    Status = text;
    View.ShowStatus(platform::Utf8ToAnsi(text));
}

bool TCaptureControl::ConnectDatabase(bool atStart) {
    LastAttempt = Now();
    std::string error;
    try {
        Db.Connect(Recorder_->DBPath, Recorder_->Login);
        if (Db.Connected() && Journal_)
            Db.OpenStore(Journal_->StationId(), ReadLocalMark(Journal_->Dir()));
    } catch (const std::exception& e) {
        error = e.what();
    }
    const bool connected = Db.Connected() && error.empty();
    DbError = connected ? std::string() : (error.empty() ? "not connected" : error);
    if (!connected && Db.Connected()) DisconnectDatabase();
    Recorder_->DBConnected = connected;
    if (!Journal_) {
        if (!connected && atStart) View.ShowMessage(kDbFailed);
        return connected;
    }
    Available = connected;
    if (connected) {
        KnownMark = Db.Mark();
        // A mark past the journal's end means the journal lost its last bytes (a power cut
        // before they reached the disk, the database's commit having gone first); whatever
        // the journal holds now from there on is new.
        if (KnownMark > Journal_->LineEnd()) KnownMark = Journal_->OpenedEnd();
        if (!Db.ExactlyOnce() && !WarnedAtLeastOnce) {
            WarnedAtLeastOnce = true;
            Event(
                "в базе нет таблицы JournalMarks: после сбоя строка может сохраниться дважды "
                "(scripts/create-db.sh создаёт её)");
        }
        Waiting_ = CountWaiting();
    } else {
        Waiting_ = CountWaiting();
        Event("база недоступна (" + AnsiToUtf8(error.empty() ? "not connected" : error) +
              "), строк ждут: " + Count(Waiting_));
        if (atStart) {
            // Shown once the start has returned: an unattended station whose database server
            // comes up later must go on storing without anyone closing the message.
            std::weak_ptr<bool> alive = Alive;
            View.Post([this, alive] {
                if (!alive.expired()) View.ShowMessage(kDbFailed);
            });
        }
        ScheduleDatabaseRetry();
    }
    RefreshStatus();
    StateChanged();
    return connected;
}

void TCaptureControl::DisconnectDatabase() {
    try {
        Db.Disconnect();
    } catch (const std::exception&) {
        // A failed detach leaves nothing to keep: the connection is gone either way.
    }
    Available = false;
    DbError.clear();
    if (Recorder_) Recorder_->DBConnected = false;
}

void TCaptureControl::DatabaseLost(const std::string& error) {
    DisconnectDatabase();
    DbError = error;
    LastAttempt = Now();
    Waiting_ = CountWaiting();
    Event("база недоступна (" + AnsiToUtf8(error) + "), строк ждут: " + Count(Waiting_));
    RefreshStatus();
    StateChanged();
    ScheduleDatabaseRetry();
}

void TCaptureControl::ScheduleDatabaseRetry() {
    if (RetryPosted) return;
    RetryPosted = true;
    std::weak_ptr<bool> alive = Alive;
    View.PostDelayed(kDatabaseRetryMs, [this, alive] {
        if (alive.expired()) return;
        RetryPosted = false;
        Defer([this] { RetryDatabase(); });
    });
}

void TCaptureControl::RetryDatabase() {
    if (!Journal_ || !Recorder_ || !Capturing_ || Available || Held || Finished) return;
    if (!ConnectDatabase(false)) return;
    Event("база снова доступна, строк ждут: " + Count(Waiting_));
    // A capture started without its database arms the daily timer now.
    if (!TimerOn && Recorder_->NeedTimer()) {
        Recorder_->LastRunDate = Date();
        SetTimer(true);
    }
    StoreJournal(std::nullopt);
}

void TCaptureControl::ScheduleStoring() {
    if (StoringPosted) return;
    StoringPosted = true;
    std::weak_ptr<bool> alive = Alive;
    View.Post([this, alive] {
        if (alive.expired()) return;
        StoringPosted = false;
        Defer([this] { StoreJournal(std::nullopt); });
    });
}

void TCaptureControl::StoreJournal(const std::optional<TJournalPos>& liveFrom) {
    if (!Journal_ || !Recorder_ || Finished || Held || Storing) return;
    // Lines are read back from the file by its name: another program's doings are set right
    // first.
    if (Journal_->Verify()) {
        VerifyProblem.clear();
    } else if (Journal_->Error() != VerifyProblem) {
        VerifyProblem = Journal_->Error();
        Event("журнал: " + AnsiToUtf8(VerifyProblem));
    }
    ReportRepairs();
    if (!Available) {
        // A line arriving once the retry is due tries the database at once.
        if (liveFrom && Capturing_ && (Now() - LastAttempt) * kMsPerDay >= kDatabaseRetryMs)
            RetryDatabase();
        else
            RefreshStatus();
        return;
    }
    std::vector<std::string> events;
    std::string lost;
    bool later = false;
    const TJournalPos markBefore = KnownMark;
    {
        Storing = true;
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{Storing};
        // A line is acted on only once it is on the disk: the journal's sync runs on its own
        // thread from the moment the bytes were written and is joined just before a commit, so
        // that it overlaps the statements instead of preceding them.
        bool synced = false;
        auto durable = [&] {
            if (synced) return;
            synced = true;
            if (!Journal_->FinishSync())
                events.push_back("журнал: " + AnsiToUtf8(Journal_->Error()));
        };
        auto isLive = [&](const TJournalLine& l) { return liveFrom && l.Start >= *liveFrom; };
        auto isCall = [&](const TJournalLine& l) {
            if (l.Unfinished) return false;
            Recorder_->RingText = l.Text;
            TRingRow row;
            const bool call = Recorder_->JudgeLine(row) == TLineVerdict::Store;
            Recorder_->ClearRecord();
            return call;
        };
        TJournalReader reader(Journal_->Dir(), KnownMark, Journal_->LineEnd());
        TJournalLine next;
        bool have = reader.Next(next);
        while (have) {
            // A line that arrived just now gets a transaction of its own (the lines before it
            // that the rules drop go with it); a backlog is stored many lines at a time.
            std::vector<TJournalLine> batch;
            const bool live = isLive(next);
            bool call = false;
            while (have && batch.size() < kBacklogBatch) {
                if (!live && isLive(next)) break;
                if (live) {
                    const bool thisCall = isCall(next);
                    if (thisCall && call) break;
                    call = call || thisCall;
                }
                batch.push_back(std::move(next));
                have = reader.Next(next);
            }
            const TJournalPos to = batch.back().End;
            const TStoreResult r = Db.Store(*Recorder_, batch, to, durable);
            if (r.Status == TStoreResult::Failed) {
                lost = r.Error;
                break;
            }
            if (r.Status == TStoreResult::MarkMoved) {
                // Another program (tarvick-tool replay) stored for this station meanwhile.
                KnownMark = Db.Mark();
                reader = TJournalReader(Journal_->Dir(), KnownMark, Journal_->LineEnd());
                have = reader.Next(next);
                Waiting_ = CountWaiting();
                continue;
            }
            KnownMark = to;
            CountStored(r);
            Waiting_ = std::max<int64_t>(0, Waiting_ - static_cast<int64_t>(batch.size()));
            if (r.Stored > 0) Recorder_->LastRingDate = Date();
            for (const TRejectedLine& rejected : r.Rejected)
                events.push_back("строка отклонена (" + AnsiToUtf8(rejected.Reason) +
                                 "): " + AnsiToUtf8(rejected.Text));
            if (!live) {
                StoredFromBacklog += r.Stored;
                // One batch per turn of the event loop: the window, the port and a stop request
                // are served while a long backlog is stored.
                if (have && !isLive(next)) {
                    later = true;
                    break;
                }
            }
        }
        if (!reader.Error().empty()) events.push_back("журнал: " + AnsiToUtf8(reader.Error()));
    }
    const bool backlogDone = !later && lost.empty() && StoredFromBacklog > 0;
    if (KnownMark != markBefore) {
        // The note beside the journal is the mark itself only for a database without
        // JournalMarks; otherwise it serves a database that has no row for this station yet,
        // and need not be written with every line, only when a backlog is through.
        const double now = Now();
        if (!Db.ExactlyOnce() || backlogDone || (now - LastNote) * kMsPerDay >= kNoteEveryMs) {
            LastNote = now;
            Journal_->SaveLocalMark(KnownMark);
        }
        const int64_t today = DayNumber(Date());
        if (today != LastPrune) {
            LastPrune = today;
            Journal_->Prune(KnownMark, KeepDays);
        }
    }
    if (backlogDone) {
        events.push_back("из журнала сохранено строк: " + Count(StoredFromBacklog));
        StoredFromBacklog = 0;
    }
    for (const std::string& e : events) Event(e);
    if (!lost.empty()) {
        DatabaseLost(lost);
        return;
    }
    // Lines that arrived while the events above were logged, or the backlog's next batch.
    if (later || (KnownMark != markBefore && Journal_ && Journal_->LineEnd() > KnownMark))
        ScheduleStoring();
    RefreshStatus();
}

void TCaptureControl::PortGone(const std::string& why) {
    // Reported inside the port's event delivery: the close waits until that has returned and
    // the bytes delivered with the same batch have been read.
    std::weak_ptr<bool> alive = Alive;
    View.Post([this, alive, why] {
        if (alive.expired()) return;
        Defer([this, why] {
            if (!Capturing_ || Finished || !Port.Connected()) return;
            FlushPort();
            Event("порт " + AnsiToUtf8(Port.Name()) + " пропал (" + AnsiToUtf8(why) +
                  "), попытка открыть его каждые " + Count(kPortRetryMs / 1000) + " с");
            PortLost = true;
            ClosePort("port lost");
            StateChanged();
            SchedulePortRetry();
        });
    });
}

void TCaptureControl::SchedulePortRetry() {
    if (PortRetryPosted) return;
    PortRetryPosted = true;
    std::weak_ptr<bool> alive = Alive;
    View.PostDelayed(kPortRetryMs, [this, alive] {
        if (alive.expired()) return;
        PortRetryPosted = false;
        Defer([this] { ReopenPort(); });
    });
}

void TCaptureControl::ReopenPort() {
    if (!Capturing_ || Finished || !PortLost || Port.Connected()) return;
    try {
        Port.Open();
    } catch (const std::exception&) {
        SchedulePortRetry();
        return;
    }
    PortLost = false;
    Event("порт " + AnsiToUtf8(Port.Name()) + " снова открыт");
    View.CaptureStateChanged();
    StateChanged();
}
