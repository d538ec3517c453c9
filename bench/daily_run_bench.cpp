// The daily statistics run for 200 owners over a year of a busy office (1 000 000 calls) on the
// embedded engine, through the station's own statements. Mail is left out: the owner's mail is
// replaced by a counter, so the figure is the time spent in the database.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "notify/DailyRun.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "mail/SmtpClient.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramDir.h"
#include "tests/common/Process.h"

namespace {

constexpr int kOwners = 200;
constexpr int kCalls = 1000000;

class TCountingDailyRun : public TDailyRun {
public:
    using TDailyRun::TDailyRun;
    int Owners = 0;
    int64_t Seconds = 0;
    TMailResult SendUserStatistics(int32_t in, int32_t out, TDateTime, const std::string&,
                                   const std::string&) override {
        ++Owners;
        Seconds += in + out;
        return {true, false, {}};
    }
};

// The owners and a year of calls, 31 seconds apart, spread over the owners; filled inside the
// engine by one block each (through isql, which leaves the block's own variables alone).
std::string PopulateScript() {
    const std::string owners = std::to_string(kOwners), calls = std::to_string(kCalls);
    return "SET TERM ^ ;\n"
           "EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN\n"
           "  WHILE (i < " +
           owners +
           ") DO BEGIN\n"
           "    INSERT INTO Users (NumberIN, FIO, EMail, SendMail)\n"
           "      VALUES (100 + :i, 'Owner ' || :i, 'owner' || :i || '@office.test', 1);\n"
           "    i = i + 1; END END^\n"
           "EXECUTE BLOCK AS DECLARE i INTEGER = 0; DECLARE t TIMESTAMP; BEGIN\n"
           "  WHILE (i < " +
           calls +
           ") DO BEGIN\n"
           "    t = DATEADD(SECOND, :i * 31, TIMESTAMP '2026-01-01 00:00:00');\n"
           "    INSERT INTO Rings (RDay, RMont, RYear, RHour, RMin, RSec, RLine, TimeHour,\n"
           "        TimeMin, TimeSec, NumberIn, NumberOut, RingDate)\n"
           "      VALUES (EXTRACT(DAY FROM :t), EXTRACT(MONTH FROM :t), 26, EXTRACT(HOUR FROM "
           ":t),\n"
           "        EXTRACT(MINUTE FROM :t), 0, MOD(:i, 8), 0, MOD(:i, 17), MOD(:i * 7, 60),\n"
           "        100 + MOD(:i, " +
           owners +
           "), IIF(MOD(:i, 3) = 0, '0', '8495' || :i), :t);\n"
           "    i = i + 1; END END^\n"
           "SET TERM ; ^\n"
           "COMMIT;\n"
           "SET STATISTICS INDEX Rings_NumberIn_RingDate;\n"
           "COMMIT;\n";
}

struct TStatisticsDatabase {
    std::string Dir;
    TCallDatabase CallDb;
    bool Ok = false;

    TStatisticsDatabase() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tarvick-bench-XXXXXX");
        Dir = std::string(mkdtemp(tmpl.data())) + "/";
        platform::SetProgramDir(Dir);
        PrepareFirebirdEnvironment(Dir);
        const std::string path = Dir + "calls.fdb";
        if (process::Run({TARVICK_SOURCE_DIR "/scripts/create-db.sh", path}) != 0) return;
        std::ofstream(Dir + "populate.sql") << PopulateScript();
        if (process::Run({"isql-fb", "-q", "-bail", "-user", "SYSDBA", "-password", "quillfern",
                          path, "-i", Dir + "populate.sql"}) != 0)
            return;
        CallDb.Connect(path);
        Ok = CallDb.Connected();
    }
    ~TStatisticsDatabase() {
        CallDb.Disconnect();
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
};

TStatisticsDatabase* gDatabase = nullptr;

void BM_StatisticsRun(benchmark::State& state) {
    if (!gDatabase || !gDatabase->Ok) {
        state.SkipWithError("the call database could not be built");
        return;
    }
    TRecorder recorder;
    TSmtpClient smtp;
    TCountingDailyRun dailyRun(recorder, gDatabase->CallDb, smtp, {});
    TryEncodeDate(2026, 6, 15, recorder.LastRunDate);
    for (auto _ : state) {
        dailyRun.Owners = 0;
        dailyRun.Seconds = 0;
        dailyRun.SendStatistics();
    }
    if (dailyRun.Owners != kOwners) state.SkipWithError("not every owner was reported");
    state.counters["owners"] = dailyRun.Owners;
    state.counters["talk_s"] = static_cast<double>(dailyRun.Seconds);
}
BENCHMARK(BM_StatisticsRun)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    benchmark::Initialize(&argc, argv);
    {
        TStatisticsDatabase db;
        gDatabase = &db;
        benchmark::RunSpecifiedBenchmarks();
        gDatabase = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
