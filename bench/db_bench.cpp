// Lines stored per second on the embedded engine: the station's record path (every character
// through TRecorder::PutChar, one transaction and one fresh statement per line), the station's
// journal path (the capture control appending each read to the journal, making it durable and
// storing each line in a transaction of its own with the station's mark), and a backlog stored
// from the journal in batches, against a bare loop of the same client calls with no station code
// around it. Each runs with forced writes on (the engine's default) and off. At the end the
// median rates are printed as shares of the bare loop's; run with
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

#include "capture/CallStore.h"
#include "capture/Controller.h"
#include "capture/Recorder.h"
#include "capture/Station.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
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

// One database per forced-writes setting, shared by the record path and the bare loop.
struct TBenchDatabase {
    std::string Path;
    bool Ok = false;
};

std::string gDir;
std::map<int, TBenchDatabase> gDatabases;
std::map<std::string, std::vector<double>> gRates;  // lines/s of every repetition

const TBenchDatabase& Database(int forcedWrites) {
    TBenchDatabase& db = gDatabases[forcedWrites];
    if (!db.Path.empty()) return db;
    db.Path = gDir + "calls-fw" + std::to_string(forcedWrites) + ".fdb";
    if (process::Run({TARVICK_SOURCE_DIR "/scripts/create-db.sh", db.Path}) != 0) return db;
    try {
        // The forced-writes flag lives in the database header; an attach with the item sets it.
        Attach(db.Path, Dpb(forcedWrites));
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

void Record(benchmark::State& state, const char* name, double seconds) {
    const double rate = static_cast<double>(state.iterations()) / seconds;
    gRates[std::string(name) + "/" + std::to_string(state.range(0))].push_back(rate);
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

// The same calls the record path makes for a line, on values ready beforehand.
void BM_BareLoop(benchmark::State& state) {
    const TBenchDatabase& db = Database(static_cast<int>(state.range(0)));
    if (!db.Ok) {
        state.SkipWithError("the call database could not be created");
        return;
    }
    static const char tpb[] = {isc_tpb_version3, isc_tpb_nowait, isc_tpb_read_committed,
                               isc_tpb_rec_version};
    ib::TDbHandle att = Attach(db.Path, Dpb());
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
    short notNull = 0;
    std::unique_ptr<char[]> inArea(new char[XSQLDA_LENGTH(13)]());
    std::unique_ptr<char[]> outArea(new char[XSQLDA_LENGTH(1)]());
    auto* in = reinterpret_cast<XSQLDA*>(inArea.get());
    auto* out = reinterpret_cast<XSQLDA*>(outArea.get());
    size_t next = 0;
    int64_t failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        try {
            ib::TTrHandle tr;
            ib::Call([&](ISC_STATUS* s) {
                return isc_start_transaction(s, tr.Ptr(), 1, att.Ptr(),
                                             static_cast<unsigned short>(sizeof tpb), tpb);
            });
            {
                ib::TStmtHandle stmt;
                ib::Call([&](ISC_STATUS* s) {
                    return isc_dsql_allocate_statement(s, att.Ptr(), stmt.Ptr());
                });
                out->version = in->version = SQLDA_VERSION1;
                out->sqln = 1;
                in->sqln = 13;
                ib::Call([&](ISC_STATUS* s) {
                    return isc_dsql_prepare(s, tr.Ptr(), stmt.Ptr(), 0, kInsert, 3, out);
                });
                ib::Call(
                    [&](ISC_STATUS* s) { return isc_dsql_describe_bind(s, stmt.Ptr(), 1, in); });
                for (int i = 0; i < 11; ++i) {
                    XSQLVAR& v = in->sqlvar[i];
                    v.sqltype = SQL_LONG | 1;
                    v.sqlscale = 0;
                    v.sqllen = sizeof(int32_t);
                    v.sqldata = reinterpret_cast<char*>(&ints[i]);
                    v.sqlind = &notNull;
                }
                std::string& number = numbers[next];
                XSQLVAR& text = in->sqlvar[11];
                text.sqltype = SQL_TEXT | 1;
                text.sqlsubtype = 127;
                text.sqllen = static_cast<short>(number.size());
                text.sqldata = number.data();
                text.sqlind = &notNull;
                XSQLVAR& date = in->sqlvar[12];
                date.sqltype = SQL_TIMESTAMP | 1;
                date.sqllen = sizeof stamp;
                date.sqldata = reinterpret_cast<char*>(&stamp);
                date.sqlind = &notNull;
                ib::Call([&](ISC_STATUS* s) {
                    return isc_dsql_execute(s, tr.Ptr(), stmt.Ptr(), 1, in);
                });
            }
            ib::Call([&](ISC_STATUS* s) { return isc_commit_transaction(s, tr.Ptr()); });
            tr.Forget();
        } catch (const EError&) {
            ++failed;
        }
        next = (next + 1) % numbers.size();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (failed) state.SkipWithError("some rows were not stored");
    Record(state, "bare_loop", elapsed.count());
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
    const TBenchDatabase& db = Database(static_cast<int>(state.range(0)));
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
    if (CountRows(callDb) - before != static_cast<int64_t>(state.iterations()))
        state.SkipWithError("not every line was stored");
    control.Shutdown(nullptr);
    view.RunPosted();
    Record(state, perRead == 1 ? "journal_path" : "journal_burst", elapsed.count());
}

// A backlog of journal lines stored range(1) lines to a transaction, the mark in each.
void BM_Backlog(benchmark::State& state) {
    const TBenchDatabase& db = Database(static_cast<int>(state.range(0)));
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
    Record(state, batch == 1 ? "backlog_by_line" : "backlog_batched", elapsed.count());
}

// Forced writes on: about 1 400 lines/s here, so 3 000 lines take two seconds; off: about 9 000.
BENCHMARK(BM_RecordPath)->Arg(1)->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_BareLoop)->Arg(1)->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_RecordPath)->Arg(0)->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_BareLoop)->Arg(0)->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({1, 1})->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({1, 8})->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_JournalPath)->Args({0, 1})->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_Backlog)->Args({1, 1})->Iterations(2000)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_Backlog)->Args({1, 500})->Iterations(50000)->Repetitions(3)->UseRealTime();

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
        for (const char* path : {"record_path", "journal_path", "journal_burst", "backlog_by_line",
                                 "backlog_batched"}) {
            const double rate = Median(gRates[path + key]);
            if (rate > 0)
                std::printf("  %-16s %8.0f lines/s  %6.1f%% of the bare loop\n", path, rate,
                            100.0 * rate / bare);
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
