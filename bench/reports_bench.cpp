// The report engine on a large call database made once by bench/reports-data.sh (10 000 000
// calls over 2025 and 2026 by default): every summary of a month and of the two years, the first
// and the hundredth page of the call list, an export of a million rows (CSV and XLSX) with the
// process's resident memory, and the record path's rate alone and while two-year summaries run
// on the report engine's own thread. The daily totals are added up first (every day of 2025 and
// 2026 the first time: that run is timed too).
//   reports_bench DBPATH [SECONDS-PER-RATE [pages|raw|record]]
// pages: leave the summaries out; raw: summaries counted from the calls, without the totals;
// record [KIND]: only the record path's rates (beside summaries of one kind).
//   reports_bench DBPATH export [ROWS]   (the exports alone, beside what bounds them; writes
//                                         nothing to the database)
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <streambuf>
#include <thread>

#include "ProcessStats.h"
#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "reports/ReportExport.h"
#include "reports/ReportTotals.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// This process's CPU seconds, the embedded engine's work included: on a machine shared with
// others the wall time says more about them than about the report.
double Cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TDateTime Day(int y, int m, int d) {
    TDateTime v = 0;
    TryEncodeDate(y, m, d, v);
    return v;
}

// Counts what is written and keeps nothing.
class TNullBuffer : public std::streambuf {
public:
    int64_t Bytes = 0;

protected:
    std::streamsize xsputn(const char*, std::streamsize n) override {
        Bytes += n;
        return n;
    }
    int overflow(int c) override {
        ++Bytes;
        return c;
    }
};

double ThreadCpu() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The station's record path: the station's INSERT, one transaction per call, commit each.
double RecordRate(const std::string& path, double seconds, int& serial,
                  double* cpuPerCall = nullptr) {
    TCallDatabase db;
    db.Connect(path);
    TFbStatement q(db.DbConnection, db.DbTransaction);
    q.SetText(TRecorder::kInsertRing);
    int64_t n = 0;
    const auto start = Clock::now();
    const double cpu = ThreadCpu();
    while (Since(start) < seconds) {
        TRingRow row;
        row.Values[6] = 1;
        row.Values[9] = serial % 60;
        row.Values[10] = 100 + serial % 300;
        row.NumberOut = "8495" + std::to_string(serial);
        // 2027: beside the two years the summaries read.
        row.RingDate = Day(2027, 1, 1) + (serial % 86400) / 86400.0;
        ++serial;
        db.DbTransaction.StartTransaction();
        TRecorder::BindRing(q, row);
        q.ExecQuery();
        db.DbTransaction.Commit();
        ++n;
    }
    if (cpuPerCall) *cpuPerCall = (ThreadCpu() - cpu) / static_cast<double>(n);
    return static_cast<double>(n) / Since(start);
}

struct TRun {
    int64_t Rows = 0;
    double Wall = 0, Cpu = 0;
};

template <class F>
TRun Timed(F run) {
    const auto start = Clock::now();
    const double cpu = Cpu();
    TRun r;
    r.Rows = run();
    r.Wall = Since(start);
    r.Cpu = Cpu() - cpu;
    return r;
}

void Print(const char* what, const TRun& r, const std::string& more) {
    std::printf("%-24s %8lld rows %6.2f s wall = %8.0f rows/s, %6.2f s cpu = %8.0f rows/s%s\n",
                what, static_cast<long long>(r.Rows), r.Wall, r.Rows / r.Wall, r.Cpu,
                r.Rows / r.Cpu, more.c_str());
}

// What the server alone delivers: the call list's rows in list order, one cursor, no field
// read; with the owner's correlated subquery per row, or without.
int64_t BareFetch(const std::string& path, const TRingsColumns& columns, const TReportFilter& f,
                  bool owner) {
    TCallDatabase db;
    db.Connect(path);
    db.DbTransaction.SetReadOnly(true);
    db.DbTransaction.StartTransaction();
    TFbStatement q(db.DbConnection, db.DbTransaction);
    q.SetText(
        std::string("SELECT r.ID, r.RingDate, r.NumberIn, r.RLine, r.NumberOut, r.ringlength") +
        (owner ? ", (SELECT FIRST 1 u.FIO FROM Users u WHERE u.NumberIN = r.NumberIn)" : "") +
        (columns.Caller ? ", r.Caller" : "") + (columns.Station ? ", r.Station" : "") +
        " FROM Rings r WHERE r.RingDate >= ? AND r.RingDate < ?"
        " PLAN (R ORDER RINGS_RINGDATE_ID) ORDER BY r.RingDate, r.ID");
    q.Params(0).SetAsDateTime(f.Period.From);
    q.Params(1).SetAsDateTime(f.Period.To);
    q.ExecQuery();
    int64_t n = 0;
    for (; !q.Eof(); q.Next()) ++n;
    q.Close();
    db.DbTransaction.Commit();
    return n;
}

