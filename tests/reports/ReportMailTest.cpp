// The report mail: which periods are due, and the mail itself through a real SMTP server with
// its workbook read back, or into the outbox when the server is away.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "GeneratedCalls.h"
#include "mail/Outbox.h"
#include "mail/SmtpClient.h"
#include "notify/DailyRun.h"
#include "notify/ReportMail.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"
#include "tests/mail/Servers.h"

namespace {

struct DueCase {
    const char* name;
    bool monthly, weekly;
    TDateTime lastMonth, lastWeek;
    TDateTime today;
    std::vector<TReportPeriod> expected;
};

class DueReportsTest : public ::testing::TestWithParam<DueCase> {};

TEST_P(DueReportsTest, GivesThePeriodsJustEndedNotYetMailed) {
    const DueCase& c = GetParam();
    TReportMailSettings s;
    s.Monthly = c.monthly, s.Weekly = c.weekly, s.LastMonth = c.lastMonth, s.LastWeek = c.lastWeek;
    const auto due = DueReports(s, c.today + 0.3);
    ASSERT_EQ(due.size(), c.expected.size());
    for (size_t i = 0; i < due.size(); ++i) {
        EXPECT_EQ(due[i].Period.From, c.expected[i].From) << i;
        EXPECT_EQ(due[i].Period.To, c.expected[i].To) << i;
    }
}

const TReportPeriod kMarch{Day(2026, 3, 1), Day(2026, 4, 1)};
const TReportPeriod kWeekBeforeApril6{Day(2026, 3, 30), Day(2026, 4, 6)};

INSTANTIATE_TEST_SUITE_P(
    Cases, DueReportsTest,
    ::testing::Values(
        DueCase{"NothingAskedNothingDue", false, false, 0, 0, Day(2026, 4, 1), {}},
        DueCase{"FirstOfTheMonth", true, false, 0, 0, Day(2026, 4, 1), {kMarch}},
        DueCase{"MailedAlready", true, false, Day(2026, 3, 1), 0, Day(2026, 4, 1), {}},
        DueCase{"StationOffOnTheFirstMailsLater",
                true,
                false,
                Day(2026, 2, 1),
                0,
                Day(2026, 4, 3),
                {kMarch}},
        DueCase{"Monday", false, true, 0, Day(2026, 3, 23), Day(2026, 4, 6), {kWeekBeforeApril6}},
        DueCase{"TuesdayAfterAMondayMailed", false, true, 0, Day(2026, 3, 30), Day(2026, 4, 7), {}},
        DueCase{"BothOnTheFirst",
                true,
                true,
                0,
                0,
                Day(2026, 4, 1),
                {kMarch, {Day(2026, 3, 23), Day(2026, 3, 30)}}}),
    CaseName());

class ReportMailRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fresh_.Created());
        calls_ = MakeCalls(900, 45);
        TCallDatabase db;
        db.Connect(fresh_.Path());
        InsertCalls(db, calls_, false);
        recorder_.ProgramDir = station_.path();
        recorder_.DBPath = fresh_.Path();
        recorder_.MsgAddress = "admin@office.test";
        recorder_.FromSMTP = "station@office.test";
        recorder_.AddrSMTP = "127.0.0.1";
        std::ofstream(station_.file("reports.ini")) << "[ReportMail]\r\nMonthly=1\r\n";
        run_ = std::make_unique<TDailyRun>(recorder_, callDb_, smtp_, TDailyRunHooks{});
    }

    TFreshDatabase fresh_;
    TempDir station_;
    std::vector<TGenCall> calls_;
    TRecorder recorder_;
    TCallDatabase callDb_;
    TSmtpClient smtp_;
    std::unique_ptr<TDailyRun> run_;
};

