// The report engine on a large call database made once by bench/reports-data.sh (10 000 000
// calls over 2025 and 2026 by default): every summary of a month and of the two years, the first
// and the hundredth page of the call list, an export of a million rows (CSV and XLSX) with the
// process's resident memory, and the record path's rate alone and while two-year summaries run
// on the report engine's own thread. The daily totals are added up first (every day of 2025 and
// 2026 the first time: that run is timed too).
//   reports_bench DBPATH [SECONDS-PER-RATE [pages|raw]]
// pages: leave the summaries out; raw: summaries counted from the calls, without the totals.
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
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

// The station's record path: the station's INSERT, one transaction per call, commit each.
double RecordRate(const std::string& path, double seconds, int& serial) {
    TCallDatabase db;
    db.Connect(path);
    TFbStatement q(db.DbConnection, db.DbTransaction);
    q.SetText(TRecorder::kInsertRing);
    int64_t n = 0;
    const auto start = Clock::now();
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
    return static_cast<double>(n) / Since(start);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: reports_bench DBPATH [SECONDS-PER-RATE]\n");
        return 2;
    }
    const std::string path = argv[1];
    const double rateSeconds = argc > 2 ? std::atof(argv[2]) : 10;
    PrepareFirebirdEnvironment(TARVICK_SOURCE_DIR "/data/");
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
    {
        TNullBuffer sink;
        std::ostream out(&sink);
        const double rssBefore = ResidentMb(::getpid());
        const auto start = Clock::now();
        const double cpu = Cpu();
        auto writer = MakeCsvWriter(out, TCsvOptions::Windows1251());
        const int64_t rows = ExportCalls(engine, million, *writer);
        const double s = Since(start), c = Cpu() - cpu;
        std::printf(
            "export csv  %lld rows %6.2f s wall = %8.0f rows/s, %6.2f s cpu = %8.0f rows/s, "
            "RSS %.0f -> %.0f MB, %.0f MB out\n",
            static_cast<long long>(rows), s, rows / s, c, rows / c, rssBefore,
            ResidentMb(::getpid()), sink.Bytes / 1e6);
    }
    {
        const std::string xlsx = (std::filesystem::temp_directory_path() /
                                  ("reports-bench-" + std::to_string(::getpid()) + ".xlsx"))
                                     .string();
        const double rssBefore = ResidentMb(::getpid());
        const auto start = Clock::now();
        const double cpu = Cpu();
        auto writer = MakeXlsxWriter(xlsx);
        const int64_t rows = ExportCalls(engine, million, *writer);
        const double s = Since(start), c = Cpu() - cpu;
        std::printf(
            "export xlsx %lld rows %6.2f s wall = %8.0f rows/s, %6.2f s cpu = %8.0f rows/s, "
            "RSS %.0f -> %.0f MB, %.0f MB file\n",
            static_cast<long long>(rows), s, rows / s, c, rows / c, rssBefore,
            ResidentMb(::getpid()), std::filesystem::file_size(xlsx) / 1e6);
        std::filesystem::remove(xlsx);
    }

    // The record path alone, then beside two-year summaries run one after another on the report
    // engine's thread; twice in turn, so that a drift of the shared machine shows.
    int serial = 0;
    for (int round = 0; round < 2; ++round) {
        const double alone = RecordRate(path, rateSeconds, serial);
        std::atomic<bool> stop{false};
        std::atomic<int> summaries{0};
        TReportWorker worker(path);
        std::thread driver([&] {
            while (!stop) {
                worker
                    .Run(
                        [&](TReportEngine& e) { return e.Summary(TSummaryKind::Extension, years); })
                    .wait();
                ++summaries;
            }
        });
        const double beside = RecordRate(path, rateSeconds, serial);
        stop = true;
        driver.join();
        std::printf(
            "record path alone %7.0f calls/s, beside two-year summaries %7.0f calls/s "
            "(%.0f %%, %d summaries ran)\n",
            alone, beside, 100 * beside / alone, summaries.load());
    }
    return 0;
}
