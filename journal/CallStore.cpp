#include "journal/CallStore.h"

#include <exception>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"

namespace {

const char kTableExists[] = "SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = :Name";
const char kReadMark[] =
    "SELECT JournalFile, JournalPos FROM JournalMarks WHERE Station = :Station";
const char kUpdateMark[] =
    "UPDATE JournalMarks SET JournalFile = :File, JournalPos = :Pos, Updated = CURRENT_TIMESTAMP "
    "WHERE Station = :Station AND JournalFile = :OldFile AND JournalPos = :OldPos";
const char kCreateMark[] =
    "INSERT INTO JournalMarks (Station, JournalFile, JournalPos, Updated) "
    "VALUES (:Station, :File, :Pos, CURRENT_TIMESTAMP)";
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

bool TableExists(TCallDatabase& db, const char* name) {
    TFbStatement q(db.DbConnection, db.DbTransaction);
    q.SQL().Add(kTableExists);
    q.Params(0).SetAsString(name);
    q.ExecQuery();
    return !q.Eof() && q.Fields(0).AsInt64() > 0;
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

bool IsLineError(long code) {
    switch (code) {
        case isc_except:
        case isc_except2:
        case isc_unique_key_violation:
        case isc_no_dup:
        case isc_foreign_key:
        case isc_not_valid:
        case isc_check_constraint:
        case isc_convert_error:
        case isc_arith_except:
        case isc_transliteration_failed:
        case isc_string_truncation:
            return true;
        default:
            return false;
    }
}

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
    TFbTransaction& tr = Db.DbTransaction;
    Begin(tr);
    try {
        HasMarks = TableExists(Db, "JOURNALMARKS");
        HasRejected = TableExists(Db, "REJECTEDLINES");
        HasCaller = Db.RingsHasCaller();
        ReadMark();
        tr.Commit();
    } catch (...) {
        tr.RollbackQuietly();
        throw;
    }
}

void TCallStore::ReadMark() {
    Mark_ = Fallback;
    MarkRow = false;
    if (!HasMarks) return;
    TFbStatement q(Db.DbConnection, Db.DbTransaction);
    q.SQL().Add(kReadMark);
    q.Params(0).SetAsString(Station);
    q.ExecQuery();
    if (q.Eof()) return;
    Mark_ = {q.Fields(0).AsString(), static_cast<uint64_t>(q.Fields(1).AsInt64())};
    MarkRow = true;
}

// First in the transaction, so that a second program storing for the same station meets the
// row's lock before either has inserted anything.
bool TCallStore::MoveMark(const TJournalPos& to) {
    if (MarkRow) {
        TFbStatement& q = Statement(Update, kUpdateMark);
        q.Params(0).SetAsString(to.File);
        q.Params(1).SetAsInt64(static_cast<int64_t>(to.Offset));
        q.Params(2).SetAsString(Station);
        q.Params(3).SetAsString(Mark_.File);
        q.Params(4).SetAsInt64(static_cast<int64_t>(Mark_.Offset));
        q.ExecQuery();
        return q.RowsAffected() == 1;
    }
    TFbStatement& q = Statement(Create, kCreateMark);
    q.Params(0).SetAsString(Station);
    q.Params(1).SetAsString(to.File);
    q.Params(2).SetAsInt64(static_cast<int64_t>(to.Offset));
    try {
        q.ExecQuery();
    } catch (const EDatabaseError& e) {
        if (e.Code() == isc_unique_key_violation || e.Code() == isc_no_dup) return false;
        throw;
    }
    return true;
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
    TFbStatement& insert =
        Statement(Insert, HasCaller ? TRecorder::kInsertRingCaller : TRecorder::kInsertRing);
    TRecorder::BindRing(insert, row, HasCaller);
    try {
        insert.ExecQuery();
    } catch (const EDatabaseError& e) {
        // The server undid the one statement; the transaction goes on with the others.
        if (!IsLineError(e.Code())) throw;
        rejected = true;
        result.Rejected.push_back({line.Text, e.what()});
        NoteRejected(line, e.what());
        return false;
    }
    return true;
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
    Mark_ = to;
    MarkRow = HasMarks;
    result.Status = TStoreResult::Committed;
    return result;
}

std::vector<uint64_t> TCallStore::RejectedIn(const std::string& file) {
    std::vector<uint64_t> offsets;
    if (!HasRejected) return offsets;
    TFbTransaction& tr = Db.DbTransaction;
    Begin(tr);
    try {
        TFbStatement q(Db.DbConnection, tr);
        q.SQL().Add(kRejectedIn);
        q.Params(0).SetAsString(Station);
        q.Params(1).SetAsString(file);
        for (q.ExecQuery(); !q.Eof(); q.Next())
            offsets.push_back(static_cast<uint64_t>(q.Fields(0).AsInt64()));
        q.Close();
        tr.Commit();
    } catch (...) {
        tr.RollbackQuietly();
        throw;
    }
    return offsets;
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
        tr.Commit();
    } catch (const std::exception& e) {
        return FailedResult(tr, e);
    }
    result.Status = TStoreResult::Committed;
    return result;
}
