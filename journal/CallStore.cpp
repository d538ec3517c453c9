#include "journal/CallStore.h"

#include <exception>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"

namespace {

const char kReadMark[] =
    "SELECT JournalFile, JournalPos FROM JournalMarks WHERE Station = :Station";
const char kReadTracedMark[] =
    "SELECT JournalFile, JournalPos, TracedFile, TracedPos FROM JournalMarks "
    "WHERE Station = :Station";
const char kUpdateMark[] =
    "UPDATE JournalMarks SET JournalFile = :File, JournalPos = :Pos, Updated = CURRENT_TIMESTAMP "
    "WHERE Station = :Station AND JournalFile = :OldFile AND JournalPos = :OldPos";
const char kCreateMark[] =
    "INSERT INTO JournalMarks (Station, JournalFile, JournalPos, Updated) "
    "VALUES (:Station, :File, :Pos, CURRENT_TIMESTAMP)";
// With rows that carry their source, the first move sets where that began; a move by a
// program that stores rows without it ends the span, so it never covers a row it cannot find.
const char kUpdateTracedMark[] =
    "UPDATE JournalMarks SET JournalFile = :File, JournalPos = :Pos, Updated = CURRENT_TIMESTAMP, "
    "TracedFile = IIF(TracedFile IS NULL, :TracedFile, TracedFile), "
    "TracedPos = IIF(TracedFile IS NULL, :TracedPos, TracedPos) "
    "WHERE Station = :Station AND JournalFile = :OldFile AND JournalPos = :OldPos";
const char kUpdateUntracedMark[] =
    "UPDATE JournalMarks SET JournalFile = :File, JournalPos = :Pos, Updated = CURRENT_TIMESTAMP, "
    "TracedFile = NULL, TracedPos = NULL "
    "WHERE Station = :Station AND JournalFile = :OldFile AND JournalPos = :OldPos";
const char kCreateTracedMark[] =
    "INSERT INTO JournalMarks (Station, JournalFile, JournalPos, Updated, TracedFile, TracedPos) "
    "VALUES (:Station, :File, :Pos, CURRENT_TIMESTAMP, :TracedFile, :TracedPos)";
const char kUntrace[] =
    "UPDATE JournalMarks SET TracedFile = NULL, TracedPos = NULL WHERE Station = :Station";
const char kReject[] =
    "UPDATE OR INSERT INTO RejectedLines (Station, JournalFile, JournalPos, Reason, Rejected) "
    "VALUES (:Station, :File, :Pos, :Reason, CURRENT_TIMESTAMP) "
    "MATCHING (Station, JournalFile, JournalPos)";
const char kForget[] =
    "DELETE FROM RejectedLines WHERE Station = :Station AND JournalFile = :File AND "
    "JournalPos = :Pos";
const char kRejectedIn[] =
    "SELECT JournalPos FROM RejectedLines WHERE Station = :Station AND JournalFile = :File "
    "ORDER BY JournalPos";

constexpr size_t kReasonWidth = 250;
const char kBadDate[] = "no valid date-time where the template reads it";

// A reason as the column keeps it: one line of printable ASCII (server messages may quote the
// line's own bytes, which need not be text at all).
std::string Plain(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (out.size() >= kReasonWidth) break;
        const auto u = static_cast<unsigned char>(c);
        out += (u >= 32 && u < 127) ? c : ' ';
    }
    return out;
}

bool TableExists(TCallDatabase& db, const char* name, TTableColumns& columns) {
    columns.Read(db.DbConnection, db.DbTransaction, name);
    return !columns.Columns().empty();
}

// The one transaction of the data module, started afresh.
void Begin(TFbTransaction& tr) {
    tr.RollbackQuietly();
    tr.StartTransaction();
}

// Nothing of a failed transaction counts: the lines it had taken are not stored.
TStoreResult FailedResult(TFbTransaction& tr, const std::exception& e) {
    tr.RollbackQuietly();
    TStoreResult result;
    result.Error = e.what();
    return result;
}

}  // namespace

TCallStore::TCallStore(TCallDatabase& db) : Db(db) {}

TCallStore::~TCallStore() {
    Close();
}

void TCallStore::Close() {
    Insert.reset();
    Update.reset();
    Create.reset();
    Reject.reset();
    Forget.reset();
    Untrace.reset();
}

TFbStatement& TCallStore::Statement(std::unique_ptr<TFbStatement>& slot, const char* sql) {
    // Prepared once per attachment: a backlog stores thousands of rows a second only when the
    // statements are not prepared again for every line.
    if (!slot) {
        slot = std::make_unique<TFbStatement>(Db.DbConnection, Db.DbTransaction);
        slot->SQL().Add(sql);
    }
    return *slot;
}

