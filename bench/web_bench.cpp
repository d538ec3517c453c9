// tarvick-web on a large database: the call list and a month's summary pages (time to the last
// byte), 50 clients at once, and the program's resident memory over 10 000 requests.
//   web_bench [--calls N] [--db PATH]
// Calls are spread over the two years up to today by the database engine itself (EXECUTE
// BLOCK); with --db an existing database from an earlier run is used as it is.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <numeric>
#include <thread>

#include "bench/ProcessStats.h"
#include "reports/ReportTotals.h"
#include "tests/web/WebStage.h"

using namespace webtest;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Inserts `count` calls from the two years before today, a million to a transaction.
bool Generate(TFreshDatabase& db, long count) {
    const long chunk = 1000000;
    for (long from = 0; from < count; from += chunk) {
        const long to = std::min(count, from + chunk);
        char sql[4096];
        std::snprintf(
            sql, sizeof sql,
            "SET TERM ^ ;\n"
            "EXECUTE BLOCK AS\n"
            "  DECLARE i BIGINT = %ld;\n"
            "  DECLARE t TIMESTAMP;\n"
            "  DECLARE s INTEGER;\n"
            "  DECLARE base TIMESTAMP;\n"
            "BEGIN\n"
            "  base = DATEADD(DAY, -730, CAST(CURRENT_DATE AS TIMESTAMP));\n"
            "  WHILE (i < %ld) DO BEGIN\n"
            "    t = DATEADD(SECOND, CAST(i * 63072000.0 / %ld AS INTEGER), base);\n"
            "    s = MOD(i * 37, 900);\n"
            "    INSERT INTO Rings (RDay, RMont, RYear, RHour, RMin, RSec, RLine, TimeHour, "
            "TimeMin,\n"
            "      TimeSec, NumberIn, NumberOut, RingDate) VALUES (EXTRACT(DAY FROM :t),\n"
            "      EXTRACT(MONTH FROM :t), EXTRACT(YEAR FROM :t), EXTRACT(HOUR FROM :t),\n"
            "      EXTRACT(MINUTE FROM :t), CAST(EXTRACT(SECOND FROM :t) AS INTEGER), MOD(:i, 16) "
            "+ 1,\n"
            "      :s / 3600, MOD(:s / 60, 60), MOD(:s, 60), MOD(:i * 7919, 200) + 101,\n"
            "      IIF(MOD(:i, 3) = 0, '0', '8495' || LPAD(MOD(:i * 31, 10000000), 7, '0')), :t);\n"
            "    i = i + 1;\n"
            "  END\n"
            "END^\n"
            "SET TERM ; ^\n"
            "COMMIT;\n",
            from, to, count);
        std::string out;
        const auto t0 = Clock::now();
        if (db.Isql(sql, &out) != 0) {
            std::cerr << out << "\n";
            return false;
        }
        std::cout << "generated " << to << " calls (" << static_cast<long>(Ms(Clock::now() - t0))
                  << " ms for the last million)" << std::endl;
    }
    return true;
}

struct TTimes {
    double Median = 0, Max = 0;
    int Errors = 0;
};

TTimes Time(int port, const std::string& target, const std::string& cookie, int runs) {
    std::vector<double> ms;
    TTimes t;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        const THttpReply r = Get(port, target, cookie);
        ms.push_back(Ms(Clock::now() - t0));
        t.Errors += r.Status != 200;
    }
    std::sort(ms.begin(), ms.end());
    t.Median = ms[ms.size() / 2];
    t.Max = ms.back();
    return t;
}

void Print(const std::string& what, const TTimes& t) {
    std::printf("%-46s median %7.1f ms  max %7.1f ms  errors %d\n", what.c_str(), t.Median, t.Max,
                t.Errors);
}

}  // namespace

