// tarvick-tool totals: adds up the summaries' totals of every closed day now, as the daily run
// does once a day; after upgrade-db on a database with years of calls, or to see where they are.
#include <iostream>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "platform/CodePage.h"
#include "reports/ReportTotals.h"
#include "tools/Tool.h"

namespace {

const char kUsage[] = "totals DIR [--today YYYY-MM-DD]";

int RunTotals(const ToolArgs& args) {
    std::string dir;
    TDateTime today = Date();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--today" && i + 1 < args.size() && ParseIsoDay(args[i + 1], today)) {
            ++i;
        } else if (dir.empty() && args[i].rfind("--", 0) != 0) {
            dir = args[i];
        } else {
            std::cerr << "usage: tarvick-tool " << kUsage << "\n";
            return 1;
        }
    }
    if (dir.empty()) {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 1;
    }
    TCallDatabase callDb;
    TRecorder rules;
    if (const int rc = OpenStation(dir, rules, callDb)) return rc;
    try {
        TTotalsOptions options;
        options.Today = today;
        const TTotalsResult r = AddUpTotals(callDb.DbConnection, options);
        if (!r.Available) {
            std::cerr << TotalsResultText(r) << "\n";
            return 6;
        }
        std::cout << TotalsResultText(r) << "\n";
        callDb.Disconnect();
        return r.Stopped.empty() ? 0 : 7;
    } catch (const std::exception& e) {
        std::cerr << "database: " << platform::AnsiToUtf8(e.what()) << "\n";
        return 4;
    }
}

const ToolRegistration kTotals("totals", kUsage, RunTotals);

}  // namespace