TEST_F(ReportMailRun, MailsMarchWithItsWorkbookOnceOnly) {
    SinkServer sink;
    ASSERT_GT(sink.Port(), 0);
    recorder_.PortSMTP = sink.Port();
    run_->SendReportMails(Day(2026, 4, 1));
    const std::string eml = sink.Data(1);
    ASSERT_FALSE(eml.empty());
    EXPECT_NE(sink.Envelope(1).find("admin@office.test"), std::string::npos);
    EXPECT_TRUE(sink.Data(2).empty());

    // The attachment opened as a workbook; its figures against the calls of March.
    std::map<int, std::pair<int64_t, int64_t>> expected;  // calls, seconds
    TReportFilter march;
    march.Period = kMarch;
    for (const auto& c : calls_)
        if (Keeps(march, c))
            ++expected[c.Extension].first, expected[c.Extension].second += c.Duration;
    const std::string emlPath = station_.file("mail.eml"), script = station_.file("check.py");
    std::ofstream(emlPath, std::ios::binary) << eml;
    std::ofstream(script) << R"(import sys, io, email, datetime, openpyxl
msg = email.message_from_binary_file(open(sys.argv[1], 'rb'))
parts = [p for p in msg.walk() if p.get_filename()]
assert len(parts) == 1, [p.get_filename() for p in parts]
print(parts[0].get_filename())
ws = openpyxl.load_workbook(io.BytesIO(parts[0].get_payload(decode=True))).active
rows = list(ws.iter_rows(values_only=True))
assert rows[0][0] == 'Абонент', rows[0]
for r in rows[1:-1]:
    assert isinstance(r[0], int) and isinstance(r[2], int), r
    assert isinstance(r[3], datetime.timedelta), r
    print(r[0], r[2], int(r[3].total_seconds()))
print(rows[-1][0])
)";
    const std::string out = station_.file("py.txt");
    ASSERT_EQ(std::system((std::string(TARVICK_PYTHON " '") + script + "' '" + emlPath + "' >'" +
                           out + "' 2>&1")
                              .c_str()),
              0)
        << ReadBytes(out);
    std::string want = "extensions_2026-03-01_2026-03-31.xlsx\n";
    for (const auto& [ext, figures] : expected)
        want += std::to_string(ext) + " " + std::to_string(figures.first) + " " +
                std::to_string(figures.second) + "\n";
    EXPECT_EQ(ReadBytes(out), want + "Итого\n");
    // The body names the busiest extensions.
    EXPECT_NE(eml.find("Content-Type: text/plain"), std::string::npos);

    // Mailed once: the next run has nothing more to send for March.
    run_->SendReportMails(Day(2026, 4, 2));
    EXPECT_TRUE(sink.Data(2).empty());
    EXPECT_EQ(ReadReportMailSettings(station_.file("reports.ini")).LastMonth, Day(2026, 3, 1));
}

TEST_F(ReportMailRun, AServerAwayLeavesTheMailWithItsAttachmentInTheOutbox) {
    recorder_.PortSMTP = 1;  // nothing listens there
    TOutbox outbox(station_.file("outbox/"));
    run_->Outbox = &outbox;
    run_->SendReportMails(Day(2026, 4, 1));
    const auto names = outbox.Names();
    ASSERT_EQ(names.size(), 1u);
    const auto queued = outbox.Read(names[0]);
    ASSERT_TRUE(queued);
    EXPECT_NE(queued->Envelope.Body.find("extensions_2026-03-01_2026-03-31.xlsx"),
              std::string::npos);
    EXPECT_GT(queued->Envelope.Body.size(), 3000u);  // the workbook, encoded
    EXPECT_EQ(ReadReportMailSettings(station_.file("reports.ini")).LastMonth, Day(2026, 3, 1));
}

TEST_F(ReportMailRun, ADatabaseAwayMailsNothingAndTriesAgainNextRun) {
    SinkServer sink;
    recorder_.PortSMTP = sink.Port();
    recorder_.DBPath = station_.file("missing.fdb");
    run_->SendReportMails(Day(2026, 4, 1));
    EXPECT_TRUE(sink.Data(1).empty());
    EXPECT_EQ(ReadReportMailSettings(station_.file("reports.ini")).LastMonth, 0);
    recorder_.DBPath = fresh_.Path();
    run_->SendReportMails(Day(2026, 4, 2));
    EXPECT_FALSE(sink.Data(1).empty());
}

}  // namespace
