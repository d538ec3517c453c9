// tarvick-tool upgrade-db: brings the call database of a station directory to the schema this
// build stores with, adding only what is missing.
#include <iostream>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "db/Schema.h"
#include "platform/CodePage.h"
#include "tools/Tool.h"

namespace {

// Other attachments keep statements prepared for the tables as they were: a station attached
// across the upgrade stores its rows without their source until it connects again.
int64_t OtherAttachments(TCallDatabase& db) {
    TFbTransaction& tr = db.DbTransaction;
    tr.StartTransaction();
    int64_t n = 0;
    try {
        TFbStatement q(db.DbConnection, tr);
        q.SQL().Add(
            "SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> "
            "CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0");
        q.ExecQuery();
        n = q.Eof() ? 0 : q.Fields(0).AsInt64();
        q.Close();
        tr.Commit();
    } catch (const std::exception&) {
        tr.RollbackQuietly();
    }
    return n;
}

int RunUpgradeDb(const ToolArgs& args) {
    if (args.size() != 1) {
        std::cerr << "usage: tarvick-tool upgrade-db DIR\n";
        return 1;
    }
    TCallDatabase callDb;
    TRecorder rules;
    if (const int rc = OpenStation(args[0], rules, callDb)) return rc;
    if (const int64_t others = OtherAttachments(callDb))
        std::cerr << "warning: " << others
                  << " other connection(s) to the database: stop every station storing into it "
                     "and start it again after the upgrade\n";
    try {
        const std::vector<std::string> done = UpgradeDatabase(callDb);
        for (const std::string& step : done) std::cout << step << "\n";
        if (done.empty()) std::cout << "the database is up to date\n";
    } catch (const std::exception& e) {
        std::cerr << "database: " << platform::AnsiToUtf8(e.what()) << "\n";
        return 4;
    }
    callDb.Disconnect();
    return 0;
}

const ToolRegistration kUpgradeDb("upgrade-db", "upgrade-db DIR", RunUpgradeDb);

}  // namespace
