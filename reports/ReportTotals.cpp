#include "reports/ReportTotals.h"

#include <set>
#include <utility>
#include <vector>

#include "db/FbObjects.h"
#include "db/Schema.h"
#include "platform/CodePage.h"
#include "platform/ThreadPriority.h"

namespace {

// What each kind adds up by: its day (or month), its key, and which calls it counts.
struct TKindSql {
    int Kind;
    const char* Day;
    const char* KeyNumber;
    const char* KeyText;
    const char* Only;  // an extra condition, or ""
    bool NeedsStation;
};

constexpr const char* kDayOf = "CAST(r.RingDate AS DATE)";
constexpr const char* kMonthOf =
    "DATEADD(DAY, 1 - EXTRACT(DAY FROM r.RingDate), CAST(r.RingDate AS DATE))";
constexpr const char* kNoNumber = "CAST(0 AS BIGINT)";
constexpr const char* kNoText = "CAST('' AS VARCHAR(40))";

const TKindSql kKindSql[] = {
    {0, kDayOf, kNoNumber, kNoText, "", false},
    {1, kDayOf, "r.NumberIn", kNoText, "", false},
    {2, kDayOf, "EXTRACT(HOUR FROM r.RingDate)", kNoText, "", false},
    {3, kDayOf, "r.RLine", kNoText, "", false},
    {4, kDayOf, kNoNumber, "COALESCE(r.Station, '')", "", true},
    {5, kMonthOf, kNoNumber, "r.NumberOut", " AND r.NumberOut > 0", false},
};

// Adds the calls `where` selects (a condition on Rings r) into the totals of every kind.
std::string MergeSql(const TKindSql& k, const std::string& where) {
    return "MERGE INTO RingTotals t USING (SELECT " + std::to_string(k.Kind) +
           " AS Kind, x.CallDay, x.KeyNumber, x.KeyText, x.Incoming, COUNT(*) AS Calls, "
           "SUM(x.Seconds) AS Seconds FROM (SELECT " +
           k.Day + " AS CallDay, CAST(" + k.KeyNumber + " AS BIGINT) AS KeyNumber, CAST(" +
           k.KeyText +
           " AS VARCHAR(40)) AS KeyText, IIF(r.NumberOut = 0, 1, 0) AS Incoming, r.ringlength "
           "AS Seconds FROM Rings r WHERE " +
           where + k.Only +
           ") x GROUP BY x.CallDay, x.KeyNumber, x.KeyText, x.Incoming) s ON t.Kind = s.Kind AND "
           "t.CallDay = s.CallDay AND t.KeyNumber = s.KeyNumber AND t.KeyText = s.KeyText AND "
           "t.Incoming = s.Incoming WHEN MATCHED THEN UPDATE SET Calls = t.Calls + s.Calls, "
           "Seconds = t.Seconds + s.Seconds WHEN NOT MATCHED THEN INSERT (Kind, CallDay, "
           "KeyNumber, "
           "KeyText, Incoming, Calls, Seconds) VALUES (s.Kind, s.CallDay, s.KeyNumber, s.KeyText, "
           "s.Incoming, s.Calls, s.Seconds)";
}

TDateTime MonthStart(int64_t day) {
    const TDateParts d = DecodeDate(static_cast<TDateTime>(day));
    TDateTime first = 0;
    TryEncodeDate(d.Year, d.Month, 1, first);
    return first;
}

TDateTime NextMonth(TDateTime monthStart) {
    const TDateParts d = DecodeDate(monthStart);
    return monthStart + DaysInMonth(d.Year, d.Month);
}

class TSteps {
public:
    TSteps(TFbConnection& db, const TTotalsOptions& o) : db_(db), o_(o) {
        tr_.SetDefaultDatabase(&db_);
    }

