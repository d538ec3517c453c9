#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "GeneratedCalls.h"
#include "reports/ReportTotals.h"
#include "tests/common/CaseName.h"

namespace {

constexpr int kCalls = 4000;

// Every summary the engine gives from the totals must be the one it counts from the calls.
// limit: the most called numbers only (0: all of them).
void ExpectSameFigures(const std::string& dbPath, TSummaryKind kind, const TReportFilter& f,
                       int limit = 0) {
    TReportEngine withTotals(dbPath), fromCalls(dbPath);
    fromCalls.SetUseTotals(false);
    const TSummary a = withTotals.Summary(kind, f, limit), b = fromCalls.Summary(kind, f, limit);
    ASSERT_GT(b.Total.Calls(), 0);
    EXPECT_EQ(a.Total.CallsIn, b.Total.CallsIn);
    EXPECT_EQ(a.Total.CallsOut, b.Total.CallsOut);
    EXPECT_EQ(a.Total.SecondsIn, b.Total.SecondsIn);
    EXPECT_EQ(a.Total.SecondsOut, b.Total.SecondsOut);
    ASSERT_EQ(a.Rows.size(), b.Rows.size());
    for (size_t i = 0; i < a.Rows.size(); ++i) {
        SCOPED_TRACE(b.Rows[i].Key);
        EXPECT_EQ(a.Rows[i].Key, b.Rows[i].Key);
        EXPECT_EQ(a.Rows[i].Owner, b.Rows[i].Owner);
        EXPECT_EQ(a.Rows[i].CallsIn, b.Rows[i].CallsIn);
        EXPECT_EQ(a.Rows[i].CallsOut, b.Rows[i].CallsOut);
        EXPECT_EQ(a.Rows[i].SecondsIn, b.Rows[i].SecondsIn);
        EXPECT_EQ(a.Rows[i].SecondsOut, b.Rows[i].SecondsOut);
    }
    const TSummaryRow ta = withTotals.Totals(f), tb = fromCalls.Totals(f);
    EXPECT_EQ(ta.Calls(), tb.Calls());
    EXPECT_EQ(ta.Seconds(), tb.Seconds());
}

const TSummaryKind kKinds[] = {TSummaryKind::Extension, TSummaryKind::Day,
                               TSummaryKind::Hour,      TSummaryKind::Line,
                               TSummaryKind::Number,    TSummaryKind::Station};

void ExpectEveryKindTheSame(const std::string& dbPath, const TReportFilter& f) {
    for (TSummaryKind kind : kKinds) {
        SCOPED_TRACE(SummaryKindName(kind));
        ExpectSameFigures(dbPath, kind, f);
    }
    SCOPED_TRACE("top numbers");
    ExpectSameFigures(dbPath, TSummaryKind::Number, f, 4);
}

TReportFilter Period(TDateTime from, TDateTime to) {
    TReportFilter f;
    f.Period = {from, to};
    return f;
}

TTotalsResult AddUp(TCallDatabase& db, TDateTime today, int daysPerStep = 31) {
    TTotalsOptions o;
    o.Today = today;
    o.DaysPerStep = daysPerStep;
    o.WaitLimit = std::chrono::seconds(20);
    return AddUpTotals(db.DbConnection, o);
}

// Calls of 1 March - 9 April 2026; the days before 25 March are added up.
class Totals : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fresh_.Created());
        db_.Connect(fresh_.Path());
        InsertCalls(db_, MakeCalls(kCalls), true);
        ExecSql(db_, "INSERT INTO Users (NumberIN, FIO) VALUES (203, 'Petrov')");
    }
    void AddCalls(TDateTime day, int n) {
        std::vector<TGenCall> calls = MakeCalls(n, 1);
        for (auto& c : calls) c.Start = c.Start - Day(2026, 3, 1) + day;
        InsertCalls(db_, calls, true);
    }
    int64_t Count(const std::string& sql) { return QueryInt(db_, sql); }

    TFreshDatabase fresh_;
    TCallDatabase db_;
};

struct FilterCase {
    const char* name;
    std::function<void(TReportFilter&)> set;
};

