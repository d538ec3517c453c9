#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <future>
#include <limits>
#include <map>
#include <set>

#include "GeneratedCalls.h"
#include "tests/common/CaseName.h"

namespace {

constexpr int kCalls = 3000;

// "Иванов И.И." in Windows-1251.
const std::string kIvanov = "\xc8\xe2\xe0\xed\xee\xe2 \xc8.\xc8.";

class ReportDatabase : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fresh_ = new TFreshDatabase;
        ASSERT_TRUE(fresh_->Created());
        calls_ = new std::vector<TGenCall>(MakeCalls(kCalls));
        TCallDatabase db;
        db.Connect(fresh_->Path());
        InsertCalls(db, *calls_, true);
        ExecSql(db, "INSERT INTO Users (NumberIN, FIO) VALUES (202, '" + kIvanov + "')");
    }
    static void TearDownTestSuite() {
        delete calls_;
        delete fresh_;
    }
    static TReportFilter Whole() {
        TReportFilter f;
        f.Period = TReportPeriod::Days(Day(2026, 3, 1), Day(2026, 4, 30));
        return f;
    }

    static TFreshDatabase* fresh_;
    static std::vector<TGenCall>* calls_;
};
TFreshDatabase* ReportDatabase::fresh_ = nullptr;
std::vector<TGenCall>* ReportDatabase::calls_ = nullptr;

std::string KeyOf(TSummaryKind kind, const TGenCall& c) {
    char hour[8];
    switch (kind) {
        case TSummaryKind::Extension:
            return std::to_string(c.Extension);
        case TSummaryKind::Day:
            return DateToStr(static_cast<double>(DayNumber(c.Start)));
        case TSummaryKind::Hour:
            std::snprintf(hour, sizeof hour, "%02d", DecodeTime(c.Start + 0.5 / 86400).Hour);
            return hour;
        case TSummaryKind::Line:
            return std::to_string(c.Line);
        case TSummaryKind::Number:
            return c.Number;
        case TSummaryKind::Station:
            return c.Station;
    }
    return {};
}

struct SummaryCase {
    const char* name;
    TSummaryKind kind;
    std::vector<int32_t> extensions;
};

class Summaries : public ReportDatabase, public ::testing::WithParamInterface<SummaryCase> {};

TEST_P(Summaries, EveryGroupCountsItsCallsAndTalkTime) {
    const SummaryCase& p = GetParam();
    TReportEngine engine(fresh_->Path());
    TReportFilter f = Whole();
    f.Period = TReportPeriod::Days(Day(2026, 3, 5), Day(2026, 3, 25));
    f.Extensions = p.extensions;
    std::map<std::string, TSummaryRow> expected;
    TSummaryRow total;
    for (const auto& c : *calls_) {
        if (!Keeps(f, c)) continue;
        if (p.kind == TSummaryKind::Number && c.Incoming()) continue;
        for (TSummaryRow* r : {&expected[KeyOf(p.kind, c)], &total}) {
            (c.Incoming() ? r->CallsIn : r->CallsOut) += 1;
            (c.Incoming() ? r->SecondsIn : r->SecondsOut) += c.Duration;
        }
    }
    ASSERT_GT(total.Calls(), 100);

    const TSummary s = engine.Summary(p.kind, f);
    EXPECT_EQ(s.Total.Calls(), total.Calls());
    EXPECT_EQ(s.Total.SecondsIn, total.SecondsIn);
    EXPECT_EQ(s.Total.SecondsOut, total.SecondsOut);
    ASSERT_EQ(s.Rows.size(), expected.size());
    for (const auto& r : s.Rows) {
        SCOPED_TRACE(r.Key);
        ASSERT_TRUE(expected.count(r.Key));
        const TSummaryRow& e = expected[r.Key];
        EXPECT_EQ(r.CallsIn, e.CallsIn);
        EXPECT_EQ(r.CallsOut, e.CallsOut);
        EXPECT_EQ(r.SecondsIn, e.SecondsIn);
        EXPECT_EQ(r.SecondsOut, e.SecondsOut);
        if (p.kind == TSummaryKind::Extension) {
            EXPECT_EQ(r.Owner, r.KeyNumber == 202 ? kIvanov : "");
        }
    }
    // The table every front end shows carries the same figures, totals last.
    const TReportTable t = SummaryTable(s);
    ASSERT_EQ(t.Rows.size(), s.Rows.size());
    ASSERT_FALSE(t.Totals.empty());
    const size_t callsColumn = p.kind == TSummaryKind::Extension ? 2 : 1;
    EXPECT_EQ(t.Totals[callsColumn].Number, total.Calls());
    EXPECT_EQ(t.Totals[callsColumn + 1].Number, total.Seconds());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Summaries,
    ::testing::Values(SummaryCase{"PerExtension", TSummaryKind::Extension, {}},
                      SummaryCase{"PerDay", TSummaryKind::Day, {}},
                      SummaryCase{"PerHour", TSummaryKind::Hour, {}},
                      SummaryCase{"PerLine", TSummaryKind::Line, {}},
                      SummaryCase{"TopNumbers", TSummaryKind::Number, {}},
                      SummaryCase{"PerStation", TSummaryKind::Station, {}},
                      SummaryCase{"PerDayOfTwoExtensions", TSummaryKind::Day, {202, 204}}),
    CaseName());

