#include <gtest/gtest.h>

#include <set>
#include <string>

#include "capture/Recorder.h"
#include "tests/common/CaseName.h"
#include "tests/db/FreshDatabase.h"

namespace {

// The record path on a fresh database, fed through PutChar as the port would.
class Store : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db_.Created());
        UseTemplate("GENERIC24.ATS");
        mo_.IncomLog = true;
        dm_.Connect(db_.Path());
        ASSERT_TRUE(dm_.Connected());
    }
    void TearDown() override { dm_.Disconnect(); }
    void UseTemplate(const char* name) {
        ASSERT_TRUE(ReadTemplateFile(std::string(TARVICK_SOURCE_DIR "/data/") + name,
                                     mo_.TemplateComment, mo_.Columns(), mo_.Format));
    }
    void Feed(const std::string& line) {
        for (char c : line) mo_.PutChar(c);
        mo_.PutChar('\r');
    }
    int64_t Count(const std::string& where = "") {
        return QueryInt(dm_, "select count(*) from Rings " + where);
    }
    // Every INSERT into Rings is logged with its transaction in a transaction of its own, so the
    // log survives the rollback of a refused line; NumberOut "666" is refused.
    void LogTransactions() {
        ExecSql(dm_, "create table TxLog (Tx bigint, NumberOut varchar(40))");
        ExecSql(dm_, "create exception Refused 'refused'");
        ExecSql(dm_,
                "create trigger Rings_Log for Rings before insert as begin "
                "in autonomous transaction do insert into TxLog values (current_transaction, "
                "new.NumberOut); if (new.NumberOut = '666') then exception Refused; end");
    }

    TFreshDatabase db_;
    TCallDatabase dm_;
    TRecorder mo_;
};

TEST_F(Store, LinesInQuickSuccessionHaveTransactionsOfTheirOwn) {
    LogTransactions();
    Feed("12/04/26 09:02:11 01 201 00:02:15 1111");
    Feed("12/04/26 09:02:12 01 202 00:02:15 2222");
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(QueryInt(dm_, "select count(distinct Tx) from TxLog"), 2);
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
}

TEST_F(Store, RefusedFirstLineLeavesTheSecondAlone) {
    LogTransactions();
    const TDateTime before = mo_.LastRingDate = 1.0;
    Feed("12/04/26 09:02:11 01 201 00:02:15 666");
    EXPECT_EQ(mo_.LastRingDate, before);
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
    EXPECT_TRUE(mo_.RingText.empty());
    Feed("12/04/26 09:02:12 01 202 00:02:15 2222");
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Count("where NumberIn = 202 and NumberOut = '2222'"), 1);
    EXPECT_GT(mo_.LastRingDate, before);
    // The refused line reached the server in a different transaction from the stored one.
    EXPECT_EQ(QueryInt(dm_, "select count(distinct Tx) from TxLog"), 2);
}

// The INSERT ran but the commit was refused: the row is gone with the rollback, and the line
// does not count as committed; the next line commits normally.
TEST_F(Store, RefusedCommitIsNotACommittedLine) {
    ExecSql(dm_, "create exception CommitRefused 'commit refused'");
    ExecSql(dm_,
            "create trigger Refuse_Commit on transaction commit as begin "
            "if (exists(select 1 from Rings where NumberOut = '777')) then "
            "exception CommitRefused; end");
    const TDateTime before = mo_.LastRingDate = 1.0;
    Feed("12/04/26 09:02:11 01 201 00:02:15 777");
    EXPECT_FALSE(mo_.LineCommitted);
    // The silence alarm's date moves only with a stored call.
    EXPECT_EQ(mo_.LastRingDate, before);
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
    EXPECT_EQ(Count(), 0);
    Feed("12/04/26 09:02:12 01 202 00:02:15 2222");
    EXPECT_TRUE(mo_.LineCommitted);
    EXPECT_GT(mo_.LastRingDate, before);
    EXPECT_EQ(Count(), 1);
}

