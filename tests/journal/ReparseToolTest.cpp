// tarvick-tool upgrade-db and reparse on a station directory whose settings name a real
// database: an old database brought up to date without touching a row, a template fix
// replacing exactly one station's rows of the days named, and a reparse killed at random
// instants leaving every line stored once.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sstream>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "journal/Reparse.h"
#include "tests/common/CaseName.h"
#include "tests/journal/StationTool.h"

namespace {

namespace fs = std::filesystem;

// The number cut one column late: "495..." for "8495...".
void UseTemplate(const fs::path& station, bool right) {
    std::string text = ReadFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS");
    if (!right) text.replace(text.find("NumberOut=35"), 12, "NumberOut=36");
    std::ofstream(station / "GENERIC24.ATS", std::ios::binary | std::ios::trunc) << text;
}

class Reparse : public StationTool {
protected:
    std::string Args(const std::string& more) {
        return "reparse '" + station_.string() + "' " + more;
    }
    std::string Replay(const std::string& files = "") {
        return "replay '" + station_.string() + "'" + (files.empty() ? "" : " '" + files + "'");
    }
    fs::path Own() const { return station_ / "journal"; }
    std::string OwnId() { return ReadStationId(Own().string() + "/"); }
};

TEST_F(Reparse, ATemplateFixReplacesExactlyThatStationsRowsOfThoseDays) {
    UseTemplate(station_, false);
    Journal(Own(), 7, 0, 3);
    Journal(Own(), 8, 3, 7);
    Journal(Own(), 9, 7, 9);
    const fs::path other = db_.Dir() / "usb" / "journal";
    Journal(other, 8, 100, 104);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    ASSERT_EQ(Tool(Replay((other / "2026-12-08.log").string())), 0) << err_;
    EXPECT_EQ(Rows("where NumberOut starting with '8495'"), 0);
    EXPECT_EQ(Rows("where Station = '" + OwnId() + "' and JournalFile = '2026-12-08.log'"), 4);

    UseTemplate(station_, true);
    ASSERT_EQ(Tool(Args("--from 2026-12-08 --to 2026-12-08 --dry-run")), 0) << err_;
    EXPECT_EQ(out_, "2026-12-08: rows now 4, after 4\nlines=4 stored=4 rejected=0 replaced=4\n");
    EXPECT_EQ(Rows("where NumberOut starting with '8495'"), 0);

    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(Tool(Args("--from 2026-12-08 --to 2026-12-08")), 0) << err_;
        EXPECT_EQ(out_, "lines=4 stored=4 rejected=0 replaced=4\n");
        EXPECT_EQ(Rows(), 13);
        EXPECT_EQ(Rows("where NumberOut starting with '8495'"), 4);
        EXPECT_EQ(Rows("where NumberOut starting with '8495' and JournalFile = '2026-12-08.log' "
                       "and Station = '" +
                       OwnId() + "'"),
                  4);
    }
    // Without --to: every day from the one named on.
    ASSERT_EQ(Tool(Args("--from 2026-12-09")), 0) << err_;
    EXPECT_EQ(out_, "lines=2 stored=2 rejected=0 replaced=2\n");
    EXPECT_EQ(Rows("where NumberOut starting with '8495'"), 6);
    EXPECT_EQ(Rows(), 13);
}

// The summaries show the replaced calls at once, though their day was added up before: the day
// is counted from the calls until the next adding-up counts its month again.
TEST_F(Reparse, SummariesShowTheReplacedCallsAtOnce) {
    UseTemplate(station_, false);
    Journal(Own(), 7, 0, 3);
    Journal(Own(), 8, 3, 7);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    const std::string totals = "totals '" + station_.string() + "' --today 2026-12-10";
    ASSERT_EQ(Tool(totals), 0) << err_;
    UseTemplate(station_, true);
    ASSERT_EQ(Tool(Args("--from 2026-12-08 --to 2026-12-08")), 0) << err_;
    // Calls per dialled number of April (the lines say 12/04/26), and of them those dialled right.
    auto numbers = [&] {
        EXPECT_EQ(Tool("report '" + station_.string() +
                       "' --from 2026-04-01 --to 2026-04-30 --by number"),
                  0)
            << err_;
        std::pair<int, int> callsAndRight{0, 0};
        std::istringstream lines(out_);
        std::string line;
        std::getline(lines, line);  // the header
        while (std::getline(lines, line)) {
            const size_t comma = line.find(',');
            if (line.rfind("Итого", 0) == 0) continue;
            const int calls = std::stoi(line.substr(comma + 1));
            callsAndRight.first += calls;
            if (line.rfind("8495", 0) == 0) callsAndRight.second += calls;
        }
        return callsAndRight;
    };
    EXPECT_EQ(numbers(), std::make_pair(7, 4));
    ASSERT_EQ(Tool(totals), 0) << err_;
    EXPECT_NE(out_.find("recounted=1"), std::string::npos) << out_;
    EXPECT_EQ(numbers(), std::make_pair(7, 4));
}

