#include "journal/Reparse.h"

#include <limits>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "db/Schema.h"

namespace {

// Taken first in each transaction, so that a replay storing for the same station waits its turn.
const char kLock[] = "UPDATE JournalMarks SET Updated = CURRENT_TIMESTAMP WHERE Station = :Station";
const char kDeleteRows[] =
    "DELETE FROM Rings WHERE Station = :Station AND JournalFile = :File "
    "AND JournalPos BETWEEN :FromPos AND :ToPos";
const char kDeleteNotes[] =
    "DELETE FROM RejectedLines WHERE Station = :Station AND JournalFile = :File "
    "AND JournalPos BETWEEN :FromPos AND :ToPos";
// The days of the rows about to go: the summaries' totals counted them, so until their month is
// added up again reports count those days from the calls.
const char kNoteStale[] =
    "INSERT INTO RingTotalStale (CallDay, Noted) SELECT DISTINCT CAST(RingDate AS DATE), "
    "CURRENT_TIMESTAMP FROM Rings WHERE Station = :Station AND JournalFile = :File "
    "AND JournalPos BETWEEN :FromPos AND :ToPos";
const char kCountRows[] =
    "SELECT COUNT(*) FROM Rings WHERE Station = :Station AND JournalFile = :File "
    "AND JournalPos BETWEEN :FromPos AND :ToPos";

// A batch commits or is given up whole, so the server need keep no undo log of it: a rollback
// (or a kill) leaves its row versions dead, never visible.
class TNoAutoUndo {
public:
    explicit TNoAutoUndo(TFbTransaction& tr) : Tr(tr) { Tr.SetNoAutoUndo(true); }
    ~TNoAutoUndo() { Tr.SetNoAutoUndo(false); }
    TNoAutoUndo(const TNoAutoUndo&) = delete;
    TNoAutoUndo& operator=(const TNoAutoUndo&) = delete;

private:
    TFbTransaction& Tr;
};

}  // namespace

TReparse::TReparse(TCallDatabase& db, TRecorder& rules) : Db(db), Rules(rules), Store(db) {}

TReparse::TOutcome TReparse::Run(const std::string& dir, const std::string& station,
                                 const std::vector<std::string>& files, bool dryRun) {
    Store.Open(station, {});
    if (!Store.ExactlyOnce() || !Store.KeepsRejected() || !Store.KeepsSource() ||
        !Store.KeepsTraced()) {
        Error =
            "the call database keeps no journal position with its rows: bring it up to date "
            "with tarvick-tool upgrade-db first";
        return NeedsUpgrade;
    }
    Mark = Store.Mark();
    NotesStale = InTransaction(Db.DbTransaction,
                               [&] { return HasTotalsTables(Db.DbConnection, Db.DbTransaction); });
    // Without a beginning nothing of this station can be found again: all its lines are left.
    if (!Store.Traced(TracedFrom)) TracedFrom = {std::string(1, '\x7f'), 0};
    const TNoAutoUndo batches(Db.DbTransaction);
    bool ok = true;
    for (const std::string& name : files)
        if (!(ok = File(dir, name, dryRun))) break;
    Lock.reset();
    DeleteRows.reset();
    DeleteNotes.reset();
    NoteStale.reset();
    Store.Close();
    return ok ? Done : Failed;
}