// A statement that cannot even be prepared (a column gone) is a lost line too; the path carries
// on, and stores again once the table is whole.
TEST_F(Store, FailureBeforeTheInsertIsALostLine) {
    ExecSql(dm_, "alter table Rings drop RLine");
    Feed("12/04/26 09:02:11 01 201 00:02:15 1111");
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
    EXPECT_TRUE(mo_.RingText.empty());
    EXPECT_TRUE(mo_.Fields.NumberOut.empty());
    ExecSql(dm_, "alter table Rings add RLine integer default 0 not null");
    Feed("12/04/26 09:02:12 01 202 00:02:15 2222");
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Count("where NumberIn = 202 and RLine = 1"), 1);
}

// A transaction left active by someone else is used for the line and ended with it.
TEST_F(Store, ActiveTransactionIsUsedAndEnded) {
    dm_.DbTransaction.StartTransaction();
    Feed("12/04/26 09:02:11 01 201 00:02:15 1111");
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
    EXPECT_EQ(Count(), 1);
}

// Another process shuts the database down while the station holds it: the lines that arrive
// meanwhile are lost one by one, the path keeps running, and once the database is back a new
// connection (a new start of capture) stores again.
TEST_F(Store, DatabaseShutDownByAnotherProcess) {
    Feed("12/04/26 09:02:11 01 201 00:02:15 1111");
    const std::string gfix = "gfix -user SYSDBA -password quillfern ";
    ASSERT_EQ(std::system((gfix + "-shut full -force 0 '" + db_.Path() + "'").c_str()), 0);
    mo_.LastRingDate = 1.0;
    Feed("12/04/26 09:02:12 01 202 00:02:15 2222");
    Feed("12/04/26 09:02:13 01 203 00:02:15 3333");
    EXPECT_EQ(mo_.LastRingDate, 1.0);
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
    EXPECT_TRUE(mo_.RingText.empty());
    ASSERT_EQ(std::system((gfix + "-online '" + db_.Path() + "'").c_str()), 0);
    dm_.Disconnect();
    dm_.Connect(db_.Path());
    Feed("12/04/26 09:02:14 01 204 00:02:15 4444");
    EXPECT_GT(mo_.LastRingDate, 1.0);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Count("where NumberIn in (201, 204)"), 2);
}

struct HourCase {
    const char* name;
    const char* line;
    int32_t hour;
};

class TwelveHour : public Store, public ::testing::WithParamInterface<HourCase> {};