    // Whether the database has what the totals need, and whether calls carry a station.
    bool Available() {
        return InTransaction(tr_, [&] {
            TFbStatement q(db_, tr_);
            q.SetText(
                "SELECT (SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = "
                "'RINGS' AND RDB$FIELD_NAME = 'ID'), (SELECT COUNT(*) FROM RDB$RELATION_FIELDS "
                "WHERE RDB$RELATION_NAME = 'RINGS' AND RDB$FIELD_NAME = 'STATION') FROM "
                "RDB$DATABASE");
            q.ExecQuery();
            station_ = q.Fields(1).AsInt64() > 0;
            return q.Fields(0).AsInt64() == 1 && HasTotalsTables(db_, tr_);
        });
    }

    // One step: false when nothing was left to do or it had to stop.
    bool Step(TTotalsResult& r) {
        int64_t watermark = 0, upTo = 0, started = 0;
        try {
            InTransaction(tr_, [&] {
                Exec(
                    "INSERT INTO RingTotalState (Id, Watermark) SELECT 1, 0 FROM RDB$DATABASE "
                    "WHERE NOT EXISTS (SELECT 1 FROM RingTotalState)");
            });
        } catch (const EDatabaseError&) {
            // Another adding-up made the row at the same instant.
        }
        InTransaction(tr_, [&] {
            TFbStatement q(db_, tr_);
            q.SetText(
                "SELECT s.Watermark, (SELECT MAX(r.ID) FROM Rings r WHERE r.ID > s.Watermark), "
                "CURRENT_TRANSACTION FROM RingTotalState s WHERE s.Id = 1");
            q.ExecQuery();
            watermark = q.Fields(0).AsInt64();
            upTo = q.Fields(1).IsNull() ? watermark : q.Fields(1).AsInt64();
            started = q.Fields(2).AsInt64();
        });
        // A call below upTo not committed yet belongs to a transaction open now: once all of
        // them have ended, a snapshot sees every call the new watermark covers.
        if (!WaitForOlderTransactions(started, r)) return false;

        tr_.SetSnapshot(true);
        struct TReset {
            TFbTransaction& tr;
            ~TReset() { tr.SetSnapshot(false); }
        } reset{tr_};
        tr_.StartTransaction();
        try {
            const bool more = Add(watermark, upTo, r);
            tr_.Commit();
            r.Watermark = upTo;
            return more;
        } catch (...) {
            tr_.RollbackQuietly();
            throw;
        }
    }

private:
    bool WaitForOlderTransactions(int64_t started, TTotalsResult& r) {
        const auto deadline = std::chrono::steady_clock::now() + o_.WaitLimit;
        for (auto pause = std::chrono::milliseconds(20);; pause = std::min(pause * 2, Max())) {
            const int64_t oldest = InTransaction(tr_, [&] {
                TFbStatement q(db_, tr_);
                q.SetText("SELECT MON$OLDEST_ACTIVE FROM MON$DATABASE");
                q.ExecQuery();
                return q.Fields(0).AsInt64();
            });
            if (oldest > started) return true;
            if (Cancelled()) {
                r.Stopped = "cancelled";
                return false;
            }
            if (std::chrono::steady_clock::now() + pause > deadline) {
                r.Stopped = "a transaction older than the adding-up stayed open (transaction " +
                            std::to_string(oldest) + ")";
                return false;
            }
            std::this_thread::sleep_for(pause);
        }
    }

    static constexpr std::chrono::milliseconds Max() { return std::chrono::milliseconds(500); }

    bool Cancelled() const { return o_.Cancel && o_.Cancel->load(); }

