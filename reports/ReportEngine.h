#pragma once
// Reports over the stored calls: the call list in pages, summaries, and the tables every front
// end (the calls window, tarvick-tool, the report mail, the web program) renders alike.
//
// An engine owns a connection of its own and is used from one thread at a time; TReportWorker
// gives it a thread of its own, so that a long report never holds up the record path. Every
// text is Windows-1251, as everywhere in the station; front ends convert at their edge.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/DateTime.h"
#include "common/Errors.h"
#include "db/DbLogin.h"

class EReportError : public EError {
public:
    using EError::EError;
};

// A span of local time: From included, To excluded.
struct TReportPeriod {
    TDateTime From = 0;
    TDateTime To = 0;

    // Whole days, the first and the last included.
    static TReportPeriod Days(TDateTime firstDay, TDateTime lastDay);
};

enum class TPeriodPreset { Today, Yesterday, ThisWeek, ThisMonth, LastMonth };
// The week starts on Monday.
TReportPeriod PresetPeriod(TPeriodPreset preset, TDateTime now);

// An incoming call is stored with the dialled number "0" (numerically 0); any other is outgoing.
enum class TDirection { Any, Incoming, Outgoing };

struct TReportFilter {
    TReportPeriod Period;
    std::vector<int32_t> Extensions;  // empty: every extension
    std::string NumberPart;           // digits anywhere in the number; empty: any number
    TDirection Direction = TDirection::Any;
    int32_t MinDuration = 0;  // seconds
    std::string Station;      // empty: every station; ignored where calls carry no station
    std::optional<int32_t> Line;
};

struct TCallRow {
    int64_t Id = 0;  // the call's key in the database (0 where the database has none)
    TDateTime Start = 0;
    int32_t Extension = 0;
    std::string Owner;  // Users.FIO, empty when the extension has no owner
    int32_t Line = 0;
    std::string Number;  // "0" for an incoming call
    std::string Caller;  // empty when unknown or not stored
    std::string Station;
    bool Incoming = false;
    int32_t Duration = 0;  // seconds
};

// The position after the last row of a page: the next page starts strictly behind it, so rows
// stored meanwhile neither repeat nor hide a row of the list.
struct TCallCursor {
    TDateTime Start = 0;
    int64_t Tie = 0;

    // A short text for a link or a form, and back; nothing for a text that is not one.
    std::string ToToken() const;
    static std::optional<TCallCursor> FromToken(std::string_view token);
};

struct TCallPage {
    std::vector<TCallRow> Rows;
    std::optional<TCallCursor> Next;  // empty on the last page
};

enum class TSummaryKind { Extension, Day, Hour, Line, Number, Station };

// One group of a summary. Key is the group's label as shown (the extension, dd.mm.yyyy, "09",
// the line, the number, the station); KeyNumber and KeyDate keep it typed for charts and sheets.
struct TSummaryRow {
    std::string Key;
    int64_t KeyNumber = 0;
    TDateTime KeyDate = 0;
    std::string Owner;  // per extension: Users.FIO
    int64_t CallsIn = 0, CallsOut = 0;
    int64_t SecondsIn = 0, SecondsOut = 0;

    int64_t Calls() const { return CallsIn + CallsOut; }
    int64_t Seconds() const { return SecondsIn + SecondsOut; }
};

struct TSummary {
    TSummaryKind Kind = TSummaryKind::Extension;
    std::vector<TSummaryRow> Rows;  // in the kind's natural order; numbers: most calls first
    TSummaryRow Total;              // over every call of the selection, Key "Итого"
};

// What the columns of a table hold, so that a sheet can type its cells.
enum class TCellType { Text, Integer, Date, DateTime, Duration };

struct TReportColumn {
    std::string Title;
    TCellType Type = TCellType::Text;
};

// One cell: Number for Integer and Duration (seconds), Time for Date and DateTime, Text for
// Text. Text is also filled for every type with the value as shown.
struct TReportCell {
    int64_t Number = 0;
    TDateTime Time = 0;
    std::string Text;
};

struct TReportTable {
    std::string Title;
    std::vector<TReportColumn> Columns;
    std::vector<std::vector<TReportCell>> Rows;
    std::vector<TReportCell> Totals;  // empty: no totals row
};

