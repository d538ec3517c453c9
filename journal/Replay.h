#pragma once
// Stores the lines of capture journals that the call database does not hold yet, with the
// station's own exactly-once mark, and looks again at lines rejected before (a corrected
// template brings them in). The core of `tarvick-tool replay`.
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "journal/CallStore.h"

class TCallDatabase;
class TRecorder;

struct TReplayCounts {
    int64_t Lines = 0, Stored = 0;
};

class TReplay {
public:
    TReplay(TCallDatabase& db, TRecorder& rules);

    // One station's files (names of dir), in order. False when the database failed.
    bool Run(const std::string& dir, const std::string& station, std::vector<std::string> files,
             bool everyLine, const TJournalPos& fallback);

    std::string OwnJournal;
    TReplayCounts Counts;
    std::string Error;

private:
    bool File(const std::string& dir, const std::string& name, bool whole);
    bool FlushAgain();
    bool FlushNew();
    bool Busy(const std::string& error, int attempt);

    TRecorder& Rules;
    TCallStore Store;
    std::vector<TJournalLine> Again, New;
    std::error_code Ignored;
};
