// The record end: each received line stored as one row of Rings in a transaction of its own.
#include <algorithm>
#include <climits>
#include <exception>

#include "capture/Recorder.h"
#include "common/Text.h"
#include "db/CallDatabase.h"
#include "db/TableColumns.h"

const char* const TRecorder::kInsertRing =
    "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,TimeSec,"
    "NumberIn,NumberOut,RingDate) values (:P0,:P1,:P2,:P3,:P4,:P5,:P6,:P7,:P8,:P9,:P10,:P11,"
    ":P12)";
const char* const TRecorder::kInsertRingCaller =
    "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,TimeSec,"
    "NumberIn,NumberOut,RingDate,Caller) values (:P0,:P1,:P2,:P3,:P4,:P5,:P6,:P7,:P8,:P9,:P10,"
    ":P11,:P12,:P13)";

const char* const TRecorder::kInsertRingFrom =
    "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,TimeSec,"
    "NumberIn,NumberOut,RingDate,Station,JournalFile,JournalPos) values (:P0,:P1,:P2,:P3,:P4,"
    ":P5,:P6,:P7,:P8,:P9,:P10,:P11,:P12,:Station,:File,:Pos)";

namespace {
const char* const kInsertRingCallerFrom =
    "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,TimeSec,"
    "NumberIn,NumberOut,RingDate,Caller,Station,JournalFile,JournalPos) values (:P0,:P1,:P2,:P3,"
    ":P4,:P5,:P6,:P7,:P8,:P9,:P10,:P11,:P12,:P13,:Station,:File,:Pos)";
}  // namespace

const char* TRecorder::InsertRingSql(bool withCaller, bool withSource) {
    if (withCaller) return withSource ? kInsertRingCallerFrom : kInsertRingCaller;
    return withSource ? kInsertRingFrom : kInsertRing;
}

const char* const TRecorder::kRingColumns[13] = {
    "RDay",     "RMont",   "RYear",   "RHour",    "RMin",      "RSec",    "RLine",
    "TimeHour", "TimeMin", "TimeSec", "NumberIn", "NumberOut", "RingDate"};

std::string TRecorder::RowRefused(const TRingRow& row, const TTableColumns& rings) {
    for (int i = 0; i < 11; ++i) {
        std::string why = rings.Refuses(kRingColumns[i], row.Values[i]);
        if (!why.empty()) return why;
    }
    if (std::string why = rings.Refuses(kRingColumns[11], row.NumberOut); !why.empty()) return why;
    return row.Caller ? rings.Refuses("Caller", *row.Caller) : std::string();
}

void TRecorder::RecordEnd() {
    // Runs inside the port's event delivery: nothing may escape from here, or capture would end
    // silently. A line that cannot be stored is lost, the next one is handled normally.
    LineCommitted = false;
    if (!CallDatabase) {
        ClearRecord();
        return;
    }
    TFbTransaction& tr = CallDatabase->DbTransaction;
    try {
        if (!tr.InTransaction()) tr.StartTransaction();
    } catch (const std::exception&) {
        ClearRecord();
        return;
    }
    if (StoreRing()) {
        try {
            tr.Commit();
            LineCommitted = true;
            // The silence alarm counts stored calls: a refused commit stored nothing.
            LastRingDate = Date();
        } catch (const std::exception&) {
            tr.RollbackQuietly();
        }
    } else {
        tr.RollbackQuietly();
    }
}

namespace {
bool Blank(const std::string& line) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

bool Contains(const std::string& line, const std::vector<std::string>& marks) {
    return std::any_of(marks.begin(), marks.end(),
                       [&](const std::string& m) { return line.find(m) != std::string::npos; });
}
}  // namespace