    bool Add(int64_t watermark, int64_t upTo, TTotalsResult& r) {
        // The one row every adding-up updates first: a second one at the same time fails here
        // (nowait) and leaves the work to the first.
        {
            TFbStatement q(db_, tr_);
            q.SetText("UPDATE RingTotalState SET Watermark = ? WHERE Id = 1 AND Watermark = ?");
            q.Params(0).SetAsInt64(upTo);
            q.Params(1).SetAsInt64(watermark);
            try {
                q.ExecQuery();
            } catch (const EDatabaseError& e) {
                if (!e.Has(isc_deadlock) && !e.Has(isc_update_conflict) &&
                    !e.Has(isc_lock_conflict))
                    throw;
                r.Stopped = "another adding-up runs";
                return false;
            }
            if (q.RowsAffected() != 1) {
                r.Stopped = "another adding-up ran meanwhile";
                return false;
            }
        }
        Recount(r);
        if (upTo > watermark) {
            TFbStatement n(db_, tr_);
            n.SetText(
                "SELECT COUNT(*) FROM Rings r WHERE r.ID > ? AND r.ID <= ? AND EXISTS (SELECT 1 "
                "FROM RingTotalDays d WHERE d.CallDay = CAST(r.RingDate AS DATE))");
            n.Params(0).SetAsInt64(watermark);
            n.Params(1).SetAsInt64(upTo);
            n.ExecQuery();
            const int64_t late = n.Fields(0).AsInt64();
            n.Close();
            if (late > 0) {
                r.LateCalls += late;
                for (const TKindSql& k : kKindSql) {
                    if (k.NeedsStation && !station_) continue;
                    TFbStatement m(db_, tr_);
                    m.SetText(
                        MergeSql(k,
                                 "r.ID > ? AND r.ID <= ? AND EXISTS (SELECT 1 FROM "
                                 "RingTotalDays d WHERE d.CallDay = CAST(r.RingDate AS DATE))"));
                    m.Params(0).SetAsInt64(watermark);
                    m.Params(1).SetAsInt64(upTo);
                    m.ExecQuery();
                }
            }
        }
        return AddDays(upTo, r);
    }

    // Months with replaced calls lose their totals and are added up again as new days.
    void Recount(TTotalsResult& r) {
        std::set<double> months;
        {
            TFbStatement q(db_, tr_);
            q.SetText("SELECT DISTINCT CallDay FROM RingTotalStale");
            q.ExecQuery();
            for (; !q.Eof(); q.Next())
                months.insert(MonthStart(DayNumber(q.Fields(0).AsDateTime())));
        }
        for (const double month : months) {
            for (const char* table : {"RingTotals", "RingTotalDays", "RingTotalStale"}) {
                TFbStatement d(db_, tr_);
                // Only the notes this snapshot sees go: one committed later stays for next time.
                d.SetText(std::string("DELETE FROM ") + table +
                          " WHERE CallDay >= ? AND CallDay < ?");
                d.Params(0).SetAsDateTime(month);
                d.Params(1).SetAsDateTime(NextMonth(month));
                d.ExecQuery();
            }
            ++r.MonthsRecounted;
        }
    }

    bool AddDays(int64_t upTo, TTotalsResult& r) {
        const int64_t today = DayNumber(o_.Today);
        int64_t first = today;
        {
            TFbStatement q(db_, tr_);
            q.SetText("SELECT MIN(RingDate) FROM Rings");
            q.ExecQuery();
            if (!q.Fields(0).IsNull()) first = DayNumber(q.Fields(0).AsDateTime());
        }
        if (first >= today) return false;
        std::set<int64_t> covered;
        {
            TFbStatement q(db_, tr_);
            q.SetText("SELECT CallDay FROM RingTotalDays WHERE CallDay >= ? AND CallDay < ?");
            q.Params(0).SetAsDateTime(static_cast<TDateTime>(first));
            q.Params(1).SetAsDateTime(static_cast<TDateTime>(today));
            q.ExecQuery();
            for (; !q.Eof(); q.Next()) covered.insert(DayNumber(q.Fields(0).AsDateTime()));
        }
        std::vector<std::pair<int64_t, int64_t>> runs;  // [from, to) of days
        int days = 0;
        bool more = false;
        for (int64_t d = first; d < today; ++d) {
            if (covered.count(d)) continue;
            if (days == o_.DaysPerStep) {
                more = true;
                break;
            }
            if (!runs.empty() && runs.back().second == d)
                ++runs.back().second;
            else
                runs.push_back({d, d + 1});
            ++days;
        }
        for (const auto& [from, to] : runs) {
            for (const TKindSql& k : kKindSql) {
                if (k.NeedsStation && !station_) continue;
                TFbStatement m(db_, tr_);
                m.SetText(MergeSql(k, "r.RingDate >= ? AND r.RingDate < ? AND r.ID <= ?"));
                m.Params(0).SetAsDateTime(static_cast<TDateTime>(from));
                m.Params(1).SetAsDateTime(static_cast<TDateTime>(to));
                m.Params(2).SetAsInt64(upTo);
                m.ExecQuery();
            }
            TFbStatement ins(db_, tr_);
            ins.SetText("INSERT INTO RingTotalDays (CallDay) VALUES (?)");
            for (int64_t d = from; d < to; ++d) {
                ins.Params(0).SetAsDateTime(static_cast<TDateTime>(d));
                ins.ExecQuery();
            }
        }
        r.DaysAdded += days;
        return more;
    }