int main(int argc, char** argv) {
    long calls = 1000000;
    std::string dbPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--calls") calls = std::atol(argv[i + 1]);
        if (a == "--db") dbPath = argv[i + 1];
    }
    TWebStation s;
    if (!s.Db().Created()) return 1;
    if (dbPath.empty()) {
        if (!Generate(s.Db(), calls)) return 1;
        std::cout << "database: " << s.Db().Path() << " (removed at the end)\n";
    } else {
        s.UseDatabase(dbPath);
    }
    {
        // As the station's daily run does: the days before today added up for the summaries.
        TCallDatabase db;
        db.Connect(dbPath.empty() ? s.Db().Path() : dbPath);
        TTotalsOptions o;
        o.Today = Date();
        const auto t0 = Clock::now();
        const TTotalsResult r = AddUpTotals(db.DbConnection, o);
        std::cout << "totals added up: " << TotalsResultText(r) << " in "
                  << static_cast<long>(Ms(Clock::now() - t0)) << " ms\n";
    }
    s.WriteIni("[Web]\nListen=127.0.0.1:0\n");
    if (s.AddUser("boss", "admin", "", "boss-pass") != 0) return 1;
    if (s.AddUser("anna", "owner", "101,102,103", "anna-pass") != 0) return 1;
    const int port = s.Start();
    if (port == 0) {
        std::cerr << s.Output();
        return 1;
    }
    const std::string admin = SignIn(port, "boss", "boss-pass"),
                      owner = SignIn(port, "anna", "anna-pass");
    std::string count;
    s.Db().Isql("SELECT COUNT(*) FROM Rings;\n", &count);
    std::cout << "calls in the database:" << count.substr(count.find_last_of(' ', count.size() - 2))
              << std::flush;

    // A warm-up of the database's own cache, on a period no figure below uses.
    Time(port, "/calls?period=yesterday", admin, 3);
    Print("call list, this month, first page (first)", Time(port, "/calls?period=month", admin, 1));
    Print("call list, this month, first page", Time(port, "/calls?period=month", admin, 20));
    Print("call list, last month, first page (first)",
          Time(port, "/calls?period=lastmonth", admin, 1));
    Print("call list, last month, first page", Time(port, "/calls?period=lastmonth", admin, 20));
    {
        // The 100th page: follow the list's own links.
        std::string target = "/calls?period=lastmonth";
        for (int i = 0; i < 99; ++i) {
            const std::string body = Get(port, target, admin).Body;
            const size_t at = body.find("after=");
            if (at == std::string::npos) break;
            target =
                "/calls?period=lastmonth&after=" + body.substr(at + 6, body.find('"', at) - at - 6);
        }
        Print("call list, last month, 100th page", Time(port, target, admin, 20));
    }
    Print("call list, owner of 3 extensions, this month",
          Time(port, "/calls?period=month", owner, 20));
    // Each summary once as read from the database, then as kept for the next request.
    for (const char* by : {"extension", "day", "hour", "line", "number"}) {
        const std::string target = std::string("/summary?by=") + by + "&period=lastmonth";
        Print(std::string("summary by ") + by + ", last month, first",
              Time(port, target, admin, 1));
        Print(std::string("summary by ") + by + ", last month, again",
              Time(port, target, admin, 10));
    }
    Print("metrics", Time(port, "/metrics", "", 20));

    {
        std::atomic<int> errors{0}, done{0};
        std::vector<double> worst(50);
        const auto t0 = Clock::now();
        std::vector<std::thread> clients;
        for (int c = 0; c < 50; ++c)
            clients.emplace_back([&, c] {
                for (int i = 0; i < 10; ++i) {
                    const auto r0 = Clock::now();
                    const THttpReply r =
                        Get(port, i % 2 ? "/summary?by=day&period=month" : "/calls?period=month",
                            admin);
                    worst[c] = std::max(worst[c], Ms(Clock::now() - r0));
                    errors += r.Status != 200;
                    ++done;
                }
            });
        for (auto& t : clients) t.join();
        std::printf(
            "50 clients x 10 requests: %d answered, %d errors, %.0f ms in all, slowest %.0f ms\n",
            done.load(), errors.load(), Ms(Clock::now() - t0),
            *std::max_element(worst.begin(), worst.end()));
    }

    const pid_t pid = static_cast<pid_t>(s.Pid());
    std::printf("resident memory before 10 000 requests: %.1f MB\n", ResidentMb(pid));
    const char* targets[] = {
        "/calls?period=month", "/summary?by=hour&period=yesterday", "/metrics", "/nothing",
        "/calls?ext=x",        "/calls?period=yesterday&after=1-1"};
    int errors = 0;
    for (int i = 1; i <= 10000; ++i) {
        const THttpReply r = Get(port, targets[i % 6], admin);
        errors += r.Status >= 500;
        if (i % 2000 == 0) std::printf("  after %5d requests: %.1f MB\n", i, ResidentMb(pid));
    }
    std::printf("server errors in 10 000 requests: %d\n", errors);
    return 0;
}
