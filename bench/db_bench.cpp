// Lines stored per second on the embedded engine: the station's record path (every character
// through TRecorder::PutChar, one transaction and one fresh statement per line) against a bare loop
// of the same client calls with no station code around it. Each runs with forced writes on (the
// engine's default) and off. At the end the record path's median rate is printed as a share of
// the bare loop's; run with --benchmark_enable_random_interleaving=true so that both meet the
// same disk and the same neighbours.
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

#include "capture/Recorder.h"
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

// Forced writes on: about 1 400 lines/s here, so 3 000 lines take two seconds; off: about 9 000.
BENCHMARK(BM_RecordPath)->Arg(1)->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_BareLoop)->Arg(1)->Iterations(3000)->Repetitions(9)->UseRealTime();
BENCHMARK(BM_RecordPath)->Arg(0)->Iterations(15000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_BareLoop)->Arg(0)->Iterations(15000)->Repetitions(5)->UseRealTime();

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
        const double path = Median(gRates["record_path" + key]);
        const double bare = Median(gRates["bare_loop" + key]);
        if (path > 0 && bare > 0)
            std::printf(
                "forced writes %s: record path %.0f lines/s, bare loop %.0f rows/s, %.1f%%\n",
                fw ? "on " : "off", path, bare, 100.0 * path / bare);
    }
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
    return 0;
}