    void Exec(const std::string& sql) {
        TFbStatement q(db_, tr_);
        q.SetText(sql);
        q.ExecQuery();
    }

    TFbConnection& db_;
    const TTotalsOptions& o_;
    TFbTransaction tr_;
    bool station_ = false;
};

}  // namespace

TTotalsResult AddUpTotals(TFbConnection& db, const TTotalsOptions& options) {
    TTotalsResult r;
    TSteps steps(db, options);
    if (!steps.Available()) {
        r.Available = false;
        return r;
    }
    while (steps.Step(r)) {
        if (options.Cancel && options.Cancel->load()) {
            r.Stopped = "cancelled";
            break;
        }
    }
    return r;
}

std::string TotalsResultText(const TTotalsResult& r) {
    if (!r.Available)
        return "the database has no totals tables (tarvick-tool upgrade-db adds them)";
    std::string s = "days=" + std::to_string(r.DaysAdded) + " late=" + std::to_string(r.LateCalls) +
                    " recounted=" + std::to_string(r.MonthsRecounted) +
                    " watermark=" + std::to_string(r.Watermark);
    if (!r.Stopped.empty()) s += " (stopped: " + r.Stopped + ")";
    return s;
}

TTotalsKeeper::TTotalsKeeper(std::string dbPath, TDbLogin login)
    : dbPath_(std::move(dbPath)), login_(std::move(login)), thread_([this] { Loop(); }) {}

TTotalsKeeper::~TTotalsKeeper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (running_) running_->CancelOperation();
    }
    wake_.notify_all();
    thread_.join();
}

void TTotalsKeeper::Request(TDateTime today) {
    {
        std::lock_guard lock(mutex_);
        pending_ = today;
    }
    wake_.notify_one();
}

std::vector<std::string> TTotalsKeeper::TakeLog() {
    std::lock_guard lock(mutex_);
    return std::exchange(log_, {});
}

bool TTotalsKeeper::Idle() {
    std::lock_guard lock(mutex_);
    return !busy_ && !pending_;
}

void TTotalsKeeper::Log(std::string line) {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(line));
}

void TTotalsKeeper::Loop() {
    platform::LowerThreadPriority();
    for (;;) {
        TTotalsOptions options;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_.load() || pending_.has_value(); });
            if (stopping_) return;
            options.Today = *pending_;
            pending_.reset();
            busy_ = true;
        }
        options.Cancel = &stopping_;
        TFbConnection db;
        try {
            db.Params() = login_.ConnectParams();
            db.SetDatabaseName(dbPath_);
            db.SetLoginPrompt(false);
            db.Open();
            {
                std::lock_guard lock(mutex_);
                running_ = &db;
            }
            const TTotalsResult r = AddUpTotals(db, options);
            if (r.Available &&
                (r.DaysAdded || r.LateCalls || r.MonthsRecounted || !r.Stopped.empty()))
                Log(platform::Utf8ToAnsi("Итоги для отчётов: ") + TotalsResultText(r));
        } catch (const std::exception& e) {
            if (!stopping_)
                Log(platform::Utf8ToAnsi("Итоги для отчётов не подсчитаны: ") + e.what());
        }
        std::lock_guard lock(mutex_);
        running_ = nullptr;
        busy_ = false;
    }
}