TEST_F(ReportDatabase, SummaryRowsComeInTheirNaturalOrder) {
    TReportEngine engine(fresh_->Path());
    const TSummary days = engine.Summary(TSummaryKind::Day, Whole());
    EXPECT_TRUE(std::is_sorted(days.Rows.begin(), days.Rows.end(),
                               [](auto& a, auto& b) { return a.KeyDate < b.KeyDate; }));
    const TSummary numbers = engine.Summary(TSummaryKind::Number, Whole(), 5);
    ASSERT_EQ(numbers.Rows.size(), 5u);
    EXPECT_TRUE(std::is_sorted(numbers.Rows.begin(), numbers.Rows.end(),
                               [](auto& a, auto& b) { return a.Calls() > b.Calls(); }));
}

struct FilterCase {
    const char* name;
    std::function<void(TReportFilter&)> set;
};

class Filters : public ReportDatabase, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(Filters, ListAndTotalsKeepExactlyTheMatchingCalls) {
    TReportEngine engine(fresh_->Path());
    TReportFilter f = Whole();
    GetParam().set(f);
    int64_t count = 0, seconds = 0;
    for (const auto& c : *calls_)
        if (Keeps(f, c)) ++count, seconds += c.Duration;
    ASSERT_GT(count, 0);
    const TSummaryRow t = engine.Totals(f);
    EXPECT_EQ(t.Calls(), count);
    EXPECT_EQ(t.Seconds(), seconds);
    int64_t listed = 0;
    engine.ForEachCall(f, [&](const TCallRow& r) {
        ++listed;
        EXPECT_TRUE(f.Extensions.empty() ||
                    std::count(f.Extensions.begin(), f.Extensions.end(), r.Extension));
        EXPECT_GE(r.Duration, f.MinDuration);
        return true;
    });
    EXPECT_EQ(listed, count);
}

INSTANTIATE_TEST_SUITE_P(
    Each, Filters,
    ::testing::Values(
        FilterCase{"Nothing", [](TReportFilter&) {}},
        FilterCase{"OneDay",
                   [](TReportFilter& f) {
                       f.Period = TReportPeriod::Days(Day(2026, 3, 7), Day(2026, 3, 7));
                   }},
        FilterCase{"Extensions",
                   [](TReportFilter& f) {
                       f.Extensions = {201, 205};
                   }},
        FilterCase{"NumberPart", [](TReportFilter& f) { f.NumberPart = "5100"; }},
        FilterCase{"Incoming", [](TReportFilter& f) { f.Direction = TDirection::Incoming; }},
        FilterCase{"Outgoing", [](TReportFilter& f) { f.Direction = TDirection::Outgoing; }},
        FilterCase{"LongerThanAnHour", [](TReportFilter& f) { f.MinDuration = 3600; }},
        FilterCase{"Line", [](TReportFilter& f) { f.Line = 2; }},
        FilterCase{"Station", [](TReportFilter& f) { f.Station = "north"; }},
        FilterCase{"AllAtOnce",
                   [](TReportFilter& f) {
                       f.Extensions = {202, 203};
                       f.Direction = TDirection::Outgoing;
                       f.MinDuration = 100;
                       f.Line = 1;
                       f.Station = "south";
                   }}),
    CaseName());

