#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "GeneratedCalls.h"
#include "platform/CodePage.h"
#include "reports/ReportExport.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"
#include "tests/journal/StationTool.h"

namespace {

namespace fs = std::filesystem;

// RFC 4180 records: quoted fields with doubled quotes, CR LF between records.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text, char sep) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false, inQuotes = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += '"', ++i;
            else if (c == '"')
                inQuotes = false;
            else
                field += c;
        } else if (c == '"' && field.empty() && !quoted) {
            inQuotes = quoted = true;
        } else if (c == sep) {
            rows.back().push_back(field), field.clear(), quoted = false;
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field), field.clear(), quoted = false;
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    if (rows.back().empty()) rows.pop_back();
    return rows;
}

const std::string kOwner =
    "\xd1\xe8\xe4\xee\xf0\xee\xe2; \"\xc1\xfb\xf1\xf2\xf0\xfb\xe9\"";  // Сидоров; "Быстрый"

struct CsvCase {
    const char* name;
    TCsvOptions options;
    const char* prefix;
};

class CsvExport : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvExport, ReadsBackCellForCellInItsEncoding) {
    TSummary s;
    s.Kind = TSummaryKind::Extension;
    TSummaryRow r;
    r.Key = "201", r.KeyNumber = 201, r.Owner = kOwner, r.CallsIn = 2, r.SecondsIn = 3723;
    s.Rows.push_back(r);
    TSummaryRow formula;
    formula.Key = "202", formula.KeyNumber = 202, formula.Owner = "=HYPERLINK(\"x\")";
    s.Rows.push_back(formula);
    s.Total = r;
    std::ostringstream out;
    WriteTable(SummaryTable(s), *MakeCsvWriter(out, GetParam().options));
    std::string text = out.str();
    ASSERT_EQ(text.rfind(GetParam().prefix, 0), 0u);
    text = text.substr(std::string(GetParam().prefix).size());
    if (GetParam().options.Encoding != TCsvEncoding::Windows1251) text = platform::Utf8ToAnsi(text);
    const auto rows = ParseCsv(text, GetParam().options.Separator);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][0], "\xc0\xe1\xee\xed\xe5\xed\xf2");  // Абонент
    EXPECT_EQ(rows[1], (std::vector<std::string>{"201", kOwner, "2", "1:02:03", "2", "1:02:03", "0",
                                                 "0:00:00"}));
    // A text a spreadsheet would run as a formula stays text.
    EXPECT_EQ(rows[2][1], "'=HYPERLINK(\"x\")");
    EXPECT_EQ(rows[3][0], "\xc8\xf2\xee\xe3\xee");  // Итого
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, CsvExport,
    ::testing::Values(CsvCase{"Windows1251Semicolon", TCsvOptions::Windows1251(), ""},
                      CsvCase{"Utf8WithBom", TCsvOptions::Utf8Bom(), "\xef\xbb\xbf"},
                      CsvCase{"PlainUtf8Comma", TCsvOptions::Plain(), ""}),
    CaseName());

// Runs a script of openpyxl on a workbook; what it prints.
std::string ReadWorkbook(const fs::path& dir, const std::string& xlsx, const std::string& code) {
    const fs::path script = dir / "read.py", out = dir / "read.txt";
    std::ofstream(script) << "import sys, datetime, openpyxl\n"
                             "ws = openpyxl.load_workbook(sys.argv[1]).active\n"
                          << code;
    const int rc = std::system((std::string(TARVICK_PYTHON " '") + script.string() + "' '" + xlsx +
                                "' >'" + out.string() + "' 2>&1")
                                   .c_str());
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return rc == 0 ? text : "script failed: " + text;
}

