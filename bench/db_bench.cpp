// Lines stored per second on the embedded engine: the station's record path (every character
// through TRecorder::PutChar, one transaction and one fresh statement per line), the station's
// journal path (the capture control appending each read to the journal, making it durable and
// storing each line in a transaction of its own with the station's mark), and a backlog stored
// from the journal in batches, against a bare loop of the same client calls with no station code
// around it. Each runs with forced writes on (the engine's default) and off. At the end the
// median rates are printed as shares of the bare loop's, and the journal path's as shares of the
// same on a database made as earlier builds made it, with the write calls a line; run with
// --benchmark_enable_random_interleaving=true so that all meet the same disk and neighbours.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/ProcessStats.h"
#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "journal/CallStore.h"
#include "station/Controller.h"
#include "station/Station.h"
#include "tests/common/Process.h"

namespace {

constexpr int kPool = 1000;  // distinct lines, cycled
constexpr const char* kUser = "SYSDBA";
constexpr const char* kPassword = "quillfern";
constexpr const char* kInsert =
    "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,TimeSec,"
    "NumberIn,NumberOut,RingDate) values (?,?,?,?,?,?,?,?,?,?,?,?,?)";

std::string Dpb(int forcedWrites = -1) {
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    auto add = [&](char item, const std::string& value) {
        dpb += item;
        dpb += static_cast<char>(value.size());
        dpb += value;
    };
    add(isc_dpb_user_name, kUser);
    add(isc_dpb_password, kPassword);
    add(isc_dpb_lc_ctype, "win1251");
    if (forcedWrites >= 0)
        add(isc_dpb_force_write, std::string(1, static_cast<char>(forcedWrites)));
    return dpb;
}

ib::TDbHandle Attach(const std::string& path, const std::string& dpb) {
    ib::TDbHandle db;
    ib::Call([&](ISC_STATUS* s) {
        return isc_attach_database(s, static_cast<short>(path.size()), path.c_str(), db.Ptr(),
                                   static_cast<short>(dpb.size()), dpb.data());
    });
    return db;
}

// One database per forced-writes setting, shared by the record path and the bare loop; and one
// made as earlier builds made it, before rows carried their source (Station, JournalFile,
// JournalPos): without those columns and their index, with the index on RingDate alone that
// (RingDate, ID) has since replaced. With forced writes each index is a synchronous page write
// for every call stored, so the two schemas write as many pages a call.
struct TBenchDatabase {
    std::string Path;
    bool Ok = false;
};

std::string gDir;
std::map<int, TBenchDatabase> gDatabases;
std::map<std::string, std::vector<double>> gRates;  // lines/s of every repetition
// Write calls a line (the engine's page writes and the journal's), which the disk's speed does
// not move.
std::map<std::string, std::vector<double>> gWrites;

const TBenchDatabase& Database(int forcedWrites, bool source = true) {
    TBenchDatabase& db = gDatabases[forcedWrites * 2 + (source ? 1 : 0)];
    if (!db.Path.empty()) return db;
    db.Path =
        gDir + "calls-fw" + std::to_string(forcedWrites) + (source ? "" : "-nosource") + ".fdb";
    if (process::Run({TARVICK_SOURCE_DIR "/scripts/create-db.sh", db.Path}) != 0) return db;
    try {
        // The forced-writes flag lives in the database header; an attach with the item sets it.
        Attach(db.Path, Dpb(forcedWrites));
        if (!source) {
            TCallDatabase callDb;
            callDb.Connect(db.Path);
            for (const char* sql :
                 {"DROP INDEX Rings_Source", "ALTER TABLE Rings DROP Station",
                  "ALTER TABLE Rings DROP JournalFile", "ALTER TABLE Rings DROP JournalPos",
                  "CREATE INDEX Rings_RingDate ON Rings (RingDate)"}) {
                callDb.DbTransaction.StartTransaction();
                TFbStatement q(callDb.DbConnection, callDb.DbTransaction);
                q.SQL().Add(sql);
                q.ExecQuery();
                callDb.DbTransaction.Commit();
            }
        }
        db.Ok = true;
    } catch (const EError& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return db;
}

int64_t CountRows(TCallDatabase& callDb) {
    callDb.DbTransaction.StartTransaction();
    int64_t n = 0;
    {
        TFbStatement q(callDb.DbConnection, callDb.DbTransaction);
        q.SQL().Add("select count(*) from Rings");
        q.ExecQuery();
        n = q.Fields(0).AsInt64();
    }
    callDb.DbTransaction.Commit();
    return n;
}

std::string Number(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "8495%07d", i);
    return buf;
}

void Record(benchmark::State& state, const std::string& name, double seconds) {
    const double rate = static_cast<double>(state.iterations()) / seconds;
    gRates[name + "/" + std::to_string(state.range(0))].push_back(rate);
    state.counters["lines_per_s"] = rate;
}

void BM_RecordPath(benchmark::State& state) {
    const TBenchDatabase& db = Database(static_cast<int>(state.range(0)));
    if (!db.Ok) {
        state.SkipWithError("the call database could not be created");
        return;
    }
    TCallDatabase callDb;
    TRecorder recorder;
    if (!ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS", recorder.TemplateComment,
                          recorder.Columns())) {
        state.SkipWithError("no template");
        return;
    }
    recorder.IncomLog = true;
    callDb.Connect(db.Path);
    std::vector<std::string> lines;
    for (int i = 0; i < kPool; ++i)
        lines.push_back("12/04/26 09:02:11 01 201 00:02:15 " + Number(i) + "\r");
    const int64_t before = CountRows(callDb);
    size_t next = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (char c : lines[next]) recorder.PutChar(c);
        next = (next + 1) % lines.size();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (CountRows(callDb) - before != static_cast<int64_t>(state.iterations()))
        state.SkipWithError("not every line was stored");
    Record(state, "record_path", elapsed.count());
}