// Lines a wrong template rejected are looked at again, their notes replaced.
TEST_F(Reparse, LinesRejectedBeforeComeIn) {
    std::string wrong = ReadFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS");
    wrong.replace(wrong.find("Day=1"), 5, "Day=22");  // the extension's column: day 201
    std::ofstream(station_ / "GENERIC24.ATS", std::ios::binary | std::ios::trunc) << wrong;
    Journal(Own(), 9, 0, 3);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    TCallDatabase callDb;
    callDb.Connect(db_.Path());
    EXPECT_EQ(QueryInt(callDb, "select count(*) from RejectedLines"), 3);
    UseTemplate(station_, true);
    ASSERT_EQ(Tool(Args("--from 2026-12-09")), 0) << err_;
    EXPECT_EQ(out_, "lines=3 stored=3 rejected=0 replaced=0\n");
    EXPECT_EQ(QueryInt(callDb, "select count(*) from RejectedLines"), 0);
    EXPECT_EQ(Rows(), 3);
}

TEST_F(Reparse, KilledAtRandomInstantsLeavesEveryLineStoredOnce) {
    // Three transactions: kills land inside one and between two.
    const int lines = 2 * static_cast<int>(TReparse::kBatch) + 10000;
    UseTemplate(station_, false);
    Journal(Own(), 9, 0, lines);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    UseTemplate(station_, true);
    // The kills land inside a run whatever the machine's speed: a whole run is timed first.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Tool(Args("--from 2026-12-09")), 0) << err_;
    auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count();
    std::mt19937 random(20261209);
    int killed = 0;
    // A run that ended before its kill was quicker than the timed one (a busy machine timed it):
    // the next kills come sooner.
    for (int round = 0; round < 20 && killed < 6; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execl(TARVICK_TOOL, TARVICK_TOOL, "reparse", station_.c_str(), "--from", "2026-12-09",
                  nullptr);
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(
            std::chrono::microseconds(whole / 10 + random() % (whole * 8 / 10 + 1)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status))
            ++killed;
        else
            whole /= 2;
        EXPECT_EQ(Rows(), lines) << "after round " << round;
        // Lines stored again come whole transactions at a time.
        const int64_t fixed = Rows("where NumberOut starting with '8495'");
        EXPECT_TRUE(fixed % static_cast<int64_t>(TReparse::kBatch) == 0 || fixed == lines)
            << fixed << " after round " << round;
    }
    EXPECT_GT(killed, 3);
    ASSERT_EQ(Tool(Args("--from 2026-12-09")), 0) << err_;
    EXPECT_EQ(out_, "lines=" + std::to_string(lines) + " stored=" + std::to_string(lines) +
                        " rejected=0 replaced=" + std::to_string(lines) + "\n");
    EXPECT_EQ(Rows(), lines);
    EXPECT_EQ(Rows("where NumberOut starting with '8495'"), lines);
    TCallDatabase callDb;
    callDb.Connect(db_.Path());
    EXPECT_EQ(QueryInt(callDb, "select count(distinct JournalPos) from Rings"), lines);
}

TEST_F(Reparse, IsRefusedWhileTheStationCaptures) {
    Journal(Own(), 9, 0, 2);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    TJournal capturing;
    std::string error;
    ASSERT_TRUE(capturing.Open(Own().string(), error)) << error;
    EXPECT_EQ(Tool(Args("--from 2026-12-09")), 5);
    EXPECT_NE(err_.find("is capturing"), std::string::npos) << err_;
    capturing.Close();
    EXPECT_EQ(Tool(Args("--from 2026-12-09")), 0) << err_;
}

struct RefusalCase {
    const char* name;
    const char* args;
    std::vector<std::string> sql;  // run on the database first
    int status;
    const char* message;
};