// Every kind of cell a table has, read back by a spreadsheet library: texts that XML must
// escape or keep spaced, numbers, dates, durations, labels in typed columns, the bold totals.
TEST(XlsxExport, EveryCellReadsBackWithItsTypeAndFormat) {
    TempDir dir;
    const std::string xlsx = dir.file("t.xlsx");
    TReportTable t;
    t.Columns = {{"\xd2\xe5\xea\xf1\xf2", TCellType::Text},  // Текст
                 {"N", TCellType::Integer},
                 {"Day", TCellType::Date},
                 {"When", TCellType::DateTime},
                 {"Talk", TCellType::Duration}};
    auto row = [](std::string text, int64_t n, TDateTime day, TDateTime when, int64_t talk) {
        return std::vector<TReportCell>{{0, 0, std::move(text)},
                                        {n, 0, std::to_string(n)},
                                        {0, day, DateToStr(day)},
                                        {0, when, FormatDateTime("dd.mm.yyyy hh:nn:ss", when)},
                                        {talk, 0, DurationText(talk)}};
    };
    t.Rows.push_back(row("a & b <c> \"q\"", 201, Day(2026, 3, 9),
                         Day(2026, 3, 9) + (13 * 3600 + 5 * 60 + 7) / 86400.0, 3723));
    t.Rows.push_back(row(" lead", -5, Day(2000, 1, 1), Day(2026, 12, 31) + 86399 / 86400.0, 0));
    t.Rows.push_back(row("trail ", 0, Day(2026, 3, 10), Day(2026, 3, 10), 360000));
    t.Rows.push_back(row("ctl\x01x\ty", 7, Day(2026, 3, 11), Day(2026, 3, 11), 59));
    t.Rows.push_back(row(kOwner, 8, Day(2026, 3, 12), Day(2026, 3, 12), 1));
    t.Rows.push_back(row("", 9, Day(2026, 3, 13), Day(2026, 3, 13), 60));
    // "Итого" under the numbers, a label where a date would be.
    t.Totals = {{0, 0, ""},
                {0, 0, "\xc8\xf2\xee\xe3\xee"},
                {0, 0, "-"},
                {0, 0, ""},
                {363845, 0, DurationText(363845)}};
    auto writer = MakeXlsxWriter(xlsx);
    WriteTable(t, *writer);
    // The web download finishes once more after the export; the file stays whole.
    writer->Finish();

    const std::string got = ReadWorkbook(dir.path(), xlsx, R"(
def show(c):
    v = c.value
    if isinstance(v, datetime.timedelta): v = 'seconds %d' % round(v.total_seconds())
    elif isinstance(v, datetime.time): v = 'seconds %d' % (v.hour * 3600 + v.minute * 60 + v.second)
    elif isinstance(v, datetime.datetime): v = v.strftime('%Y-%m-%d %H:%M:%S')
    else: v = repr(v)
    return '%s %s%s' % (v, c.number_format, ' bold' if c.font.b else '')
for r in ws.iter_rows():
    print(' | '.join(show(c) for c in r))
)");
    const std::string expected =
        "'Текст' General bold | 'N' General bold | 'Day' General bold | "
        "'When' General bold | 'Talk' General bold\n"
        "'a & b <c> \"q\"' General | 201 General | 2026-03-09 00:00:00 dd.mm.yyyy | "
        "2026-03-09 13:05:07 dd.mm.yyyy hh:mm:ss | seconds 3723 [h]:mm:ss\n"
        "' lead' General | -5 General | 2000-01-01 00:00:00 dd.mm.yyyy | "
        "2026-12-31 23:59:59 dd.mm.yyyy hh:mm:ss | seconds 0 [h]:mm:ss\n"
        "'trail ' General | 0 General | 2026-03-10 00:00:00 dd.mm.yyyy | "
        "2026-03-10 00:00:00 dd.mm.yyyy hh:mm:ss | seconds 360000 [h]:mm:ss\n"
        "'ctl_x0001_x\\ty' General | 7 General | 2026-03-11 00:00:00 dd.mm.yyyy | "
        "2026-03-11 00:00:00 dd.mm.yyyy hh:mm:ss | seconds 59 [h]:mm:ss\n"
        "'" +
        platform::AnsiToUtf8(kOwner) +
        "' General | 8 General | 2026-03-12 00:00:00 dd.mm.yyyy | "
        "2026-03-12 00:00:00 dd.mm.yyyy hh:mm:ss | seconds 1 [h]:mm:ss\n"
        "None General | 9 General | 2026-03-13 00:00:00 dd.mm.yyyy | "
        "2026-03-13 00:00:00 dd.mm.yyyy hh:mm:ss | seconds 60 [h]:mm:ss\n"
        "None General | 'Итого' General bold | '-' General bold | None General | "
        "seconds 363845 [h]:mm:ss bold\n";
    EXPECT_EQ(got, expected);
}

// tarvick-tool report on a station directory whose settings table names a database of generated
// calls.
class ReportTool : public station_tool::StationTool {
protected:
    void SetUp() override {
        StationTool::SetUp();
        calls_ = MakeCalls(500, 20);
        TCallDatabase db;
        db.Connect(db_.Path());
        InsertCalls(db, calls_, false);
    }
    std::string Station() const { return "'" + station_.string() + "'"; }

    std::vector<TGenCall> calls_;
};

TEST_F(ReportTool, SummaryGoesToStandardOutputAsCsv) {
    ASSERT_EQ(Tool("report " + Station() +
                   " --from 2026-03-01 --to 2026-03-10 --by extension --ext 201,203"),
              0)
        << err_;
    const auto rows = ParseCsv(out_, ',');
    ASSERT_EQ(rows.size(), 4u) << out_;  // header, two extensions, totals
    EXPECT_EQ(rows[0][0], "Абонент");
    TReportFilter f;
    f.Period = TReportPeriod::Days(Day(2026, 3, 1), Day(2026, 3, 10));
    for (int row = 1; row <= 2; ++row) {
        f.Extensions = {std::stoi(rows[row][0])};
        int64_t calls = 0, seconds = 0;
        for (const auto& c : calls_)
            if (Keeps(f, c)) ++calls, seconds += c.Duration;
        EXPECT_EQ(rows[row][2], std::to_string(calls));
        EXPECT_EQ(rows[row][3], DurationText(seconds));
    }
    EXPECT_EQ(rows[3][0], "Итого");
}