// A statement of the bare loops, bound to values ready beforehand.
struct TBareStatement {
    ib::TStmtHandle Stmt;
    std::unique_ptr<char[]> InArea, OutArea;
    XSQLDA* In = nullptr;

    void Prepare(ib::TDbHandle& att, ib::TTrHandle& tr, const char* sql, short params) {
        Stmt = ib::TStmtHandle();
        ib::Call(
            [&](ISC_STATUS* s) { return isc_dsql_allocate_statement(s, att.Ptr(), Stmt.Ptr()); });
        InArea.reset(new char[XSQLDA_LENGTH(params)]());
        OutArea.reset(new char[XSQLDA_LENGTH(1)]());
        In = reinterpret_cast<XSQLDA*>(InArea.get());
        auto* out = reinterpret_cast<XSQLDA*>(OutArea.get());
        out->version = In->version = SQLDA_VERSION1;
        out->sqln = 1;
        In->sqln = params;
        ib::Call([&](ISC_STATUS* s) {
            return isc_dsql_prepare(s, tr.Ptr(), Stmt.Ptr(), 0, sql, 3, out);
        });
        ib::Call([&](ISC_STATUS* s) { return isc_dsql_describe_bind(s, Stmt.Ptr(), 1, In); });
    }
    void Bind(int i, short type, void* data, short length) {
        static short notNull = 0;
        XSQLVAR& v = In->sqlvar[i];
        v.sqltype = static_cast<short>(type | 1);
        v.sqlscale = 0;
        v.sqlsubtype = type == SQL_TEXT ? 127 : 0;
        v.sqllen = length;
        v.sqldata = static_cast<char*>(data);
        v.sqlind = &notNull;
    }
    void Execute(ib::TTrHandle& tr) {
        ib::Call([&](ISC_STATUS* s) { return isc_dsql_execute(s, tr.Ptr(), Stmt.Ptr(), 1, In); });
    }
};

