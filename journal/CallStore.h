#pragma once
// Journal lines stored into Rings exactly once. Each transaction stores a batch of lines and
// moves the station's mark in JournalMarks to the end of the batch's last line, so the mark
// always says which lines the database holds: a line after it is not stored yet, a line before
// it has been handled (stored, dropped by the rules, or rejected). Lines that are not calls, or
// that the database refuses, are noted in RejectedLines for a later look with a corrected
// template. A database without JournalMarks still stores, at least once: the mark is then only
// noted beside the journal.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "journal/Journal.h"

class TCallDatabase;
class TFbStatement;
class TRecorder;

// A line handled without a row: what the log says of it.
struct TRejectedLine {
    std::string Text;
    std::string Reason;
};

struct TStoreResult {
    enum TStatus {
        Committed,  // the lines are handled and the mark has moved
        MarkMoved,  // another program stored past the mark: read it again (Mark()) and go on
        Failed,     // nothing changed; the database is away or refuses (Error)
    };
    TStatus Status = Failed;
    int Stored = 0;   // rows inserted
    int Skipped = 0;  // lines handled without a row
    std::vector<TRejectedLine> Rejected;
    std::string Error;
};

// Whether a database error belongs to the one line (its data refused: a constraint, a
// conversion, a trigger's exception) rather than to the database (away, shut down, locked).
bool IsLineError(long code);

class TCallStore {
public:
    explicit TCallStore(TCallDatabase& db);
    ~TCallStore();
    TCallStore(const TCallStore&) = delete;
    TCallStore& operator=(const TCallStore&) = delete;

    // After each connect: finds the tables and reads the station's mark; without a mark row the
    // mark is `fallback` (the note beside the journal). Raises EDatabaseError.
    void Open(const std::string& station, const TJournalPos& fallback);
    // Before a disconnect: the prepared statements belong to the attachment.
    void Close();

    bool ExactlyOnce() const { return HasMarks; }
    bool KeepsRejected() const { return HasRejected; }
    const TJournalPos& Mark() const { return Mark_; }

    // Handles lines (in journal order, all after the mark) in one transaction that moves the
    // mark to `to`; beforeCommit runs last before the commit. Never raises.
    TStoreResult Store(TRecorder& rules, const std::vector<TJournalLine>& lines,
                       const TJournalPos& to, const std::function<void()>& beforeCommit = {});

    // Start offsets of the station's rejected lines in one journal file.
    std::vector<uint64_t> RejectedIn(const std::string& file);
    // Looks again at rejected lines (read back from the journal): stores those that are calls
    // now and forgets those the rules drop; the rest stay rejected. The mark does not move.
    TStoreResult Reexamine(TRecorder& rules, const std::vector<TJournalLine>& lines);

private:
    TFbStatement& Statement(std::unique_ptr<TFbStatement>& slot, const char* sql);
    bool MoveMark(const TJournalPos& to);
    void ReadMark();
    void NoteRejected(const TJournalLine& line, const std::string& reason);
    bool ForgetRejected(const TJournalLine& line);
    // One line's verdict and row; false when the line is not stored.
    bool StoreLine(TRecorder& rules, const TJournalLine& line, TStoreResult& result,
                   bool& rejected);

    TCallDatabase& Db;
    std::string Station;
    TJournalPos Mark_;
    TJournalPos Fallback;
    bool HasMarks = false, HasRejected = false, HasCaller = false, MarkRow = false;
    std::unique_ptr<TFbStatement> Insert, Update, Create, Reject, Forget;
};
