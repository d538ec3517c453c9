#pragma once
// Stores a station's journal lines of some days again with the template and rules now in force:
// each transaction deletes the rows (and rejection notes) of the station that stand for a run of
// lines and stores those lines again, so an interruption at any instant leaves every line stored
// exactly once, old or new. Only lines the mark has passed and whose rows carry their source are
// touched. The core of `tarvick-tool reparse`.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "journal/CallStore.h"

class TCallDatabase;
class TRecorder;

struct TReparseCounts {
    int64_t Lines = 0;     // lines stored again
    int64_t Stored = 0;    // rows they gave
    int64_t Rejected = 0;  // lines rejected (not calls, values that do not fit)
    int64_t Replaced = 0;  // rows deleted for them
    int64_t Untraced = 0;  // lines left alone: stored before their rows carried their source
    int64_t Pending = 0;   // lines left alone: not stored yet (after the mark)
};

// A day as --dry-run reports it.
struct TReparseDay {
    std::string File;
    int64_t RowsNow = 0, RowsAfter = 0;
};

class TReparse {
public:
    enum TOutcome { Done, NeedsUpgrade, Failed };

    TReparse(TCallDatabase& db, TRecorder& rules);

    // The station's journal files (names in dir, in order).
    TOutcome Run(const std::string& dir, const std::string& station,
                 const std::vector<std::string>& files, bool dryRun);

    // With forced writes the commit writes every page its batch changed, each a synchronous
    // write; lines whose times are scattered (many days, or an exchange's lines out of order)
    // change a leaf of the date indexes each, so a batch must be large for most of its lines to
    // share those pages. The cache must hold them all until the commit: a page pushed out
    // before it is written, read and written again (the engine's default of 256 pages made that
    // every line's lot). 20 000 lines hold about 4 MB here, 8 192 pages 64 MB in the engine.
    static constexpr size_t kBatch = 20000;
    size_t Batch = kBatch;  // lines to a transaction
    // Pages of cache the tool's attachment asks for (TCallDatabase::CachePages).
    static constexpr int kCachePages = 8192;

    TReparseCounts Counts;
    std::vector<TReparseDay> Days;
    std::string Error;

private:
    bool File(const std::string& dir, const std::string& name, bool dryRun);
    bool Flush(std::vector<TJournalLine>& batch);
    int64_t RowsOf(const std::string& file, uint64_t from, uint64_t to);
    void Execute(std::unique_ptr<TFbStatement>& slot, const char* sql, const std::string& file,
                 uint64_t from, uint64_t to, int64_t* rows);

    TCallDatabase& Db;
    TRecorder& Rules;
    TCallStore Store;
    TJournalPos TracedFrom, Mark;
    std::unique_ptr<TFbStatement> Lock, DeleteRows, DeleteNotes, NoteStale;
    bool NotesStale = false;  // the database keeps summaries' totals
};