void TCallStore::Open(const std::string& station, const TJournalPos& fallback) {
    Close();
    Station = station;
    Fallback = fallback;
    InTransaction(Db.DbTransaction, [&] {
        TTableColumns marks, rejected;
        HasMarks = TableExists(Db, "JOURNALMARKS", marks);
        HasTraced = marks.HasAll({"TRACEDFILE", "TRACEDPOS"});
        HasRejected = TableExists(Db, "REJECTEDLINES", rejected);
        RingColumns.Read(Db.DbConnection, Db.DbTransaction, "RINGS");
        // An identity longer than its column would refuse every row: such rows go without.
        HasSource = RingColumns.HasAll({"STATION", "JOURNALFILE", "JOURNALPOS"}) &&
                    RingColumns.Refuses("STATION", Station).empty();
        HasCaller = RingColumns.HasAll({"CALLER"});
        ReadMark();
    });
}

void TCallStore::ReadMark() {
    Mark_ = Fallback;
    MarkRow = false;
    TracedSet = false;
    if (!HasMarks) return;
    TFbStatement q(Db.DbConnection, Db.DbTransaction);
    q.SQL().Add(HasTraced ? kReadTracedMark : kReadMark);
    q.Params(0).SetAsString(Station);
    q.ExecQuery();
    if (q.Eof()) return;
    Mark_ = {q.Fields(0).AsString(), static_cast<uint64_t>(q.Fields(1).AsInt64())};
    MarkRow = true;
    if (HasTraced && !q.Fields(2).IsNull()) {
        TracedSet = true;
        TracedFrom = {q.Fields(2).AsString(), static_cast<uint64_t>(q.Fields(3).AsInt64())};
    }
}

bool TCallStore::Traced(TJournalPos& from) const {
    if (TracedSet) from = TracedFrom;
    return TracedSet;
}

// First in the transaction, so that a second program storing for the same station meets the
// row's lock before either has inserted anything.
bool TCallStore::MoveMark(const TJournalPos& to) {
    const auto mark = static_cast<int64_t>(Mark_.Offset);
    if (MarkRow) {
        TFbStatement& q = Statement(Update, !HasTraced  ? kUpdateMark
                                            : HasSource ? kUpdateTracedMark
                                                        : kUpdateUntracedMark);
        int i = 0;
        q.Params(i++).SetAsString(to.File);
        q.Params(i++).SetAsInt64(static_cast<int64_t>(to.Offset));
        if (HasTraced && HasSource) {
            q.Params(i++).SetAsString(Mark_.File);
            q.Params(i++).SetAsInt64(mark);
        }
        q.Params(i++).SetAsString(Station);
        q.Params(i++).SetAsString(Mark_.File);
        q.Params(i++).SetAsInt64(mark);
        q.ExecQuery();
        return q.RowsAffected() == 1;
    }
    TFbStatement& q = Statement(Create, HasTraced ? kCreateTracedMark : kCreateMark);
    q.Params(0).SetAsString(Station);
    q.Params(1).SetAsString(to.File);
    q.Params(2).SetAsInt64(static_cast<int64_t>(to.Offset));
    if (HasTraced && HasSource) {
        q.Params(3).SetAsString(Mark_.File);
        q.Params(4).SetAsInt64(mark);
    } else if (HasTraced) {
        q.Params(3).Clear();
        q.Params(4).Clear();
    }
    try {
        q.ExecQuery();
    } catch (const EDatabaseError& e) {
        if (e.Has(isc_unique_key_violation) || e.Has(isc_no_dup)) return false;
        throw;
    }
    return true;
}

void TCallStore::ForgetTraced() {
    TFbStatement& q = Statement(Untrace, kUntrace);
    q.Params(0).SetAsString(Station);
    q.ExecQuery();
}

void TCallStore::NoteRejected(const TJournalLine& line, const std::string& reason) {
    if (!HasRejected) return;
    TFbStatement& q = Statement(Reject, kReject);
    q.Params(0).SetAsString(Station);
    q.Params(1).SetAsString(line.Start.File);
    q.Params(2).SetAsInt64(static_cast<int64_t>(line.Start.Offset));
    q.Params(3).SetAsString(Plain(reason));
    q.ExecQuery();
}

bool TCallStore::ForgetRejected(const TJournalLine& line) {
    TFbStatement& q = Statement(Forget, kForget);
    q.Params(0).SetAsString(Station);
    q.Params(1).SetAsString(line.Start.File);
    q.Params(2).SetAsInt64(static_cast<int64_t>(line.Start.Offset));
    q.ExecQuery();
    return q.RowsAffected() == 1;
}