// Passes everything on, and times the finish apart: a workbook is zipped when it is closed.
class TTimedFinish : public TTableWriter {
public:
    explicit TTimedFinish(std::unique_ptr<TTableWriter> w) : w_(std::move(w)) {}
    void Begin(const std::string& t, const std::vector<TReportColumn>& c) override {
        w_->Begin(t, c);
    }
    void Row(const std::vector<TReportCell>& cells) override { w_->Row(cells); }
    void Totals(const std::vector<TReportCell>& cells) override { w_->Totals(cells); }
    void Finish() override {
        const auto start = Clock::now();
        const double cpu = Cpu();
        w_->Finish();
        Wall = Since(start);
        CpuSeconds = Cpu() - cpu;
    }
    double Wall = 0, CpuSeconds = 0;

private:
    std::unique_ptr<TTableWriter> w_;
};

TRun CsvExport(TReportEngine& engine, const TReportFilter& f, TCsvOptions options,
               std::string& more) {
    TNullBuffer sink;
    std::ostream out(&sink);
    const double rssBefore = ResidentMb(::getpid());
    auto writer = MakeCsvWriter(out, options);
    const TRun r = Timed([&] { return ExportCalls(engine, f, *writer); });
    char buf[96];
    std::snprintf(buf, sizeof buf, ", RSS %.0f -> %.0f MB, %.0f MB out", rssBefore,
                  ResidentMb(::getpid()), sink.Bytes / 1e6);
    more = buf;
    return r;
}

TRun XlsxExport(TReportEngine& engine, const TReportFilter& f, std::string& more) {
    const std::string xlsx = (std::filesystem::temp_directory_path() /
                              ("reports-bench-" + std::to_string(::getpid()) + ".xlsx"))
                                 .string();
    const double rssBefore = ResidentMb(::getpid());
    TTimedFinish writer(MakeXlsxWriter(xlsx));
    const TRun r = Timed([&] { return ExportCalls(engine, f, writer); });
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  ", RSS %.0f -> %.0f MB, %.0f MB file, of which the close %.2f s wall %.2f s cpu",
                  rssBefore, ResidentMb(::getpid()), std::filesystem::file_size(xlsx) / 1e6,
                  writer.Wall, writer.CpuSeconds);
    more = buf;
    std::filesystem::remove(xlsx);
    return r;
}

// The exports of `rows` calls from the start of 2025, beside the fetch that bounds them.
int Exports(const std::string& path, int64_t rows) {
    TReportEngine engine(path);
    TReportFilter years;
    years.Period = TReportPeriod::Days(Day(2025, 1, 1), Day(2026, 12, 31));
    const int64_t all = engine.Totals(years).Calls();
    if (all == 0) {
        std::fprintf(stderr, "no calls in 2025 and 2026\n");
        return 1;
    }
    TReportFilter f;
    f.Period = {Day(2025, 1, 1),
                Day(2025, 1, 1) + 730.0 * static_cast<double>(rows) / static_cast<double>(all)};
    std::string more;
    Print("bare fetch", Timed([&] { return BareFetch(path, engine.Columns(), f, false); }), "");
    Print("bare fetch, owner query",
          Timed([&] { return BareFetch(path, engine.Columns(), f, true); }), "");
    Print("ForEachCall", Timed([&] {
              int64_t n = 0;
              engine.ForEachCall(f, [&](const TCallRow&) { return ++n, true; });
              return n;
          }),
          "");
    Print("export csv 1251", CsvExport(engine, f, TCsvOptions::Windows1251(), more), more);
    Print("export csv utf-8 bom", CsvExport(engine, f, TCsvOptions::Utf8Bom(), more), more);
    Print("export xlsx", XlsxExport(engine, f, more), more);
    return 0;
}