TEST_P(TwelveHour, StoresCorrectedHour) {
    UseTemplate("PANA12.ATS");
    Feed(GetParam().line);
    ASSERT_EQ(Count(), 1);
    const std::string hour = std::to_string(GetParam().hour);
    EXPECT_EQ(Count("where RHour = " + hour + " and extract(hour from RingDate) = " + hour), 1);
    EXPECT_EQ(Count("where RDay = 12 and RMont = 4 and RYear = 26 and NumberIn = 201"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TwelveHour,
    ::testing::Values(
        HourCase{"Morning", "12/04/26  9:02AM  201 01 84951234567              00:02'15", 9},
        HourCase{"Afternoon", "12/04/26  3:15PM  201 02 84951234567              00:00'48", 15},
        HourCase{"LastHour", "12/04/26 11:59PM  201 01 0107                     00:00'02", 23},
        HourCase{"Noon", "12/04/26 12:10PM  201 01 0107                     00:00'02", 12},
        HourCase{"Midnight", "12/04/26 12:10AM  201 01 0107                     00:00'02", 0},
        HourCase{"LowerCase", "12/04/26  3:15pm  201 02 84951234567              00:00'48", 15},
        HourCase{"BlankAmPm", "12/04/26  3:15    201 02 84951234567              00:00'48", 3}),
    CaseName());

struct LongNumberCase {
    const char* name;
    const char* number;
    bool compares;  // with 0, as the daily totals do
};

class LongNumber : public Store, public ::testing::WithParamInterface<LongNumberCase> {};

// A dialled number is stored as sent, however long. Compared with 0 the server reads it as a
// 64-bit integer: beyond that the comparison fails, but only for statements that reach the row,
// so another owner's totals of the same day still come out.
TEST_P(LongNumber, IsStoredAndComparesWithinSixtyFourBits) {
    const LongNumberCase& c = GetParam();
    Feed(std::string("12/04/26 09:02:11 01 201 00:02:15 ") + c.number);
    Feed("12/04/26 09:05:00 01 202 00:01:00 1234");
    ASSERT_EQ(Count("where NumberOut = '" + std::string(c.number) + "' and NumberIn = 201"), 1);
    const std::string outgoing =
        "select sum(ringlength) from Rings where RingDate between "
        "'2026-04-12 00:00:00' and '2026-04-12 23:59:59' and "
        "NumberIn = ";
    if (c.compares)
        EXPECT_EQ(QueryInt(dm_, outgoing + "201 and NumberOut > 0"), 135);
    else
        EXPECT_THROW(QueryInt(dm_, outgoing + "201 and NumberOut > 0"), EDatabaseError);
    EXPECT_EQ(QueryInt(dm_, outgoing + "202 and NumberOut > 0"), 60);
    EXPECT_EQ(QueryInt(dm_, outgoing + "202 and NumberOut = 0"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, LongNumber,
    ::testing::Values(LongNumberCase{"NineteenDigits", "0084951234567890123", true},
                      LongNumberCase{"LargestInSixtyFourBits", "9223372036854775807", true},
                      LongNumberCase{"TwentyWithLeadingZeros", "00849512345678901234", true},
                      LongNumberCase{"NineteenAboveSixtyFourBits", "9223372036854775808", false},
                      LongNumberCase{"TwentyFourDigits", "123456789012345678901234", false}),
    CaseName());

// An incoming call is stored as incoming calls always were (NumberOut "0", the extension in
// NumberIn), with the number that called in Caller; calls without one leave it NULL.
TEST_F(Store, AnIncomingCallKeepsTheNumberThatCalled) {
    UseTemplate("AVAYA_IPO.ATS");
    Feed(
        "2008/06/28 09:28:41,00:00:00,9,8004206,I,4324,4324,,0,1000014155,0,E4324,Joe Bloggs,"
        "T9161,LINE 5.1,0,0");
    Feed(
        "2008/06/28 09:30:00,00:01:10,2,4324,O,84951234567,984951234567,,0,1000014156,0,E4324,"
        "Joe Bloggs,T9161,LINE 5.1,0,0");
    EXPECT_EQ(Count("where NumberOut = '0' and NumberIn = 4324 and Caller = '8004206' and "
                    "RingDate = '2008-06-28 09:28:41'"),
              1);
    EXPECT_EQ(Count("where NumberOut = '84951234567' and Caller is null and ringlength = 70"), 1);
}

// A database made before the column stores every call without it; the column is looked up once
// per connection, so adding it takes effect at the next connect.
TEST_F(Store, ADatabaseWithoutTheCallerColumnStoresWithoutIt) {
    dm_.Disconnect();
    ASSERT_EQ(db_.Isql("alter table Rings drop Caller;"), 0);
    dm_.Connect(db_.Path());
    UseTemplate("AVAYA_IPO.ATS");
    Feed(
        "2008/06/28 09:28:41,00:00:00,9,8004206,I,4324,4324,,0,1000014155,0,E4324,Joe Bloggs,"
        "T9161,LINE 5.1,0,0");
    EXPECT_EQ(Count("where NumberOut = '0' and NumberIn = 4324"), 1);
    dm_.Disconnect();
    ASSERT_EQ(db_.Isql("alter table Rings add Caller varchar(40);"), 0);
    dm_.Connect(db_.Path());
    Feed(
        "2008/06/28 09:40:00,00:00:05,9,8004207,I,4324,4324,,0,1000014157,0,E4324,Joe Bloggs,"
        "T9161,LINE 5.1,0,0");
    EXPECT_EQ(Count("where Caller = '8004207'"), 1);
}

}  // namespace
