#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

#include "GeneratedCalls.h"
#include "tests/common/CaseName.h"

namespace {

using TCallKey = std::tuple<int64_t, int, int, std::string, int>;

TCallKey KeyOf(TDateTime start, int ext, int line, const std::string& number, int duration) {
    return {std::llround(start * 86400), ext, line, number, duration};
}

struct PagingCase {
    const char* name;
    bool withId;  // a database from before the calls' own key
    int pageSize;
};

class Paging : public ::testing::TestWithParam<PagingCase> {};

// While the list is paged through, another connection stores calls all over the period, some in
// the very second the last page ended on: every call there at the start is listed exactly once,
// in order, and no call ever twice.
TEST_P(Paging, NoCallTwiceOrMissingWhileNewCallsArrive) {
    const PagingCase& p = GetParam();
    TFreshDatabase fresh;
    ASSERT_TRUE(fresh.Created());
    TCallDatabase db;
    db.Connect(fresh.Path());
    if (!p.withId) {
        ExecSql(db, "DROP INDEX Rings_RingDate_ID");
        ExecSql(db, "DROP INDEX Rings_ID");
        ExecSql(db, "ALTER TABLE Rings DROP ID");
        // As such databases were made: the list's order from the date's own index.
        ExecSql(db, "CREATE INDEX Rings_RingDate ON Rings (RingDate)");
    }
    const auto calls = MakeCalls(600, 10);
    InsertCalls(db, calls, false);

    TReportEngine engine(fresh.Path());
    EXPECT_EQ(engine.Columns().Id, p.withId);
    TReportFilter f;
    f.Period = TReportPeriod::Days(Day(2026, 3, 1), Day(2026, 3, 10));

    std::multiset<TCallKey> expected, seen;
    for (const auto& c : calls)
        expected.insert(KeyOf(c.Start, c.Extension, c.Line, c.Number, c.Duration));
    std::set<int64_t> ids;
    std::optional<TCallCursor> cursor;
    TDateTime last = 0;
    int pages = 0, added = 0, newSeen = 0;
    for (;;) {
        const TCallPage page = engine.Calls(f, cursor, p.pageSize);
        ++pages;
        for (const auto& r : page.Rows) {
            EXPECT_GE(r.Start, last - 1e-9);
            last = r.Start;
            if (p.withId) {
                EXPECT_TRUE(ids.insert(r.Id).second) << "call " << r.Id << " twice";
            }
            if (r.Extension == 999) {
                ++newSeen;
                continue;
            }
            seen.insert(KeyOf(r.Start, r.Extension, r.Line, r.Number, r.Duration));
        }
        if (!page.Next) break;
        cursor = page.Next;
        // New calls: one somewhere in the period, and after every third page one in the second
        // the page ended on.
        std::vector<TGenCall> fresh2(pages % 3 ? 1 : 2);
        fresh2[0].Start = f.Period.From + (added * 0.37 - std::floor(added * 0.37)) * 9;
        if (fresh2.size() > 1) fresh2[1].Start = cursor->Start;
        for (auto& c : fresh2) {
            c.Extension = 999;
            c.Line = 1;
            c.Number = std::to_string(500000 + added++);
            c.Duration = 1;
        }
        InsertCalls(db, fresh2, false);
        ASSERT_LT(pages, 1000);
    }
    EXPECT_EQ(seen, expected);
    // The calls stored in the very second a page ended on come after it, so they are listed.
    EXPECT_GE(newSeen, (pages - 1) / 3);
    EXPECT_LE(newSeen, added);
}

INSTANTIATE_TEST_SUITE_P(Keys, Paging,
                         ::testing::Values(PagingCase{"ByIdSevenAPage", true, 7},
                                           PagingCase{"ByIdHundredAPage", true, 100},
                                           PagingCase{"WithoutIdSevenAPage", false, 7},
                                           PagingCase{"WithoutIdTwoAPage", false, 2}),
                         CaseName());

TEST(PagingEnd, AnEmptySelectionIsOneEmptyLastPage) {
    TFreshDatabase fresh;
    ASSERT_TRUE(fresh.Created());
    TReportEngine engine(fresh.Path());
    TReportFilter f;
    f.Period = TReportPeriod::Days(Day(2026, 3, 1), Day(2026, 3, 1));
    const TCallPage page = engine.Calls(f, std::nullopt, 10);
    EXPECT_TRUE(page.Rows.empty());
    EXPECT_FALSE(page.Next);
    EXPECT_EQ(engine.Summary(TSummaryKind::Extension, f).Rows.size(), 0u);
    EXPECT_EQ(engine.Summary(TSummaryKind::Station, f).Rows.size(), 0u);
}

}  // namespace
