#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "GeneratedCalls.h"
#include "reports/ReportExport.h"
#include "tests/common/CaseName.h"

namespace {

// Owners of every kind, in the order the generated calls cycle through their extensions: a long
// name, an empty one, none at all, a short one, none again. A row reused from the call before
// must not keep that call's owner.
const std::string kLongOwner =
    "\xc2\xe0\xf1\xe8\xeb\xfc\xe5\xe2\xe0-\xd1\xee\xeb\xee\xe2\xfc\xb8\xe2\xe0 "
    "\xc5\xea\xe0\xf2\xe5\xf0\xe8\xed\xe0 \xc0\xeb\xe5\xea\xf1\xe0\xed\xe4\xf0\xee\xe2\xed\xe0";
const std::string kShortOwner = "\xcf\xe5\xf2\xf0\xee\xe2";  // Петров
const std::map<int, std::string> kOwners = {{201, kLongOwner}, {203, ""}, {204, kShortOwner}};

struct StreamCase {
    const char* name;
    bool withId;  // a database from before the calls' own key
};

class StreamedList : public ::testing::TestWithParam<StreamCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(fresh_.Created());
        TCallDatabase db;
        db.Connect(fresh_.Path());
        if (!GetParam().withId) {
            ExecSql(db, "DROP INDEX Rings_RingDate_ID");
            ExecSql(db, "DROP INDEX Rings_ID");
            ExecSql(db, "ALTER TABLE Rings DROP ID");
            // As such databases were made: the list's order from the date's own index.
            ExecSql(db, "CREATE INDEX Rings_RingDate ON Rings (RingDate)");
        }
        InsertCalls(db, MakeCalls(700, 10), true);
        for (const auto& [ext, fio] : kOwners)
            ExecSql(db, "INSERT INTO Users (NumberIN, FIO) VALUES (" + std::to_string(ext) + ", '" +
                            fio + "')");
        filter_.Period = TReportPeriod::Days(Day(2026, 3, 2), Day(2026, 3, 8));
    }

    std::vector<TCallRow> Paged(TReportEngine& engine) const {
        std::vector<TCallRow> rows;
        std::optional<TCallCursor> cursor;
        do {
            TCallPage page = engine.Calls(filter_, cursor, 97);
            rows.insert(rows.end(), page.Rows.begin(), page.Rows.end());
            cursor = page.Next;
        } while (cursor);
        return rows;
    }

    TFreshDatabase fresh_;
    TReportFilter filter_;
};

// The export streams from one cursor and looks owners up itself; the pages ask the server for
// each row's owner. Both name the same calls, in the same order, with the same owners.
TEST_P(StreamedList, EveryCallAsItsPageShowsIt) {
    TReportEngine engine(fresh_.Path());
    const std::vector<TCallRow> paged = Paged(engine);
    ASSERT_GT(paged.size(), 300u);
    size_t i = 0;
    engine.ForEachCall(filter_, [&](const TCallRow& r) {
        if (i >= paged.size()) {
            ADD_FAILURE() << "more calls than the pages";
            return false;
        }
        const TCallRow& p = paged[i++];
        SCOPED_TRACE(i);
        EXPECT_EQ(r.Id, p.Id);
        EXPECT_EQ(r.Start, p.Start);
        EXPECT_EQ(r.Extension, p.Extension);
        EXPECT_EQ(r.Owner, p.Owner);
        const auto owner = kOwners.find(r.Extension);
        EXPECT_EQ(r.Owner, owner == kOwners.end() ? "" : owner->second) << r.Extension;
        EXPECT_EQ(r.Line, p.Line);
        EXPECT_EQ(r.Number, p.Number);
        EXPECT_EQ(r.Incoming, r.Number == "0");
        EXPECT_EQ(r.Caller, p.Caller);
        EXPECT_EQ(r.Station, p.Station);
        EXPECT_EQ(r.Duration, p.Duration);
        return true;
    });
    EXPECT_EQ(i, paged.size());

    // The file is the table of the paged rows, byte for byte.
    std::ostringstream streamed, table;
    EXPECT_EQ(ExportCalls(engine, filter_, *MakeCsvWriter(streamed, TCsvOptions::Utf8Bom())),
              static_cast<int64_t>(paged.size()));
    WriteTable(CallTable(paged), *MakeCsvWriter(table, TCsvOptions::Utf8Bom()));
    EXPECT_EQ(streamed.str(), table.str());
}

TEST_P(StreamedList, StopsWhenTheCallerHasEnough) {
    TReportEngine engine(fresh_.Path());
    int seen = 0;
    engine.ForEachCall(filter_, [&](const TCallRow&) { return ++seen < 5; });
    EXPECT_EQ(seen, 5);
    // The engine is ready for the next report.
    EXPECT_EQ(engine.Calls(filter_, std::nullopt, 3).Rows.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Keys, StreamedList,
                         ::testing::Values(StreamCase{"WithId", true},
                                           StreamCase{"WithoutId", false}),
                         CaseName());

struct CellCase {
    const char* name;
    TDateTime start;
    int32_t duration;
};

class CallCellText : public ::testing::TestWithParam<CellCase> {};

// The list's own formatting of times and durations says what the station's formatters say.
TEST_P(CallCellText, AsTheFormattersShowIt) {
    TCallRow row;
    row.Start = GetParam().start;
    row.Duration = GetParam().duration;
    std::vector<TReportCell> cells(3, TReportCell{7, 7, "stale text of a longer row before"});
    CallCells(row, cells);
    ASSERT_EQ(cells.size(), CallColumns().size());
    EXPECT_EQ(cells[0].Text, FormatDateTime("dd.mm.yyyy hh:nn:ss", row.Start));
    EXPECT_EQ(cells[0].Time, row.Start);
    EXPECT_EQ(cells[1].Text, "0");
    EXPECT_EQ(cells[1].Time, 0);
    EXPECT_EQ(cells[2].Text, "");
    EXPECT_EQ(cells[2].Number, 0);
    EXPECT_EQ(cells[7].Text, DurationText(row.Duration));
    EXPECT_EQ(cells[7].Number, row.Duration);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CallCellText,
    ::testing::Values(CellCase{"Midnight", Day(2026, 3, 1), 0},
                      CellCase{"LastSecondOfTheDay", Day(2026, 3, 1) + 86399.0 / 86400, 59},
                      CellCase{"HalfASecondBeforeMidnight", Day(2026, 3, 1) + 86399.6 / 86400, 60},
                      CellCase{"Year1900", Day(1900, 1, 1) + 0.5, 3599},
                      CellCase{"Year9999", Day(9999, 12, 31) + 0.25, 3600},
                      CellCase{"BeforeTheEpoch", -700.75, 359999},
                      CellCase{"HundredHours", Day(2026, 12, 31) + 0.999, 360000},
                      CellCase{"NegativeDuration", Day(2026, 6, 15), -5}),
    CaseName());

}  // namespace