TEST_F(ReportDatabase, TheListNamesOwnersAndDirections) {
    TReportEngine engine(fresh_->Path());
    TReportFilter f = Whole();
    f.Extensions = {202};
    const TCallPage page = engine.Calls(f, std::nullopt, 50);
    ASSERT_EQ(page.Rows.size(), 50u);
    for (const auto& r : page.Rows) {
        EXPECT_EQ(r.Owner, kIvanov);
        EXPECT_EQ(r.Incoming, r.Number == "0");
        EXPECT_TRUE(r.Station == "north" || r.Station == "south");
        EXPECT_GT(r.Id, 0);
    }
}

TEST(ReportCursor, TokenGoesAndComesBackAndGarbageIsRefused) {
    const TCallCursor c{Day(2026, 3, 9) + (13 * 3600 + 5 * 60 + 7) / 86400.0, 123456789};
    const auto back = TCallCursor::FromToken(c.ToToken());
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->Start, c.Start, 1e-9);
    EXPECT_EQ(back->Tie, c.Tie);
    // The largest key there is.
    const TCallCursor last{c.Start, std::numeric_limits<int64_t>::max()};
    const auto lastBack = TCallCursor::FromToken(last.ToToken());
    ASSERT_TRUE(lastBack) << last.ToToken();
    EXPECT_EQ(lastBack->Tie, last.Tie);
    for (const char* bad :
         {"", "-", "12", "12-", "-5", "x-1", "1-y", "1-2-3", "99999999999999999999-1",
          "1-99999999999999999999", "1-9223372036854775808"})
        EXPECT_FALSE(TCallCursor::FromToken(bad)) << bad;
}

TEST(ReportPeriods, PresetsCoverWholeDaysFromMonday) {
    const TDateTime wednesday = Day(2026, 12, 9) + 0.4;
    struct {
        TPeriodPreset preset;
        TDateTime from, to;
    } cases[] = {
        {TPeriodPreset::Today, Day(2026, 12, 9), Day(2026, 12, 10)},
        {TPeriodPreset::Yesterday, Day(2026, 12, 8), Day(2026, 12, 9)},
        {TPeriodPreset::ThisWeek, Day(2026, 12, 7), Day(2026, 12, 14)},
        {TPeriodPreset::ThisMonth, Day(2026, 12, 1), Day(2027, 1, 1)},
        {TPeriodPreset::LastMonth, Day(2026, 11, 1), Day(2026, 12, 1)},
    };
    for (const auto& c : cases) {
        const TReportPeriod p = PresetPeriod(c.preset, wednesday);
        EXPECT_EQ(p.From, c.from);
        EXPECT_EQ(p.To, c.to);
    }
    EXPECT_EQ(PresetPeriod(TPeriodPreset::LastMonth, Day(2027, 1, 15)).From, Day(2026, 12, 1));
    EXPECT_EQ(PresetPeriod(TPeriodPreset::ThisWeek, Day(2026, 12, 6)).From, Day(2026, 11, 30));
}

TEST(ReportWorker, AnUnreachableDatabaseFailsTheJobAndNotTheWorker) {
    TReportWorker worker("/nonexistent/calls.fdb");
    auto result = worker.Run([](TReportEngine& e) { return e.Columns().Id; });
    EXPECT_ANY_THROW(result.get());
    auto again = worker.Run([](TReportEngine&) { return 1; });
    EXPECT_ANY_THROW(again.get());
}

// A nice value was not enough: a niced report beside the record path still cost it a quarter
// of its commits, so reports run only on a processor that is otherwise idle.
TEST_F(ReportDatabase, ReportsRunOnlyOnAProcessorNobodyElseWants) {
    TReportWorker worker(fresh_->Path());
    auto policy = worker.Run([](TReportEngine& e) {
        e.Totals(TReportFilter{});
        return sched_getscheduler(0);
    });
    EXPECT_EQ(policy.get(), SCHED_IDLE);
    EXPECT_NE(sched_getscheduler(0), SCHED_IDLE) << "only the worker's thread is lowered";
}

}  // namespace
