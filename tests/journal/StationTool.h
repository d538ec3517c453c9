#pragma once
// A station directory whose settings name a fresh database, journals written into it on days
// of December 2026, and tarvick-tool run on it as a process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/DateTime.h"
#include "journal/Journal.h"
#include "tests/common/Calls.h"
#include "tests/db/FreshDatabase.h"

namespace station_tool {
namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ClockAt {
    explicit ClockAt(int day) {
        SetClock([day] { return EncodeDateTimeOrZero(2026, 12, day, 12, 0, 0); });
    }
    ~ClockAt() { SetClock(nullptr); }
};

class StationTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db_.Created());
        station_ = db_.Dir() / "station";
        fs::create_directories(station_);
        for (const char* f : {"tarvick.dat", "tarvick.dbt", "GENERIC24.ATS"})
            fs::copy_file(fs::path(TARVICK_SOURCE_DIR "/data") / f, station_ / f);
        ASSERT_EQ(Tool("dbf set '" + (station_ / "tarvick.dat").string() + "' DBPATH '" +
                       db_.Path() + "'"),
                  0)
            << err_;
    }
    // Calls n from..to-1 journaled on a day of December 2026 in dir.
    void Journal(const fs::path& dir, int day, int from, int to) {
        ClockAt clock(day);
        TJournal journal;
        std::string error;
        ASSERT_TRUE(journal.Open(dir.string(), error)) << error;
        std::string bytes;
        for (int i = from; i < to; ++i) bytes += Call(i) + "\r\n";
        journal.Append(bytes);
    }
    int Tool(const std::string& args) {
        const fs::path out = db_.Dir() / "out.txt", err = db_.Dir() / "err.txt";
        const std::string cmd =
            TARVICK_TOOL " " + args + " >'" + out.string() + "' 2>'" + err.string() + "'";
        const int rc = std::system(cmd.c_str());
        out_ = ReadFile(out);
        err_ = ReadFile(err);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    int64_t Rows(const std::string& where = "") {
        TCallDatabase callDb;
        callDb.Connect(db_.Path());
        return QueryInt(callDb, "select count(*) from Rings " + where);
    }

    TFreshDatabase db_;
    fs::path station_;
    std::string out_, err_;
};

}  // namespace station_tool

using station_tool::ClockAt;
using station_tool::ReadFile;
using station_tool::StationTool;