// tarvick-tool totals adds up what the daily run would, says so, and a second run finds nothing
// to do; the report tool then gives the same figures as before.
TEST_F(ReportTool, TotalsAreAddedUpByHandAndChangeNoFigure) {
    const std::string report =
        "report " + Station() + " --from 2026-03-01 --to 2026-03-20 --by day";
    ASSERT_EQ(Tool(report), 0) << err_;
    const std::string before = out_;
    ASSERT_EQ(Tool("totals " + Station() + " --today 2026-03-15"), 0) << err_;
    EXPECT_NE(out_.find("days=14 late=0 recounted=0"), std::string::npos) << out_;
    ASSERT_EQ(Tool("totals " + Station() + " --today 2026-03-15"), 0) << err_;
    EXPECT_NE(out_.find("days=0 late=0 recounted=0"), std::string::npos) << out_;
    ASSERT_EQ(Tool(report), 0) << err_;
    EXPECT_EQ(out_, before);
    EXPECT_EQ(Tool("totals " + Station() + " --today 15.03.2026"), 1);
}

TEST_F(ReportTool, CallListAsXlsxHasTypedCells) {
    const std::string xlsx = (db_.Dir() / "calls.xlsx").string();
    ASSERT_EQ(
        Tool("report " + Station() +
             " --from 2026-03-01 --to 2026-03-20 --by calls --format xlsx --out '" + xlsx + "'"),
        0)
        << err_;
    const std::string script = (db_.Dir() / "check.py").string();
    std::ofstream(script) << R"(import sys, datetime, openpyxl
ws = openpyxl.load_workbook(sys.argv[1]).active
rows = list(ws.iter_rows(min_row=2))
print(len(rows))
for r in rows:
    assert isinstance(r[0].value, datetime.datetime), r[0].value
    assert isinstance(r[1].value, int), r[1].value
    assert isinstance(r[3].value, int), r[3].value
    assert isinstance(r[4].value, str), r[4].value
    assert r[7].is_date and r[7].number_format == '[h]:mm:ss', r[7].number_format
    assert isinstance(r[7].value, (datetime.time, datetime.timedelta)), r[7].value
first = rows[0]
print(first[0].value.strftime('%Y-%m-%d %H:%M:%S'), first[1].value)
)";
    const fs::path out = db_.Dir() / "py.txt";
    ASSERT_EQ(std::system((std::string(TARVICK_PYTHON " '") + script + "' '" + xlsx + "' >'" +
                           out.string() + "' 2>&1")
                              .c_str()),
              0)
        << ReadFile(out);
    TReportFilter f;
    f.Period = TReportPeriod::Days(Day(2026, 3, 1), Day(2026, 3, 20));
    int64_t count = 0;
    TDateTime first = 1e9;
    int firstExt = 0;
    for (const auto& c : calls_)
        if (Keeps(f, c)) {
            ++count;
            if (c.Start < first) first = c.Start, firstExt = c.Extension;
        }
    EXPECT_EQ(ReadFile(out), std::to_string(count) + "\n" +
                                 FormatDateTime("yyyy-mm-dd hh:nn:ss", first) + " " +
                                 std::to_string(firstExt) + "\n");
}

TEST_F(ReportTool, HtmlNamesTheReport) {
    ASSERT_EQ(
        Tool("report " + Station() + " --from 2026-03-01 --to 2026-03-31 --by hour --format html"),
        0)
        << err_;
    EXPECT_NE(out_.find("<title>По часам</title>"), std::string::npos) << out_;
    EXPECT_NE(out_.find("<tfoot>"), std::string::npos);
}

struct UsageCase {
    const char* name;
    const char* args;  // after the station directory
};

class ReportToolUsage : public ReportTool, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(ReportToolUsage, ExitsTwoWithTheUsageText) {
    EXPECT_EQ(Tool("report " + Station() + " " + GetParam().args), 2) << out_;
    EXPECT_NE(err_.find("usage: tarvick-tool report DIR --from YYYY-MM-DD"), std::string::npos)
        << err_;
    EXPECT_EQ(out_, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportToolUsage,
    ::testing::Values(
        UsageCase{"NoKind", "--from 2026-03-01 --to 2026-03-02"},
        UsageCase{"UnknownKind", "--from 2026-03-01 --to 2026-03-02 --by week"},
        UsageCase{"BadDate", "--from 2026-02-30 --to 2026-03-02 --by day"},
        UsageCase{"ToBeforeFrom", "--from 2026-03-05 --to 2026-03-02 --by day"},
        UsageCase{"BadExtension", "--from 2026-03-01 --to 2026-03-02 --by day --ext 1,x"},
        UsageCase{"BadFormat", "--from 2026-03-01 --to 2026-03-02 --by day --format pdf"},
        UsageCase{"ValueMissing", "--from 2026-03-01 --to 2026-03-02 --by"},
        UsageCase{"UnknownOption", "--from 2026-03-01 --to 2026-03-02 --by day -x 1"}),
    CaseName());

}  // namespace