// The same calls the record path makes for a line (a fresh INSERT in a transaction of its own),
// on values ready beforehand. With range(1) set, those of the journal path: the INSERT and the
// mark's UPDATE, both prepared once, and the commit.
void BM_BareLoop(benchmark::State& state) {
    const TBenchDatabase& db = Database(static_cast<int>(state.range(0)));
    if (!db.Ok) {
        state.SkipWithError("the call database could not be created");
        return;
    }
    const bool withMark = state.range(1) != 0;
    static const char tpb[] = {isc_tpb_version3, isc_tpb_nowait, isc_tpb_read_committed,
                               isc_tpb_rec_version};
    ib::TDbHandle att = Attach(db.Path, Dpb());
    auto start_transaction = [&](ib::TTrHandle& tr) {
        ib::Call([&](ISC_STATUS* s) {
            return isc_start_transaction(s, tr.Ptr(), 1, att.Ptr(),
                                         static_cast<unsigned short>(sizeof tpb), tpb);
        });
    };
    std::vector<std::string> numbers;
    for (int i = 0; i < kPool; ++i) numbers.push_back(Number(i));
    int32_t ints[11] = {12, 4, 26, 9, 2, 11, 1, 0, 2, 15, 201};
    tm when{};
    when.tm_year = 126;
    when.tm_mon = 3;
    when.tm_mday = 12;
    when.tm_hour = 9;
    when.tm_min = 2;
    when.tm_sec = 11;
    ISC_TIMESTAMP stamp;
    isc_encode_timestamp(&when, &stamp);
    TBareStatement insert, mark;
    static int run = 0;
    std::string station = "bare-" + std::to_string(getpid()) + "-" + std::to_string(run++);
    std::string file = "2026-04-12.log";
    int64_t pos = 0, oldPos = 0;
    auto prepareInsert = [&](ib::TTrHandle& tr) {
        insert.Prepare(att, tr, kInsert, 13);
        for (int i = 0; i < 11; ++i) insert.Bind(i, SQL_LONG, &ints[i], sizeof(int32_t));
        insert.Bind(12, SQL_TIMESTAMP, &stamp, sizeof stamp);
    };
    if (withMark) {
        ib::TTrHandle tr;
        start_transaction(tr);
        const std::string create =
            "INSERT INTO JournalMarks (Station, JournalFile, JournalPos) VALUES ('" + station +
            "', '" + file + "', 0)";
        ib::Call([&](ISC_STATUS* s) {
            return isc_dsql_execute_immediate(s, att.Ptr(), tr.Ptr(), 0, create.c_str(), 3,
                                              nullptr);
        });
        prepareInsert(tr);
        mark.Prepare(att, tr,
                     "UPDATE JournalMarks SET JournalFile = ?, JournalPos = ?, Updated = "
                     "CURRENT_TIMESTAMP WHERE Station = ? AND JournalFile = ? AND JournalPos = ?",
                     5);
        mark.Bind(0, SQL_TEXT, file.data(), static_cast<short>(file.size()));
        mark.Bind(1, SQL_INT64, &pos, sizeof pos);
        mark.Bind(2, SQL_TEXT, station.data(), static_cast<short>(station.size()));
        mark.Bind(3, SQL_TEXT, file.data(), static_cast<short>(file.size()));
        mark.Bind(4, SQL_INT64, &oldPos, sizeof oldPos);
        ib::Call([&](ISC_STATUS* s) { return isc_commit_transaction(s, tr.Ptr()); });
        tr.Forget();
    }
    size_t next = 0;
    int64_t failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        try {
            ib::TTrHandle tr;
            start_transaction(tr);
            if (!withMark) prepareInsert(tr);
            std::string& number = numbers[next];
            insert.Bind(11, SQL_TEXT, number.data(), static_cast<short>(number.size()));
            insert.Execute(tr);
            if (withMark) {
                oldPos = pos;
                pos += 48;
                mark.Execute(tr);
            }
            if (!withMark) insert.Stmt = ib::TStmtHandle();
            ib::Call([&](ISC_STATUS* s) { return isc_commit_transaction(s, tr.Ptr()); });
            tr.Forget();
        } catch (const EError&) {
            ++failed;
        }
        next = (next + 1) % numbers.size();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (failed) state.SkipWithError("some rows were not stored");
    Record(state, withMark ? "bare_loop_mark" : "bare_loop", elapsed.count());
}

// The capture line of the journal path: the bytes of the next read, handed over at once.
class TBenchPort : public TCapturePort {
public:
    bool Connected() const override { return Open_; }
    void Open() override { Open_ = true; }
    void Close() override { Open_ = false; }
    std::string ReadText(int count) override {
        std::string out = Waiting.substr(0, static_cast<size_t>(count));
        Waiting.erase(0, out.size());
        return out;
    }
    std::string Name() const override { return "bench"; }
    std::string Waiting;

private:
    bool Open_ = false;
};

