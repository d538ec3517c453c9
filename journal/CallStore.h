#pragma once
// Journal lines stored into Rings exactly once. Each transaction stores a batch of lines and
// moves the station's mark in JournalMarks to the end of the batch's last line, so the mark
// always says which lines the database holds: a line after it is not stored yet, a line before
// it has been handled (stored, dropped by the rules, or rejected). Lines that are not calls, or
// that the database refuses, are noted in RejectedLines for a later look with a corrected
// template. A database without JournalMarks still stores, at least once: the mark is then only
// noted beside the journal.
//
// Where Rings has the columns Station, JournalFile and JournalPos, each row carries the start of
// its line in the journal, and the mark's row keeps (TracedFile, TracedPos) where that began:
// every line of the station stored from there on has its rows findable, so they can be replaced.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/TableColumns.h"
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
    // Rows carry their line's place in the journal.
    bool KeepsSource() const { return HasSource; }
    // The mark's row can say since when they do (a database brought up to date).
    bool KeepsTraced() const { return HasTraced; }
    const TTableColumns& Rings() const { return RingColumns; }
    const std::string& StationId() const { return Station; }
    const TJournalPos& Mark() const { return Mark_; }
    // Where the station's rows began to carry their source, as the mark's row says; false when
    // it says nothing (no such row, or rows stored without it since).
    bool Traced(TJournalPos& from) const;

    // Handles lines (in journal order, all after the mark) in one transaction that moves the
    // mark to `to`; beforeCommit runs last before the commit. Never raises.
    TStoreResult Store(TRecorder& rules, const std::vector<TJournalLine>& lines,
                       const TJournalPos& to, const std::function<void()>& beforeCommit = {});

    // Start offsets of the station's rejected lines in one journal file.
    std::vector<uint64_t> RejectedIn(const std::string& file);
    // Looks again at rejected lines (read back from the journal): stores those that are calls
    // now and forgets those the rules drop; the rest stay rejected. The mark does not move.
    TStoreResult Reexamine(TRecorder& rules, const std::vector<TJournalLine>& lines);

    // For tools that store lines again in a transaction of their own (Db's): one line's verdict
    // and row, noted as rejected when it is not a call or its values do not fit. Raises on a
    // failure of the database.
    bool StoreLineIn(TRecorder& rules, const TJournalLine& line, TStoreResult& result);

private:
    TFbStatement& Statement(std::unique_ptr<TFbStatement>& slot, const char* sql);
    bool MoveMark(const TJournalPos& to);
    void ForgetTraced();
    void ReadMark();
    void NoteRejected(const TJournalLine& line, const std::string& reason);
    bool ForgetRejected(const TJournalLine& line);
    // One line's verdict and row; false when the line is not stored.
    bool StoreLine(TRecorder& rules, const TJournalLine& line, TStoreResult& result,
                   bool& rejected);

    TCallDatabase& Db;
    std::string Station;
    TJournalPos Mark_;
    TJournalPos TracedFrom;
    bool TracedSet = false;
    TJournalPos Fallback;
    bool HasMarks = false, HasRejected = false, HasCaller = false, MarkRow = false,
         HasSource = false, HasTraced = false;
    TTableColumns RingColumns;
    std::unique_ptr<TFbStatement> Insert, Update, Create, Reject, Forget, Untrace;
};
