// tarvick-tool replay on a station directory whose settings name a fresh database: journals of
// this station and of another machine are stored once however often the tool runs, and lines a
// wrong template rejected come in once it is corrected.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/DateTime.h"
#include "journal/Journal.h"
#include "tests/common/Calls.h"
#include "tests/common/CaseName.h"
#include "tests/db/FreshDatabase.h"
#include "tests/journal/StationTool.h"

namespace {

namespace fs = std::filesystem;

class Replay : public StationTool {
protected:
    std::string ReplayArgs(const std::string& files = "") {
        return "replay '" + station_.string() + "'" + (files.empty() ? "" : " " + files);
    }
};

TEST_F(Replay, StoresTheStationsJournalOnceHoweverOftenItRuns) {
    Journal(station_ / "journal", 8, 0, 5);
    Journal(station_ / "journal", 9, 5, 8);
    ASSERT_EQ(Tool(ReplayArgs()), 0) << err_;
    EXPECT_EQ(out_, "lines=8 stored=8 skipped=0\n");
    ASSERT_EQ(Tool(ReplayArgs()), 0) << err_;
    EXPECT_EQ(out_, "lines=3 stored=0 skipped=3\n");  // only the mark's own file is read again
    Journal(station_ / "journal", 9, 8, 10);
    ASSERT_EQ(Tool(ReplayArgs()), 0) << err_;
    EXPECT_EQ(out_, "lines=5 stored=2 skipped=3\n");
    EXPECT_EQ(Rows(), 10);
}

// A journal saved on another machine, copied with its station.id: its own mark, so the two
// stations' lines never stand in each other's way.
TEST_F(Replay, BringsInAnotherMachinesJournalOnce) {
    Journal(station_ / "journal", 9, 0, 3);
    const fs::path other = db_.Dir() / "usb" / "journal";
    Journal(other, 9, 100, 104);
    const std::string file = "'" + (other / "2026-12-09.log").string() + "'";
    ASSERT_EQ(Tool(ReplayArgs(file)), 0) << err_;
    EXPECT_EQ(out_, "lines=4 stored=4 skipped=0\n");
    ASSERT_EQ(Tool(ReplayArgs(file)), 0) << err_;
    EXPECT_EQ(out_, "lines=4 stored=0 skipped=4\n");
    ASSERT_EQ(Tool(ReplayArgs()), 0) << err_;
    EXPECT_EQ(out_, "lines=3 stored=3 skipped=0\n");
    EXPECT_EQ(Rows(), 7);
}

// Storing a later day moves the mark past the days before it: a day between the mark and the
// file named is stored with it rather than never.
TEST_F(Replay, ADayBetweenTheMarkAndTheFileNamedIsStoredToo) {
    Journal(station_ / "journal", 7, 0, 2);
    Journal(station_ / "journal", 8, 2, 4);
    Journal(station_ / "journal", 9, 4, 6);
    const fs::path dir = station_ / "journal";
    ASSERT_EQ(Tool(ReplayArgs("'" + (dir / "2026-12-07.log").string() + "'")), 0) << err_;
    EXPECT_EQ(out_, "lines=2 stored=2 skipped=0\n");
    ASSERT_EQ(Tool(ReplayArgs("'" + (dir / "2026-12-09.log").string() + "'")), 0) << err_;
    EXPECT_EQ(out_, "lines=4 stored=4 skipped=0\n");
    EXPECT_NE(err_.find("also replaying 2026-12-08.log"), std::string::npos) << err_;
    EXPECT_EQ(Rows(), 6);
}

// A template that does not fit the exchange rejects its lines; once corrected, a replay brings
// them in, once.
TEST_F(Replay, ACorrectedTemplateBringsTheRejectedLinesIn) {
    std::string wrong = ReadFile(station_ / "GENERIC24.ATS");
    const size_t day = wrong.find("Day=1");
    ASSERT_NE(day, std::string::npos);
    wrong.replace(day, 5, "Day=22");  // the extension's column: day 201
    std::ofstream(station_ / "GENERIC24.ATS", std::ios::binary) << wrong;
    Journal(station_ / "journal", 9, 0, 4);
    ASSERT_EQ(Tool(ReplayArgs()), 0) << err_;
    EXPECT_EQ(out_, "lines=4 stored=0 skipped=4\n");
    EXPECT_EQ(Rows(), 0);

    fs::copy_file(fs::path(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS"), station_ / "GENERIC24.ATS",
                  fs::copy_options::overwrite_existing);
    const std::string file = "'" + (station_ / "journal" / "2026-12-09.log").string() + "'";
    ASSERT_EQ(Tool(ReplayArgs(file)), 0) << err_;
    EXPECT_EQ(out_, "lines=4 stored=4 skipped=0\n");
    ASSERT_EQ(Tool(ReplayArgs(file)), 0) << err_;
    EXPECT_EQ(out_, "lines=4 stored=0 skipped=4\n");
    EXPECT_EQ(Rows("where RDay = 12 and RMont = 4"), 4);
}

struct FailureCase {
    const char* name;
    const char* args;  // %S: the station directory, %D: the scratch directory
    bool withDatabase;
    int status;
    const char* message;
};

class ReplayFails : public Replay, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReplayFails, WithStatusAndMessage) {
    const FailureCase& c = GetParam();
    if (!c.withDatabase) {
        ASSERT_EQ(Tool("dbf set '" + (station_ / "tarvick.dat").string() + "' DBPATH '" +
                       (db_.Dir() / "missing.fdb").string() + "'"),
                  0);
    }
    std::ofstream(db_.Dir() / "calls.txt") << Call(1) << "\r\n";
    fs::create_directories(db_.Dir() / "bare");
    std::ofstream(db_.Dir() / "bare" / "2026-12-09.log") << Call(1) << "\r\n";
    std::string args = c.args;
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"%S", "'" + station_.string() + "'"},
          {"%D", db_.Dir().string()}})
        if (const size_t at = args.find(key); at != std::string::npos) args.replace(at, 2, value);
    EXPECT_EQ(Tool(args), c.status) << out_ << err_;
    EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
    if (c.withDatabase) {
        EXPECT_EQ(Rows(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplayFails,
    ::testing::Values(
        FailureCase{"NoArguments", "replay", true, 1, "usage: tarvick-tool replay DIR"},
        FailureCase{"NotAJournalFile", "replay %S %D/calls.txt", true, 1, "not a journal file: "},
        FailureCase{"NoStationIdBesideIt", "replay %S %D/bare/2026-12-09.log", true, 1,
                    "no station.id beside"},
        FailureCase{"NoConfiguration", "replay /nonexistent-station-dir", true, 2,
                    "Невозможно прочитать шаблон!"},
        FailureCase{"NoDatabase", "replay %S", false, 3, "Невозможно открыть базу данных !"}),
    CaseName());

}  // namespace