bool TReparse::File(const std::string& dir, const std::string& name, bool dryRun) {
    TJournalReader reader = TJournalReader::OneFile(dir + name);
    std::vector<TJournalLine> batch;
    TReparseDay day{name, 0, 0};
    uint64_t first = std::numeric_limits<uint64_t>::max(), last = 0;
    TJournalLine line;
    while (reader.Next(line)) {
        if (line.End > Mark) {
            ++Counts.Pending;
            continue;
        }
        if (line.Start < TracedFrom) {
            ++Counts.Untraced;
            continue;
        }
        ++Counts.Lines;
        if (dryRun) {
            first = std::min(first, line.Start.Offset);
            last = std::max(last, line.Start.Offset);
            Rules.RingText = line.Text;
            TRingRow row;
            const TLineVerdict verdict =
                line.Unfinished ? TLineVerdict::Blank : Rules.JudgeLine(row);
            Rules.ClearRecord();
            if (verdict == TLineVerdict::Store && TRecorder::RowRefused(row, Store.Rings()).empty())
                ++day.RowsAfter;
            else if (verdict == TLineVerdict::BadDate || verdict == TLineVerdict::Store)
                ++Counts.Rejected;
            continue;
        }
        batch.push_back(std::move(line));
        if (batch.size() >= Batch && !Flush(batch)) return false;
    }
    if (!reader.Error().empty()) {
        Error = reader.Error();
        return false;
    }
    if (dryRun) {
        try {
            if (first <= last) day.RowsNow = RowsOf(name, first, last);
        } catch (const std::exception& e) {
            Error = e.what();
            return false;
        }
        Counts.Stored += day.RowsAfter;
        Counts.Replaced += day.RowsNow;
        Days.push_back(day);
        return true;
    }
    return Flush(batch);
}

void TReparse::Execute(std::unique_ptr<TFbStatement>& slot, const char* sql,
                       const std::string& file, uint64_t from, uint64_t to, int64_t* rows) {
    if (!slot) {
        slot = std::make_unique<TFbStatement>(Db.DbConnection, Db.DbTransaction);
        slot->SQL().Add(sql);
    }
    TFbStatement& q = *slot;
    q.Params(0).SetAsString(Store.StationId());
    q.Params(1).SetAsString(file);
    q.Params(2).SetAsInt64(static_cast<int64_t>(from));
    q.Params(3).SetAsInt64(static_cast<int64_t>(to));
    q.ExecQuery();
    if (rows) *rows += q.RowsAffected();
}

int64_t TReparse::RowsOf(const std::string& file, uint64_t from, uint64_t to) {
    return InTransaction(Db.DbTransaction, [&] {
        TFbStatement q(Db.DbConnection, Db.DbTransaction);
        q.SQL().Add(kCountRows);
        q.Params(0).SetAsString(Store.StationId());
        q.Params(1).SetAsString(file);
        q.Params(2).SetAsInt64(static_cast<int64_t>(from));
        q.Params(3).SetAsInt64(static_cast<int64_t>(to));
        q.ExecQuery();
        return q.Eof() ? int64_t{0} : q.Fields(0).AsInt64();
    });
}

// One transaction: the batch's rows and notes go, its lines come in again. A batch never spans
// two files, and holds every line of the file between its first and its last.
bool TReparse::Flush(std::vector<TJournalLine>& batch) {
    if (batch.empty()) return true;
    const std::string& file = batch.front().Start.File;
    const uint64_t from = batch.front().Start.Offset, to = batch.back().Start.Offset;
    TFbTransaction& tr = Db.DbTransaction;
    TStoreResult result;
    int64_t replaced = 0, stored = 0;
    try {
        tr.RollbackQuietly();
        tr.StartTransaction();
        if (!Lock) {
            Lock = std::make_unique<TFbStatement>(Db.DbConnection, tr);
            Lock->SQL().Add(kLock);
        }
        Lock->Params(0).SetAsString(Store.StationId());
        Lock->ExecQuery();
        if (NotesStale) Execute(NoteStale, kNoteStale, file, from, to, nullptr);
        Execute(DeleteRows, kDeleteRows, file, from, to, &replaced);
        Execute(DeleteNotes, kDeleteNotes, file, from, to, nullptr);
        for (const TJournalLine& line : batch)
            if (Store.StoreLineIn(Rules, line, result)) ++stored;
        tr.Commit();
    } catch (const std::exception& e) {
        tr.RollbackQuietly();
        Error = e.what();
        return false;
    }
    Counts.Stored += stored;
    Counts.Replaced += replaced;
    Counts.Rejected += static_cast<int64_t>(result.Rejected.size());
    batch.clear();
    return true;
}