class ReparseRefuses : public Reparse, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ReparseRefuses, WithStatusAndMessage) {
    Journal(Own(), 9, 0, 2);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    {
        TCallDatabase callDb;
        callDb.Connect(db_.Path());
        for (const std::string& sql : GetParam().sql) ExecSql(callDb, sql);
    }
    EXPECT_EQ(Tool(Args(GetParam().args)), GetParam().status) << out_;
    EXPECT_NE(err_.find(GetParam().message), std::string::npos) << err_;
    EXPECT_EQ(Rows(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReparseRefuses,
    ::testing::Values(RefusalCase{"NoDay", "", {}, 1, "usage: tarvick-tool reparse DIR --from"},
                      RefusalCase{"NotADay", "--from 2026-02-30", {}, 1, "usage:"},
                      RefusalCase{
                          "EndBeforeStart", "--from 2026-12-09 --to 2026-12-08", {}, 1, "usage:"},
                      RefusalCase{"NoSourceColumns",
                                  "--from 2026-12-09",
                                  {"drop index Rings_Source", "alter table Rings drop Station"},
                                  6,
                                  "tarvick-tool upgrade-db"},
                      RefusalCase{"NoTracedMark",
                                  "--from 2026-12-09",
                                  {"alter table JournalMarks drop TracedFile"},
                                  6,
                                  "tarvick-tool upgrade-db"}),
    CaseName());

// Databases as earlier builds made them: brought up to date with nothing but additions, twice
// with the same result; rows stored before keep no source and are never stored a second time.
struct OldDatabase {
    const char* name;
    std::vector<std::string> sql;
    const char* steps;
};

class UpgradeDb : public Reparse, public ::testing::WithParamInterface<OldDatabase> {};

TEST_P(UpgradeDb, AddsWhatIsMissingAndTouchesNoRow) {
    {
        TCallDatabase callDb;
        callDb.Connect(db_.Path());
        for (const std::string& sql : GetParam().sql) ExecSql(callDb, sql);
    }
    Journal(Own(), 8, 0, 3);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    ASSERT_EQ(Tool("upgrade-db '" + station_.string() + "'"), 0) << err_;
    EXPECT_EQ(out_, GetParam().steps);
    EXPECT_EQ(Rows(), 3);
    EXPECT_EQ(Rows("where NumberOut starting with '8495' and Station is null"), 3);
    // The call list pages on the key: rows already there are numbered, later ones too.
    EXPECT_EQ(Rows("where ID is null"), 0);
    ASSERT_EQ(Tool("upgrade-db '" + station_.string() + "'"), 0) << err_;
    EXPECT_EQ(out_, "the database is up to date\n");

    Journal(Own(), 9, 3, 5);
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    EXPECT_EQ(Rows("where Station = '" + OwnId() + "' and JournalFile = '2026-12-09.log'"), 2);
    ASSERT_EQ(Tool(Args("--from 2026-12-08")), 0) << err_;
    EXPECT_EQ(out_, "lines=2 stored=2 rejected=0 replaced=2\n");
    EXPECT_NE(err_.find("3 line(s) left as they are"), std::string::npos) << err_;
    EXPECT_EQ(Rows(), 5);
    EXPECT_EQ(Rows("where ID is null"), 0);
    TCallDatabase callDb;
    callDb.Connect(db_.Path());
    EXPECT_EQ(QueryInt(callDb, "select count(distinct ID) from Rings"), 5);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpgradeDb,
    ::testing::Values(
        OldDatabase{
            "MadeBeforeTheSourceColumnsAndTheKey",
            {"drop index Rings_Source", "drop index Rings_RingDate_ID", "drop index Rings_ID",
             "create index Rings_RingDate on Rings (RingDate)", "alter table Rings drop ID",
             "drop table RingTotals", "drop table RingTotalDays", "drop table RingTotalState",
             "drop table RingTotalStale", "alter table Rings drop Caller",
             "alter table Rings drop Station", "alter table Rings drop JournalFile",
             "alter table Rings drop JournalPos", "alter table JournalMarks drop TracedFile",
             "alter table JournalMarks drop TracedPos"},
            "added column RINGS.CALLER\nadded column RINGS.STATION\n"
            "added column RINGS.JOURNALFILE\nadded column RINGS.JOURNALPOS\n"
            "added column RINGS.ID\ncreated index RINGS_RINGDATE_ID\n"
            "created index RINGS_SOURCE\ncreated index RINGS_ID\n"
            "added column JOURNALMARKS.TRACEDFILE\nadded column JOURNALMARKS.TRACEDPOS\n"
            "created table RINGTOTALS\ncreated table RINGTOTALDAYS\n"
            "created table RINGTOTALSTATE\ncreated table RINGTOTALSTALE\n"
            "dropped index RINGS_RINGDATE (RINGS_RINGDATE_ID serves it)\n"},
        OldDatabase{
            "WithOnlyRingsAndUsers",
            // An index of the retired name but on other columns is someone's own: kept.
            {"create index Rings_RingDate on Rings (RingDate, NumberOut)",
             "drop index Rings_Source", "alter table Rings drop Caller",
             "alter table Rings drop Station", "alter table Rings drop JournalFile",
             "alter table Rings drop JournalPos", "drop table JournalMarks",
             "drop table RejectedLines", "drop table RingTotals", "drop table RingTotalDays",
             "drop table RingTotalState", "drop table RingTotalStale"},
            "added column RINGS.CALLER\nadded column RINGS.STATION\n"
            "added column RINGS.JOURNALFILE\nadded column RINGS.JOURNALPOS\n"
            "created index RINGS_SOURCE\ncreated table JOURNALMARKS\n"
            "created table REJECTEDLINES\ncreated table RINGTOTALS\n"
            "created table RINGTOTALDAYS\ncreated table RINGTOTALSTATE\n"
            "created table RINGTOTALSTALE\n"}),
    CaseName());

// A station still attached, its statement compiled on the old date index: the upgrade keeps the
// index and says so instead of failing, and the next run, once the station is gone, drops it.
TEST_F(Reparse, UpgradeKeepsTheOldDateIndexWhileAStationUsesIt) {
    TCallDatabase station;
    station.Connect(db_.Path());
    ExecSql(station, "create index Rings_RingDate on Rings (RingDate)");
    station.DbTransaction.StartTransaction();
    TFbStatement q(station.DbConnection, station.DbTransaction);
    q.SQL().Add(
        "select count(*) from Rings where RingDate >= '2026-01-01' plan (Rings index "
        "(Rings_RingDate))");
    q.ExecQuery();

    ASSERT_EQ(Tool("upgrade-db '" + station_.string() + "'"), 0) << err_;
    EXPECT_NE(err_.find("other connection"), std::string::npos) << err_;
    EXPECT_EQ(out_.rfind("kept index RINGS_RINGDATE: ", 0), 0u) << out_;
    EXPECT_EQ(out_.find('\n'), out_.size() - 1) << "one line: " << out_;

    q.Close();
    station.DbTransaction.Commit();
    station.Disconnect();
    ASSERT_EQ(Tool("upgrade-db '" + station_.string() + "'"), 0) << err_;
    EXPECT_EQ(out_, "dropped index RINGS_RINGDATE (RINGS_RINGDATE_ID serves it)\n");
}

}  // namespace

namespace {

// db.ini gives the tools their login; a least-rights user made by create-db.sh --grant stores
// but deletes nothing, and ISC_USER stands in for an administrator's tool run.
TEST_F(Reparse, TheLoginComesFromDbIni) {
    ASSERT_EQ(std::system(("sh " TARVICK_SOURCE_DIR "/scripts/create-db.sh --grant CLERK '" +
                           db_.Path() + "' >/dev/null 2>&1")
                              .c_str()),
              0);
    std::ofstream(station_ / "db.ini") << "[Database]\r\nUser=STRANGER\r\nPassword=x\r\n";
    Journal(Own(), 9, 0, 3);
    EXPECT_EQ(Tool(Replay()), 4);
    EXPECT_NE(err_.find("no permission"), std::string::npos) << err_;
    EXPECT_EQ(Rows(), 0);

    std::ofstream(station_ / "db.ini", std::ios::trunc)
        << "[Database]\r\nUser=CLERK\r\nPassword=x\r\n";
    ASSERT_EQ(Tool(Replay()), 0) << err_;
    EXPECT_EQ(Rows(), 3);
    EXPECT_EQ(Tool(Args("--from 2026-12-09")), 4);
    EXPECT_NE(err_.find("no permission for DELETE access to TABLE RINGS"), std::string::npos)
        << err_;
    EXPECT_EQ(Tool("upgrade-db '" + station_.string() + "'"), 0) << err_;
    setenv("ISC_USER", "SYSDBA", 1);
    setenv("ISC_PASSWORD", "quillfern", 1);
    EXPECT_EQ(Tool(Args("--from 2026-12-09")), 0) << err_;
    unsetenv("ISC_USER");
    unsetenv("ISC_PASSWORD");
    EXPECT_EQ(Rows(), 3);
}

}  // namespace