// " 1:02:03" style text of a duration: hours (any number), minutes, seconds.
std::string DurationText(int64_t seconds);
// The kind's name as the command line takes it ("extension", "day", ...), and back.
std::string SummaryKindName(TSummaryKind kind);
std::optional<TSummaryKind> SummaryKindFromName(std::string_view name);
// The kind's caption on a tab or a mail, Windows-1251.
std::string SummaryKindTitle(TSummaryKind kind);

TReportTable SummaryTable(const TSummary& summary);
// The call list's columns, and one row of it.
std::vector<TReportColumn> CallColumns();
std::vector<TReportCell> CallCells(const TCallRow& row);
// The same into cells, reusing their storage: a long list costs no allocation per row.
void CallCells(const TCallRow& row, std::vector<TReportCell>& cells);
TReportTable CallTable(const std::vector<TCallRow>& rows);

// What the database offers beyond the base columns; read once at connect.
struct TRingsColumns {
    bool Id = false;
    bool Station = false;
    bool Caller = false;
};

class TReportEngine {
public:
    // Attaches to the call database at dbPath with the station's login. Raises
    // EDatabaseError when it cannot.
    explicit TReportEngine(const std::string& dbPath, const TDbLogin& login = {});
    ~TReportEngine();
    TReportEngine(const TReportEngine&) = delete;
    TReportEngine& operator=(const TReportEngine&) = delete;

    const TRingsColumns& Columns() const;

    // The page after `after` (the first page without it); at most pageSize rows, oldest first.
    TCallPage Calls(const TReportFilter& filter, const std::optional<TCallCursor>& after,
                    int pageSize = 100);
    // Every call of the selection in list order, one cursor, in constant memory; false from
    // each stops early.
    void ForEachCall(const TReportFilter& filter, const std::function<bool(const TCallRow&)>& each);
    // Calls and talk time of the whole selection.
    TSummaryRow Totals(const TReportFilter& filter);

    // Numbers: the `limit` most called numbers (outgoing calls only); other kinds ignore it.
    TSummary Summary(TSummaryKind kind, const TReportFilter& filter, int limit = 100);

    // Stations seen in the calls (empty where the calls carry no station).
    std::vector<std::string> Stations();

    // Whether summaries read the daily totals where they can (on by default; off counts every
    // call, for comparison).
    void SetUseTotals(bool value);

private:
    struct TImpl;
    struct TSummaryScan;
    std::unique_ptr<TImpl> impl_;
};

// An engine on a thread of its own: jobs run one after another, in order. The engine is made
// on the thread by its first job, so a database that cannot be reached fails that job.
class TReportWorker {
public:
    explicit TReportWorker(std::string dbPath, TDbLogin login = {});
    // Waits for the job under way; jobs not started are dropped (their futures report
    // std::future_error broken_promise).
    ~TReportWorker();
    TReportWorker(const TReportWorker&) = delete;
    TReportWorker& operator=(const TReportWorker&) = delete;

    // The job's result, or what it raised (EDatabaseError when the database cannot be reached).
    template <class F>
    auto Run(F job) -> std::future<decltype(job(std::declval<TReportEngine&>()))> {
        using R = decltype(job(std::declval<TReportEngine&>()));
        auto promise = std::make_shared<std::promise<R>>();
        auto result = promise->get_future();
        Post([promise, job = std::move(job)](TReportEngine* engine,
                                             std::exception_ptr failed) mutable {
            try {
                if (failed) std::rethrow_exception(failed);
                if constexpr (std::is_void_v<R>) {
                    job(*engine);
                    promise->set_value();
                } else {
                    promise->set_value(job(*engine));
                }
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        });
        return result;
    }

    // The job is called on the worker's thread with the engine, or with nullptr and the reason
    // when the database cannot be reached; for callers that hand results on themselves.
    using TJob = std::function<void(TReportEngine* engine, std::exception_ptr failed)>;
    void Submit(TJob job) { Post(std::move(job)); }

private:
    void Post(TJob job);
    void Loop();

    std::string dbPath_;
    TDbLogin login_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<TJob> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};