bool TCallStore::StoreLine(TRecorder& rules, const TJournalLine& line, TStoreResult& result,
                           bool& rejected) {
    rejected = false;
    if (line.Unfinished) return false;
    rules.RingText = line.Text;
    TRingRow row;
    const TLineVerdict verdict = rules.JudgeLine(row);
    rules.ClearRecord();
    if (verdict == TLineVerdict::BadDate) {
        rejected = true;
        result.Rejected.push_back({line.Text, kBadDate});
        NoteRejected(line, kBadDate);
        return false;
    }
    if (verdict != TLineVerdict::Store) return false;
    auto reject = [&](const std::string& reason) {
        rejected = true;
        result.Rejected.push_back({line.Text, reason});
        NoteRejected(line, reason);
        return false;
    };
    // A value its column cannot hold is the line's fault: it must not reach the server, whose
    // refusal would otherwise have to be told apart from the database failing.
    if (std::string why = TRecorder::RowRefused(row, RingColumns); !why.empty()) return reject(why);
    TFbStatement& insert = Statement(Insert, TRecorder::InsertRingSql(HasCaller, HasSource));
    TRecorder::BindRing(insert, row, HasCaller);
    if (HasSource) {
        const int at = HasCaller ? 14 : 13;
        insert.Params(at).SetAsString(Station);
        insert.Params(at + 1).SetAsString(line.Start.File);
        insert.Params(at + 2).SetAsInt64(static_cast<int64_t>(line.Start.Offset));
    }
    try {
        insert.ExecQuery();
    } catch (const EDatabaseError& e) {
        // The server undid the one statement; the transaction goes on with the others.
        if (!e.RefusesData()) throw;
        return reject(e.what());
    }
    return true;
}

bool TCallStore::StoreLineIn(TRecorder& rules, const TJournalLine& line, TStoreResult& result) {
    bool rejected = false;
    return StoreLine(rules, line, result, rejected);
}

TStoreResult TCallStore::Store(TRecorder& rules, const std::vector<TJournalLine>& lines,
                               const TJournalPos& to, const std::function<void()>& beforeCommit) {
    TStoreResult result;
    TFbTransaction& tr = Db.DbTransaction;
    try {
        Begin(tr);
        if (HasMarks && !MoveMark(to)) {
            tr.Rollback();
            Begin(tr);
            ReadMark();
            tr.Commit();
            result.Status = TStoreResult::MarkMoved;
            return result;
        }
        for (const TJournalLine& line : lines) {
            bool rejected = false;
            if (StoreLine(rules, line, result, rejected))
                ++result.Stored;
            else
                ++result.Skipped;
        }
        if (beforeCommit) beforeCommit();
        tr.Commit();
    } catch (const std::exception& e) {
        return FailedResult(tr, e);
    }
    if (HasMarks && HasTraced && (HasSource != TracedSet)) {
        TracedSet = HasSource;
        TracedFrom = Mark_;
    }
    Mark_ = to;
    MarkRow = HasMarks;
    result.Status = TStoreResult::Committed;
    return result;
}

std::vector<uint64_t> TCallStore::RejectedIn(const std::string& file) {
    if (!HasRejected) return {};
    return InTransaction(Db.DbTransaction, [&] {
        std::vector<uint64_t> offsets;
        TFbStatement q(Db.DbConnection, Db.DbTransaction);
        q.SQL().Add(kRejectedIn);
        q.Params(0).SetAsString(Station);
        q.Params(1).SetAsString(file);
        for (q.ExecQuery(); !q.Eof(); q.Next())
            offsets.push_back(static_cast<uint64_t>(q.Fields(0).AsInt64()));
        return offsets;
    });
}

TStoreResult TCallStore::Reexamine(TRecorder& rules, const std::vector<TJournalLine>& lines) {
    TStoreResult result;
    TFbTransaction& tr = Db.DbTransaction;
    try {
        Begin(tr);
        for (const TJournalLine& line : lines) {
            // Taking the note off first claims the line: another program looking at it at the
            // same time meets the lock, and one that did already left nothing to take.
            bool rejected = false;
            if (HasRejected && ForgetRejected(line) && StoreLine(rules, line, result, rejected))
                ++result.Stored;
            else
                ++result.Skipped;
        }
        if (result.Stored > 0 && HasTraced && !HasSource) ForgetTraced();
        tr.Commit();
    } catch (const std::exception& e) {
        return FailedResult(tr, e);
    }
    result.Status = TStoreResult::Committed;
    return result;
}