class TBenchView : public TCaptureView {
public:
    void LogLine(const std::string&) override {}
    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void LogEvent(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void SetTimerEnabled(bool) override {}
    void ShowStatus(const std::string&) override {}
    void CaptureStateChanged() override {}
    void Post(std::function<void()> fn) override { Posted.push_back(std::move(fn)); }
    void PostDelayed(int, std::function<void()>) override {}
    void RunPosted() {
        while (!Posted.empty()) {
            auto fn = std::move(Posted.front());
            Posted.erase(Posted.begin());
            fn();
        }
    }
    std::vector<std::function<void()>> Posted;
};

std::unique_ptr<TRecorder> Generic24Holder(const std::string& dbPath) {
    auto recorder = std::make_unique<TRecorder>();
    recorder->ConfigLoaded = ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS",
                                              recorder->TemplateComment, recorder->Columns());
    recorder->IncomLog = true;
    recorder->DBPath = dbPath;
    return recorder;
}

// The station's journal path: each read of the port (one line, or a burst of range(1) lines as
// a busy line delivers them) is journaled, made durable and stored line by line.
void BM_JournalPath(benchmark::State& state) {
    const bool source = state.range(2) != 0;
    const TBenchDatabase& db = Database(static_cast<int>(state.range(0)), source);
    if (!db.Ok) {
        state.SkipWithError("the call database could not be created");
        return;
    }
    const int perRead = static_cast<int>(state.range(1));
    TCallDatabase callDb;
    TBenchPort port;
    TStationDatabase stationDb;
    TBenchView view;
    TCaptureControl control(port, stationDb, view, [&] { return Generic24Holder(db.Path); });
    control.CreateHolder();
    static int run = 0;
    if (!control.UseJournal(gDir + "journal-" + std::to_string(run++))) {
        state.SkipWithError("no journal");
        return;
    }
    control.StartStop(false);
    view.RunPosted();
    const int64_t before = CountRows(callDb);  // the data module the station attached
    int next = 0;
    const long long writes = WriteCalls(getpid());
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        port.Waiting += "12/04/26 09:02:11 01 201 00:02:15 " + Number(next++ % kPool) + "\r\n";
        if (next % perRead == 0) {
            control.RxChar(static_cast<int>(port.Waiting.size()));
            view.RunPosted();
        }
    }
    if (!port.Waiting.empty()) control.RxChar(static_cast<int>(port.Waiting.size()));
    view.RunPosted();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const double perLine = static_cast<double>(WriteCalls(getpid()) - writes) /
                           static_cast<double>(state.iterations());
    if (CountRows(callDb) - before != static_cast<int64_t>(state.iterations()))
        state.SkipWithError("not every line was stored");
    control.Shutdown(nullptr);
    view.RunPosted();
    const std::string name =
        std::string(perRead == 1 ? "journal_path" : "journal_burst") + (source ? "" : "_nosource");
    Record(state, name, elapsed.count());
    gWrites[name + "/" + std::to_string(state.range(0))].push_back(perLine);
    state.counters["writes_per_line"] = perLine;
}