class TotalsFilters : public Totals, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(TotalsFilters, EverySummaryFromTotalsEqualsTheOneFromCalls) {
    const TTotalsResult r = AddUp(db_, Day(2026, 3, 25));
    ASSERT_TRUE(r.Available);
    EXPECT_EQ(r.DaysAdded, 24);
    EXPECT_TRUE(r.Stopped.empty()) << r.Stopped;
    for (const TReportFilter& base :
         {Period(Day(2026, 3, 1), Day(2026, 4, 10)), Period(Day(2026, 3, 1), Day(2026, 4, 1)),
          Period(Day(2026, 3, 3) + 0.5, Day(2026, 3, 28) + 0.25)}) {
        SCOPED_TRACE(DateToStr(base.Period.From) + " " + DateToStr(base.Period.To));
        TReportFilter f = base;
        GetParam().set(f);
        ExpectEveryKindTheSame(fresh_.Path(), f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, TotalsFilters,
    ::testing::Values(
        FilterCase{"None", [](TReportFilter&) {}},
        FilterCase{"TwoExtensions",
                   [](TReportFilter& f) {
                       f.Extensions = {202, 204};
                   }},
        FilterCase{"Incoming", [](TReportFilter& f) { f.Direction = TDirection::Incoming; }},
        FilterCase{"Outgoing", [](TReportFilter& f) { f.Direction = TDirection::Outgoing; }},
        FilterCase{"OneLine", [](TReportFilter& f) { f.Line = 2; }},
        FilterCase{"OneStation", [](TReportFilter& f) { f.Station = "north"; }},
        FilterCase{"PartOfTheNumber", [](TReportFilter& f) { f.NumberPart = "49510"; }},
        FilterCase{"LongCallsOnly", [](TReportFilter& f) { f.MinDuration = 300; }}),
    CaseName());

TEST_F(Totals, CallsStoredLateAreCountedOnceBeforeAndAfterTheNextAddingUp) {
    AddUp(db_, Day(2026, 3, 25));
    const TReportFilter month = Period(Day(2026, 3, 1), Day(2026, 4, 1));
    // A backlog of days added up already, and calls of a day not added up yet.
    AddCalls(Day(2026, 3, 10), 40);
    AddCalls(Day(2026, 3, 26), 15);
    ExpectEveryKindTheSame(fresh_.Path(), month);
    const TTotalsResult r = AddUp(db_, Day(2026, 3, 27));
    EXPECT_EQ(r.LateCalls, 40);
    EXPECT_EQ(r.DaysAdded, 2);
    ExpectEveryKindTheSame(fresh_.Path(), month);
    // Nothing new: a run changes nothing.
    const TTotalsResult again = AddUp(db_, Day(2026, 3, 27));
    EXPECT_EQ(again.LateCalls + again.DaysAdded + again.MonthsRecounted, 0);
    ExpectEveryKindTheSame(fresh_.Path(), month);
}

TEST_F(Totals, ReplacedCallsOfADayAreCountedFromTheCallsUntilTheirMonthIsAddedUpAgain) {
    AddUp(db_, Day(2026, 4, 5));
    // As reparse does: the day's calls deleted and stored again otherwise, the day noted.
    ExecSql(db_,
            "DELETE FROM Rings WHERE RingDate >= '2026-03-12' AND RingDate < '2026-03-13' AND "
            "NumberIn = 201");
    AddCalls(Day(2026, 3, 12), 7);
    ExecSql(db_, "INSERT INTO RingTotalStale (CallDay) VALUES ('2026-03-12')");
    for (const auto& f :
         {Period(Day(2026, 3, 1), Day(2026, 4, 1)), Period(Day(2026, 3, 1), Day(2026, 4, 10))})
        ExpectEveryKindTheSame(fresh_.Path(), f);
    const TTotalsResult r = AddUp(db_, Day(2026, 4, 5));
    EXPECT_EQ(r.MonthsRecounted, 1);
    EXPECT_EQ(r.DaysAdded, 31);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM RingTotalStale"), 0);
    ExpectEveryKindTheSame(fresh_.Path(), Period(Day(2026, 3, 1), Day(2026, 4, 10)));
}

TEST_F(Totals, DaysReplacedHereAndThereLeaveTheRestToTheTotals) {
    AddUp(db_, Day(2026, 4, 9));
    for (int d = 0; d < 39; d += 2)
        ExecSql(db_, "INSERT INTO RingTotalStale (CallDay) VALUES ('" +
                         FormatDateTime("yyyy-mm-dd", Day(2026, 3, 1) + d) + "')");
    ExpectEveryKindTheSame(fresh_.Path(), Period(Day(2026, 3, 1), Day(2026, 4, 10)));
}

TEST_F(Totals, SmallStepsAcrossMonthsAddUpTheSame) {
    const TTotalsResult r = AddUp(db_, Day(2026, 4, 9), 5);
    EXPECT_EQ(r.DaysAdded, 39);
    EXPECT_TRUE(r.Stopped.empty());
    ExpectEveryKindTheSame(fresh_.Path(), Period(Day(2026, 3, 1), Day(2026, 4, 10)));
    // A month the totals hold whole: the server picks the most called numbers alone.
    ExpectEveryKindTheSame(fresh_.Path(), Period(Day(2026, 3, 1), Day(2026, 4, 1)));
}

// A call whose key is below the watermark but whose transaction had not committed when the
// adding-up began must still be counted: the adding-up waits for that transaction.
TEST_F(Totals, AnOpenTransactionIsWaitedForAndItsCallCounted) {
    TCallDatabase open;
    open.Connect(fresh_.Path());
    open.DbTransaction.StartTransaction();
    {
        TFbStatement q(open.DbConnection, open.DbTransaction);
        q.SetText(
            "INSERT INTO Rings (RLine, TimeMin, NumberIn, NumberOut, RingDate, Station) VALUES "
            "(1, 5, 201, '84951234567', '2026-03-05 10:00:00', 'north')");
        q.ExecQuery();
    }
    // A later call, committed: the watermark goes above the open one's key.
    AddCalls(Day(2026, 3, 6), 3);

    TTotalsOptions quick;
    quick.Today = Day(2026, 3, 25);
    quick.WaitLimit = std::chrono::milliseconds(300);
    const TTotalsResult gaveUp = AddUpTotals(db_.DbConnection, quick);
    EXPECT_FALSE(gaveUp.Stopped.empty());
    EXPECT_EQ(gaveUp.DaysAdded, 0);

    auto run = std::async(std::launch::async, [&] {
        TCallDatabase other;
        other.Connect(fresh_.Path());
        return AddUp(other, Day(2026, 3, 25));
    });
    EXPECT_EQ(run.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    open.DbTransaction.Commit();
    const TTotalsResult r = run.get();
    EXPECT_EQ(r.DaysAdded, 24);
    ExpectEveryKindTheSame(fresh_.Path(), Period(Day(2026, 3, 1), Day(2026, 4, 1)));
}

TEST_F(Totals, TwoAddingUpsAtOnceCountEachCallOnce) {
    auto one = std::async(std::launch::async, [&] {
        TCallDatabase c;
        c.Connect(fresh_.Path());
        return AddUp(c, Day(2026, 4, 9), 3);
    });
    auto two = std::async(std::launch::async, [&] {
        TCallDatabase c;
        c.Connect(fresh_.Path());
        return AddUp(c, Day(2026, 4, 9), 3);
    });
    const TTotalsResult a = one.get(), b = two.get();
    // Whatever the interleaving, a last run finishes what a stopped one left.
    AddUp(db_, Day(2026, 4, 9));
    EXPECT_LE(a.DaysAdded + b.DaysAdded, 39);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM RingTotalDays"), 39);
    ExpectEveryKindTheSame(fresh_.Path(), Period(Day(2026, 3, 1), Day(2026, 4, 10)));
}

TEST_F(Totals, ADatabaseWithoutTheTablesIsCountedFromTheCalls) {
    ExecSql(db_, "DROP TABLE RingTotals");
    TCallDatabase c;
    c.Connect(fresh_.Path());
    EXPECT_FALSE(AddUp(c, Day(2026, 3, 25)).Available);
    ExpectEveryKindTheSame(fresh_.Path(), Period(Day(2026, 3, 1), Day(2026, 4, 10)));
}

TEST_F(Totals, TheKeeperAddsUpOnItsThreadAndSaysSo) {
    TTotalsKeeper keeper(fresh_.Path(), TDbLogin{});
    keeper.Request(Day(2026, 3, 25));
    for (int i = 0; i < 600 && !keeper.Idle(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(keeper.Idle());
    const auto log = keeper.TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("days=24"), std::string::npos) << log[0];
    EXPECT_EQ(Count("SELECT COUNT(*) FROM RingTotalDays"), 24);
}

}  // namespace
