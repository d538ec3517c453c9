// The record end: each received line stored as one row of Rings in a transaction of its own.
#include <exception>

#include "capture/Recorder.h"
#include "common/Text.h"
#include "db/CallDatabase.h"

namespace {
const char* const kInsertRing =
    "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,TimeSec,"
    "NumberIn,NumberOut,RingDate) values (:P0,:P1,:P2,:P3,:P4,:P5,:P6,:P7,:P8,:P9,:P10,:P11,"
    ":P12)";

// Ends the line's transaction after a failure; a rollback that fails too (the connection is gone)
// leaves nothing more to do here.
void RollbackQuietly(TFbTransaction& tr) noexcept {
    if (!tr.InTransaction()) return;
    try {
        tr.Rollback();
    } catch (const std::exception&) {
        tr.RollbackQuietly();
    }
}
}  // namespace

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
        LastRingDate = Date();
        try {
            tr.Commit();
            LineCommitted = true;
        } catch (const std::exception&) {
            RollbackQuietly(tr);
        }
    } else {
        RollbackQuietly(tr);
    }
}

bool TRecorder::StoreRing() {
    if (Trim(RingText).empty() || !CallDatabase) {
        ClearRecord();
        return false;
    }
    bool result = false;
    try {
        SplitLine();
        bool store = true;
        TFbStatement sql(CallDatabase->DbConnection, CallDatabase->DbTransaction);
        sql.SQL().Add(kInsertRing);
        sql.Params(0).SetAsInteger(FieldValue(Fields.Day));
        sql.Params(1).SetAsInteger(FieldValue(Fields.Mont));
        sql.Params(2).SetAsInteger(FieldValue(Fields.Year));
        sql.Params(3).SetAsInteger(CorrectedHour());
        sql.Params(4).SetAsInteger(FieldValue(Fields.Min));
        sql.Params(5).SetAsInteger(FieldValue(Fields.Sec));
        sql.Params(6).SetAsInteger(FieldValue(Fields.Line));
        const int32_t timeHour = FieldValue(Fields.TimeHour);
        const int32_t timeMin = FieldValue(Fields.TimeMin);
        const int32_t timeSec = FieldValue(Fields.TimeSec);
        sql.Params(7).SetAsInteger(timeHour);
        sql.Params(8).SetAsInteger(timeMin);
        sql.Params(9).SetAsInteger(timeSec);
        sql.Params(10).SetAsInteger(FieldValue(Fields.NumberIn));

        Fields.NumberOut = Trim(Fields.NumberOut);
        const bool dialled = !Fields.NumberOut.empty();
        if (!dialled) Fields.NumberOut.assign(1, '0');
        sql.Params(11).SetAsString(Fields.NumberOut);
        sql.Params(12).SetAsDateTime(RingDateTime());

        const auto length = static_cast<int32_t>(Trim(Fields.NumberOut).size());
        if (!dialled && !IncomLog) store = false;
        if (MinLenPhon > 0 && dialled && length < MinLenPhon) store = false;
        if (MaxLenPhon > 0 && dialled && length > MaxLenPhon) store = false;
        // 64-bit sum: two huge duration fields must not wrap round to 0.
        if (EmptyLen && static_cast<int64_t>(timeHour) + timeMin == 0 && timeSec <= MinEmpty)
            store = false;

        if (store) {
            sql.ExecQuery();
            result = true;
        }
    } catch (const std::exception&) {
        // A failed INSERT, and equally a failure before it (preparing or binding after the
        // server went away): the line is lost, the caller rolls back.
        result = false;
    }
    ClearRecord();
    return result;
}