// A backlog of journal lines stored range(1) lines to a transaction, the mark in each.
void BM_Backlog(benchmark::State& state) {
    const bool source = state.range(2) != 0;
    const TBenchDatabase& db = Database(static_cast<int>(state.range(0)), source);
    if (!db.Ok) {
        state.SkipWithError("the call database could not be created");
        return;
    }
    const size_t batch = static_cast<size_t>(state.range(1));
    static int run = 0;
    const std::string dir = gDir + "backlog-" + std::to_string(run++);
    TJournal journal;
    std::string error;
    if (!journal.Open(dir, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::string bytes;
    for (int64_t i = 0; i < state.max_iterations; ++i)
        bytes +=
            "12/04/26 09:02:11 01 201 00:02:15 " + Number(static_cast<int>(i % kPool)) + "\r\n";
    journal.Append(bytes);
    journal.Sync();
    TCallDatabase callDb;
    callDb.Connect(db.Path);
    auto rules = Generic24Holder(db.Path);
    TCallStore store(callDb);
    store.Open(journal.StationId(), {});
    TJournalReader reader(dir, {}, journal.LineEnd());
    std::vector<TJournalLine> lines;
    TJournalLine line;
    int64_t stored = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        reader.Next(line);
        lines.push_back(line);
        if (lines.size() == batch) {
            stored += store.Store(*rules, lines, lines.back().End).Stored;
            lines.clear();
        }
    }
    if (!lines.empty()) stored += store.Store(*rules, lines, lines.back().End).Stored;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (stored != static_cast<int64_t>(state.iterations()))
        state.SkipWithError("not every line was stored");
    store.Close();
    Record(state,
           std::string(batch == 1 ? "backlog_by_line" : "backlog_batched") +
               (source ? "" : "_nosource"),
           elapsed.count());
}

// Forced writes on: about 1 400 lines/s here, so 3 000 lines take two seconds; off: about 9 000.
BENCHMARK(BM_RecordPath)->Arg(1)->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_BareLoop)->Args({1, 0})->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_RecordPath)->Arg(0)->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_BareLoop)->Args({0, 0})->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_BareLoop)->Args({1, 1})->Iterations(3000)->Repetitions(9)->UseRealTime();
// Third argument: 1 rows carry their source, 0 a database as earlier builds made it.
BENCHMARK(BM_JournalPath)->Args({1, 1, 1})->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({1, 1, 0})->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({1, 8, 1})->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({1, 8, 0})->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_BareLoop)->Args({0, 1})->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({0, 1, 1})->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({0, 1, 0})->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_Backlog)->Args({1, 1, 1})->Iterations(2000)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_Backlog)->Args({1, 500, 1})->Iterations(50000)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_Backlog)->Args({1, 500, 0})->Iterations(50000)->Repetitions(3)->UseRealTime();

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarvick-dbbench-XXXXXX");
    if (!mkdtemp(tmpl.data())) return 1;
    gDir = tmpl + "/";
    PrepareFirebirdEnvironment(TARVICK_SOURCE_DIR "/data/");
    benchmark::RunSpecifiedBenchmarks();
    for (const int fw : {1, 0}) {
        const std::string key = "/" + std::to_string(fw);
        const double bare = Median(gRates["bare_loop" + key]);
        if (bare <= 0) continue;
        std::printf("forced writes %s: bare loop %.0f rows/s\n", fw ? "on " : "off", bare);
        // The journal path's own bare loop adds the mark's UPDATE to each transaction.
        const double bareMark = Median(gRates["bare_loop_mark" + key]);
        for (const char* path : {"record_path", "journal_path", "journal_path_nosource",
                                 "journal_burst", "journal_burst_nosource", "backlog_by_line",
                                 "backlog_batched", "backlog_batched_nosource"}) {
            const double rate = Median(gRates[path + key]);
            if (rate <= 0) continue;
            std::printf("  %-24s %8.0f lines/s  %6.1f%% of the bare loop", path, rate,
                        100.0 * rate / bare);
            if (bareMark > 0 && std::strncmp(path, "journal", 7) == 0)
                std::printf(", %6.1f%% of the bare loop with the mark (%.0f rows/s)",
                            100.0 * rate / bareMark, bareMark);
            std::printf("\n");
        }
    }
    for (const std::string path :
         {"journal_path/1", "journal_burst/1", "journal_path/0", "backlog_batched/1"}) {
        const std::string name = path.substr(0, path.find('/'));
        const double with = Median(gRates[path]);
        const double without = Median(gRates[name + "_nosource" + path.substr(path.find('/'))]);
        if (with > 0 && without > 0) {
            std::printf("%s, rows with their source: %.1f%% of the rate of earlier builds",
                        path.c_str(), 100.0 * with / without);
            const double writes = Median(gWrites[path]);
            if (writes > 0)
                std::printf(" (write calls a line %.2f, earlier %.2f)", writes,
                            Median(gWrites[name + "_nosource" + path.substr(path.find('/'))]));
            std::printf("\n");
        }
    }
    const double byLine = Median(gRates["backlog_by_line/1"]);
    const double batched = Median(gRates["backlog_batched/1"]);
    if (byLine > 0 && batched > 0)
        std::printf("backlog in batches of 500: %.1f times one transaction per line\n",
                    batched / byLine);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
    return 0;
}
