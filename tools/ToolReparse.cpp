// tarvick-tool reparse: a station's journal lines of some days stored again with the template
// and rules now in force, in place of the rows they gave before.
#include <cstdio>
#include <iostream>

#include "capture/Recorder.h"
#include "common/DateTime.h"
#include "db/CallDatabase.h"
#include "journal/Journal.h"
#include "journal/Reparse.h"
#include "platform/AppendFile.h"
#include "platform/CodePage.h"
#include "tools/Tool.h"

namespace {

const char kUsage[] = "reparse DIR --from YYYY-MM-DD [--to YYYY-MM-DD] [--dry-run]";

bool IsDay(const std::string& text) {
    int y = 0, m = 0, d = 0;
    char tail = 0;
    TDateTime ignored;
    return text.size() == 10 &&
           std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 && text[4] == '-' &&
           text[7] == '-' && TryEncodeDate(y, m, d, ignored);
}

int RunReparse(const ToolArgs& args) {
    std::string dir, from, to;
    bool dryRun = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--dry-run") {
            dryRun = true;
        } else if ((args[i] == "--from" || args[i] == "--to") && i + 1 < args.size()) {
            (args[i] == "--from" ? from : to) = args[i + 1];
            ++i;
        } else if (dir.empty() && args[i].rfind("--", 0) != 0) {
            dir = args[i];
        } else {
            std::cerr << "usage: tarvick-tool " << kUsage << "\n";
            return 1;
        }
    }
    if (dir.empty() || !IsDay(from) || (!to.empty() && !IsDay(to)) || (!to.empty() && to < from)) {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 1;
    }
    const std::string journal = WithSlash(dir) + "journal/";
    // The station writes and stores its journal under this lock; its lines must not move
    // while they are stored again.
    platform::TExclusiveLock lock;
    int error = 0;
    switch (lock.Take(journal + TJournal::kLockFile, error)) {
        case platform::TExclusiveLock::Taken:
            break;
        case platform::TExclusiveLock::Busy:
            std::cerr << "the station of " << dir
                      << " is capturing (its journal is locked): stop it first\n";
            return 5;
        case platform::TExclusiveLock::Failed:
            std::cerr << "cannot lock " << journal << TJournal::kLockFile << ": "
                      << platform::SystemErrorText(error) << "\n";
            return 1;
    }
    const std::string station = ReadStationId(journal);
    if (station.empty()) {
        std::cerr << "no journal in " << journal << "\n";
        return 1;
    }
    std::vector<std::string> files;
    for (const std::string& name : JournalFiles(journal)) {
        const std::string day = name.substr(0, 10);
        if (day >= from && (to.empty() || day <= to)) files.push_back(name);
    }

    TCallDatabase callDb;
    callDb.CachePages = TReparse::kCachePages;
    TRecorder rules;
    if (const int rc = OpenStation(dir, rules, callDb)) return rc;
    TReparse reparse(callDb, rules);
    TReparse::TOutcome outcome = TReparse::Failed;
    try {
        outcome = reparse.Run(journal, station, files, dryRun);
    } catch (const std::exception& e) {
        reparse.Error = e.what();
    }
    callDb.Disconnect();
    if (outcome == TReparse::NeedsUpgrade) {
        std::cerr << reparse.Error << "\n";
        return 6;
    }
    for (const TReparseDay& day : reparse.Days)
        std::cout << day.File.substr(0, 10) << ": rows now " << day.RowsNow << ", after "
                  << day.RowsAfter << "\n";
    const TReparseCounts& c = reparse.Counts;
    std::cout << "lines=" << c.Lines << " stored=" << c.Stored << " rejected=" << c.Rejected
              << " replaced=" << c.Replaced << std::endl;
    if (c.Untraced > 0)
        std::cerr << c.Untraced
                  << " line(s) left as they are: stored before the rows kept their journal "
                     "position\n";
    if (c.Pending > 0)
        std::cerr << c.Pending << " line(s) not stored yet: the station stores them\n";
    if (outcome == TReparse::Failed) {
        std::cerr << "database: " << platform::AnsiToUtf8(reparse.Error) << "\n";
        return 4;
    }
    return 0;
}

const ToolRegistration kReparse("reparse", kUsage, RunReparse);

}  // namespace