// The record path alone, beside two-year summaries run one after another on the report
// engine's thread, and beside a thread that only spins at the normal priority (what a busy
// second core costs it on this machine); three times in turn, so that a drift shows.
int RecordBeside(const std::string& path, const TReportFilter& years, double seconds,
                 std::optional<TSummaryKind> only = std::nullopt) {
    int serial = 0;
    auto measure = [&](const char* what, auto&& beside) {
        std::atomic<bool> stop{false};
        std::atomic<int> runs{0};
        std::thread t([&] { beside(stop, runs); });
        double cpu = 0;
        const double rate = RecordRate(path, seconds, serial, &cpu);
        stop = true;
        t.join();
        std::printf("record path %-18s %7.0f calls/s, %5.0f us cpu a call (%d runs beside)\n", what,
                    rate, cpu * 1e6, runs.load());
    };
    TReportWorker worker(path);
    for (int round = 0; round < 3; ++round) {
        measure("alone", [](auto&, auto&) {});
        measure("beside summaries", [&](std::atomic<bool>& stop, std::atomic<int>& runs) {
            // Every kind in turn, the numbers' (the slowest) among them.
            for (int k = 0; !stop; k = (k + 1) % 6) {
                const auto kind = only ? *only : static_cast<TSummaryKind>(k);
                worker.Run([&](TReportEngine& e) { return e.Summary(kind, years); }).wait();
                ++runs;
            }
        });
        measure("beside a spin", [](std::atomic<bool>& stop, std::atomic<int>& runs) {
            volatile uint64_t x = 0;
            while (!stop) {
                for (int i = 0; i < 1000000; ++i) x = x + 1;
                ++runs;
            }
        });
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(
            stderr,
            "usage: reports_bench DBPATH [SECONDS-PER-RATE [pages]] | DBPATH export [ROWS]\n");
        return 2;
    }
    const std::string path = argv[1];
    PrepareFirebirdEnvironment(TARVICK_SOURCE_DIR "/data/");
    if (argc > 2 && std::string(argv[2]) == "export")
        return Exports(path, argc > 3 ? std::atoll(argv[3]) : 1000000);
    const double rateSeconds = argc > 2 ? std::atof(argv[2]) : 10;
    {
        TCallDatabase db;
        db.Connect(path);
        TTotalsOptions o;
        o.Today = Day(2027, 1, 1);
        const auto start = Clock::now();
        const double cpu = Cpu();
        const TTotalsResult r = AddUpTotals(db.DbConnection, o);
        std::printf("adding up totals: %s, %.1f s wall %.1f s cpu\n", TotalsResultText(r).c_str(),
                    Since(start), Cpu() - cpu);
    }
    TReportEngine engine(path);
    const std::string mode = argc > 3 ? argv[3] : "";
    engine.SetUseTotals(mode != "raw");

    TReportFilter month, years;
    month.Period = TReportPeriod::Days(Day(2026, 6, 1), Day(2026, 6, 30));
    years.Period = TReportPeriod::Days(Day(2025, 1, 1), Day(2026, 12, 31));
    std::printf("calls in the two years: %lld\n",
                static_cast<long long>(engine.Totals(years).Calls()));

    if (mode == "record")
        return RecordBeside(path, years, rateSeconds,
                            argc > 4 ? SummaryKindFromName(argv[4]) : std::nullopt);
    const bool summaries = mode != "pages";
    for (const auto* f : {&month, &years}) {
        for (int k = 0; k < 6 && summaries; ++k) {
            const auto kind = static_cast<TSummaryKind>(k);
            const auto start = Clock::now();
            const double cpu = Cpu();
            const TSummary s = engine.Summary(kind, *f);
            std::printf("summary %-9s %-6s %7.3f s wall %7.3f s cpu (%zu groups, %lld calls)\n",
                        SummaryKindName(kind).c_str(), f == &month ? "month" : "2years",
                        Since(start), Cpu() - cpu, s.Rows.size(),
                        static_cast<long long>(s.Total.Calls()));
        }
        const auto start = Clock::now();
        const double cpu = Cpu();
        const TSummaryRow t = engine.Totals(*f);
        std::printf("totals            %-6s %7.3f s wall %7.3f s cpu (%lld calls)\n",
                    f == &month ? "month" : "2years", Since(start), Cpu() - cpu,
                    static_cast<long long>(t.Calls()));
    }

    for (const auto* f : {&month, &years}) {
        std::optional<TCallCursor> cursor;
        for (int page = 1; page <= 100; ++page) {
            const auto start = Clock::now();
            const double cpu = Cpu();
            const TCallPage p = engine.Calls(*f, cursor, 100);
            if (page == 1 || page == 100)
                std::printf("page %3d          %-6s %7.1f ms wall %6.1f ms cpu (%zu rows)\n", page,
                            f == &month ? "month" : "2years", Since(start) * 1000,
                            (Cpu() - cpu) * 1000, p.Rows.size());
            cursor = p.Next;
        }
    }
    {
        TReportFilter ext = years;
        ext.Extensions = {150};
        std::optional<TCallCursor> cursor;
        for (int page = 1; page <= 100; ++page) {
            const auto start = Clock::now();
            const double cpu = Cpu();
            const TCallPage p = engine.Calls(ext, cursor, 100);
            if (page == 1 || page == 100)
                std::printf("page %3d one ext  2years %7.1f ms wall %6.1f ms cpu (%zu rows)\n",
                            page, Since(start) * 1000, (Cpu() - cpu) * 1000, p.Rows.size());
            cursor = p.Next;
        }
    }

    // A million rows: the two years' first 1 000 000 calls (about 73 days).
    TReportFilter million;
    million.Period = {Day(2025, 1, 1), Day(2025, 1, 1) + 1000000.0 * 63072000 / 1e7 / 86400};
    std::string more;
    Print("export csv", CsvExport(engine, million, TCsvOptions::Windows1251(), more), more);
    Print("export xlsx", XlsxExport(engine, million, more), more);

    return RecordBeside(path, years, rateSeconds);
}