TLineVerdict TRecorder::JudgeLine(TRingRow& row) {
    if (Blank(RingText)) return TLineVerdict::Blank;
    if (Contains(RingText, Format.NotCallMarks)) return TLineVerdict::NotCall;
    SplitLine();
    int32_t* v = row.Values;
    v[0] = FieldValue(Fields.Day);
    v[1] = FieldValue(Fields.Mont);
    v[2] = FieldValue(Fields.Year);
    v[3] = CorrectedHour();
    v[4] = FieldValue(Fields.Min);
    v[5] = FieldValue(Fields.Sec);
    v[6] = FieldValue(Fields.Line);
    v[7] = FieldValue(Fields.TimeHour);
    v[8] = FieldValue(Fields.TimeMin);
    v[9] = FieldValue(Fields.TimeSec);
    v[10] = FieldValue(Fields.NumberIn);
    // Whole seconds, or minutes past 59, are stored as hours, minutes and seconds.
    const int64_t talk = TalkSeconds();
    if (talk / 3600 <= INT32_MAX) {
        v[7] = static_cast<int32_t>(talk / 3600);
        v[8] = static_cast<int32_t>(talk / 60 % 60);
        v[9] = static_cast<int32_t>(talk % 60);
    }

    Fields.NumberOut = Trim(Fields.NumberOut);
    const bool dialled = !Fields.NumberOut.empty();
    if (!dialled) Fields.NumberOut.assign(1, '0');
    row.NumberOut = Fields.NumberOut;
    if (Fields.Incoming && !Fields.Caller.empty()) row.Caller = Fields.Caller;
    row.RingDate = RingDateTime();
    // Line noise or a wrong baud rate yields digits too; with the date's columns set, a line
    // that carries no real date-time is not a call. An empty field would count as 0 (the year
    // as 2000), so every date and time column the template sets must find its digits.
    if (ReadsDate()) {
        const std::pair<int32_t, const std::string*> parts[] = {
            {Day, &Fields.Day},   {Mont, &Fields.Mont}, {Year, &Fields.Year},
            {Hour, &Fields.Hour}, {Min, &Fields.Min},   {Sec, &Fields.Sec}};
        for (const auto& [column, text] : parts)
            if (column > 0 && text->empty()) return TLineVerdict::BadDate;
        if (row.RingDate == 0.0) return TLineVerdict::BadDate;
    }
    // Where the station worked the start out (a year completed, the end moved back, UTC made
    // local) the date and time columns hold that start, the year as two digits like the rest.
    const bool worked = Format.TimeIsEnd || Format.Utc || Year <= 0 || Fields.Year.size() > 2;
    if (worked && row.RingDate != 0.0) {
        const TDateParts d = DecodeDate(row.RingDate);
        const TTimeParts t = DecodeTime(row.RingDate);
        v[0] = d.Day, v[1] = d.Month, v[2] = d.Year - 2000;
        v[3] = t.Hour, v[4] = t.Min, v[5] = t.Sec;
    }

    const auto length = static_cast<int32_t>(row.NumberOut.size());
    if (!dialled && !IncomLog) return TLineVerdict::Filtered;
    if (MinLenPhon > 0 && dialled && length < MinLenPhon) return TLineVerdict::Filtered;
    if (MaxLenPhon > 0 && dialled && length > MaxLenPhon) return TLineVerdict::Filtered;
    // 64-bit sum: two huge duration fields must not wrap round to 0.
    if (EmptyLen && static_cast<int64_t>(v[7]) + v[8] == 0 && v[9] <= MinEmpty)
        return TLineVerdict::Filtered;
    return TLineVerdict::Store;
}

void TRecorder::BindRing(TFbStatement& sql, const TRingRow& row, bool withCaller) {
    for (int i = 0; i < 11; ++i) sql.Params(i).SetAsInteger(row.Values[i]);
    sql.Params(11).SetAsString(row.NumberOut);
    sql.Params(12).SetAsDateTime(row.RingDate);
    if (!withCaller) return;
    if (row.Caller)
        sql.Params(13).SetAsString(*row.Caller);
    else
        sql.Params(13).Clear();
}

bool TRecorder::StoreRing() {
    if (!CallDatabase) {
        ClearRecord();
        return false;
    }
    bool result = false;
    try {
        TRingRow row;
        if (JudgeLine(row) == TLineVerdict::Store) {
            const bool caller = CallDatabase->RingsHasCaller();
            TFbStatement sql(CallDatabase->DbConnection, CallDatabase->DbTransaction);
            sql.SQL().Add(caller ? kInsertRingCaller : kInsertRing);
            BindRing(sql, row, caller);
            sql.ExecQuery();
            result = true;
        }
    } catch (const std::exception&) {
        // A failed INSERT, and equally a failure before it (preparing or binding after the
        // server went away): the line is not stored, the caller rolls back.
        result = false;
    }
    ClearRecord();
    return result;
}
