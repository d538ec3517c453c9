#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/common/CaseName.h"
#include "tests/db/FreshDatabase.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// tarvick-tool import on a station directory whose settings table names a fresh database.
class Import : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db_.Created());
        station_ = db_.Dir() / "station";
        fs::create_directories(station_);
        for (const char* f : {"tarvick.dat", "tarvick.dbt", "GENERIC24.ATS"})
            fs::copy_file(fs::path(TARVICK_SOURCE_DIR "/data") / f, station_ / f);
    }
    void SetDbPath(const std::string& path) {
        ASSERT_EQ(
            Tool("dbf set '" + (station_ / "tarvick.dat").string() + "' DBPATH '" + path + "'"), 0)
            << err_;
    }
    int Tool(const std::string& args, const std::string& stdinFile = "") {
        const fs::path out = db_.Dir() / "out.txt", err = db_.Dir() / "err.txt";
        std::string cmd =
            TARVICK_TOOL " " + args + " >'" + out.string() + "' 2>'" + err.string() + "'";
        if (!stdinFile.empty()) cmd += " <'" + stdinFile + "'";
        const int rc = std::system(cmd.c_str());
        out_ = ReadFile(out);
        err_ = ReadFile(err);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    int64_t Rows() {
        TCallDatabase callDb;
        callDb.Connect(db_.Path());
        return QueryInt(callDb, "select count(*) from Rings");
    }

    TFreshDatabase db_;
    fs::path station_;
    std::string out_, err_;
};

TEST_F(Import, ReplaysAFileAndCountsWhatWasStored) {
    SetDbPath(db_.Path());
    ASSERT_EQ(Tool("import '" + station_.string() + "' '" TARVICK_TEST_DATA "/generic24.log'"), 0)
        << err_;
    // Seven lines; the one with an empty number is an incoming call, kept with IncomLog on.
    EXPECT_EQ(out_, "lines=7 stored=7\n");
    EXPECT_EQ(Rows(), 7);
}

TEST_F(Import, ReadsStandardInput) {
    SetDbPath(db_.Path());
    ASSERT_EQ(Tool("import '" + station_.string() + "'", TARVICK_TEST_DATA "/generic24.log"), 0)
        << err_;
    EXPECT_EQ(out_, "lines=7 stored=7\n");
    EXPECT_EQ(Rows(), 7);
}

struct FailureCase {
    const char* name;
    const char* args;  // %S: the station directory
    bool withDatabase;
    int status;
    const char* message;
};

class ImportFails : public Import, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ImportFails, WithStatusAndMessage) {
    const FailureCase& c = GetParam();
    SetDbPath(c.withDatabase ? db_.Path() : (db_.Dir() / "missing.fdb").string());
    std::string args = c.args;
    if (const size_t at = args.find("%S"); at != std::string::npos)
        args.replace(at, 2, "'" + station_.string() + "'");
    EXPECT_EQ(Tool(args), c.status) << out_ << err_;
    EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
    EXPECT_EQ(out_, "");
    if (c.withDatabase) {
        EXPECT_EQ(Rows(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImportFails,
    ::testing::Values(
        FailureCase{"NoArguments", "import", true, 1, "usage: tarvick-tool import DIR"},
        FailureCase{"TooManyArguments", "import %S a b", true, 1, "usage: tarvick-tool import"},
        FailureCase{"NoConfiguration", "import /nonexistent-station-dir", true, 2,
                    "Невозможно прочитать шаблон!"},
        FailureCase{"NoDatabase", "import %S /dev/null", false, 3,
                    "Невозможно открыть базу данных !"},
        FailureCase{"UnreadableInput", "import %S /nonexistent-input", true, 1,
                    "cannot read /nonexistent-input"}),
    CaseName());

}  // namespace
