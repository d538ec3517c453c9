// Both stations as separate processes storing into a real call database on the embedded engine:
// the calls are readable by Firebird's own isql-fb while the station holds the database, a stop
// request ends the station cleanly, and stop requests never reach the database client's own
// handlers in any thread of the station.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/TempDir.h"
#include "tests/common/CaseName.h"
#include "tests/station/Pty.h"
#include "tests/station/StationProcess.h"
#include "tests/station/StationStage.h"

namespace {

std::string CallLine(int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "06/12/26 14:%02d:%02d 02 %3d 00:%02d:%02d 8495%07d", n / 60,
                  n % 60, 201 + n % 7, n % 60, (n * 7) % 60, n);
    return buf;
}

// SIGTERM's bit in the blocked set of every thread of the process.
bool EveryThreadBlocksStopRequests(pid_t pid, int& threads) {
    threads = 0;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream status(t.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigBlk:", 0) != 0) continue;
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            if (!(mask & (1ull << (SIGTERM - 1))) || !(mask & (1ull << (SIGINT - 1)))) return false;
            ++threads;
        }
    }
    return threads > 0;
}

struct StationKind {
    const char* name;
    bool windowed;
    bool hidden;  // started hidden in the notification area
    int baud;
    int lines;
};

// The columns of the stored call with the given dialled number, as isql-fb prints them.
std::vector<std::string> StoredColumns(const std::string& db, const std::string& number) {
    const std::string out = stage::Query(
        TARVICK_SOURCE_DIR, db,
        "select RDay, RMont, RYear, RHour, RMin, RSec, RLine, TimeHour, TimeMin, TimeSec, "
        "NumberIn, NumberOut, ringlength from Rings where NumberOut = '\\''" +
            number + "'\\'';");
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> row;
        for (std::string w; words >> w;) row.push_back(w);
        if (row.size() == 13 && row[11] == number) return row;
    }
    return {out};
}

class StationStores : public ::testing::TestWithParam<StationKind> {};

TEST_P(StationStores, CallsAreReadableWhileAttachedAndAStopRequestEndsCleanly) {
    TempDir dir;
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    const std::string db = dir.path() + "calls.fdb";
    ASSERT_TRUE(stage::CreateDatabase(TARVICK_SOURCE_DIR, db));
    stage::TStationFiles files;
    files.Dir = dir.path();
    files.PortName = pty.Path();
    files.BaudRate = std::to_string(GetParam().baud);
    files.Fields = {{"DBPath", db}, {"AutoRun", "T"}, {"HideRun", GetParam().hidden ? "T" : "F"}};
    std::string what;
    ASSERT_TRUE(stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) << what;

    TStationProcess station(dir.path(), GetParam().windowed);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // attached, port open
    const int n = GetParam().lines;
    std::string burst;
    for (int i = 0; i < n; ++i) burst += CallLine(i) + "\r\n";
    ASSERT_TRUE(pty.Send(burst, GetParam().baud));

    long stored = 0;
    for (auto end = Clock::now() + std::chrono::seconds(20); stored < n && Clock::now() < end;) {
        stored = stage::StoredCalls(TARVICK_SOURCE_DIR, db);
        if (stored < n) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_EQ(stored, n) << station.Errors()
                         << stage::Query(TARVICK_SOURCE_DIR, db, "select count(*) from Rings;");
    for (int i : {0, n - 1}) {
        char number[16];
        std::snprintf(number, sizeof number, "8495%07d", i);
        const std::vector<std::string> want = {"6",
                                               "12",
                                               "26",
                                               "14",
                                               std::to_string(i / 60),
                                               std::to_string(i % 60),
                                               "2",
                                               "0",
                                               std::to_string(i % 60),
                                               std::to_string((i * 7) % 60),
                                               std::to_string(201 + i % 7),
                                               number,
                                               std::to_string(i % 60 * 60 + (i * 7) % 60)};
        EXPECT_EQ(StoredColumns(db, number), want);
    }

    int threads = 0;
    EXPECT_TRUE(EveryThreadBlocksStopRequests(station.Pid, threads)) << threads << " threads";
    EXPECT_GT(threads, 1);

    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(5)), 0) << station.Errors();
    EXPECT_EQ(stage::StoredCalls(TARVICK_SOURCE_DIR, db), n);
}

INSTANTIATE_TEST_SUITE_P(Stations, StationStores,
                         ::testing::Values(StationKind{"Headless", false, false, 115200, 60},
                                           StationKind{"Windowed", true, false, 115200, 60},
                                           StationKind{"Hidden", true, true, 115200, 60},
                                           StationKind{"HeadlessSlow", false, false, 1200, 8},
                                           StationKind{"WindowedSlow", true, false, 1200, 8}),
                         CaseName());

// Two stations on one line would split its bytes between them and both store broken calls,
// so the second, root as well, finds the port busy: it stores nothing, the first every line.
TEST(StationStores, SecondStationOnTheSameLineFindsItBusy) {
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    TempDir firstDir, secondDir;
    std::string what;
    for (const TempDir* dir : {&firstDir, &secondDir}) {
        const std::string db = dir->path() + "calls.fdb";
        ASSERT_TRUE(stage::CreateDatabase(TARVICK_SOURCE_DIR, db));
        stage::TStationFiles files;
        files.Dir = dir->path();
        files.PortName = pty.Path();
        files.BaudRate = "115200";
        files.Fields = {{"DBPath", db}};
        ASSERT_TRUE(stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) << what;
    }
    TStationProcess first(firstDir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // attached, port open
    TStationProcess second(secondDir.path());
    std::string errors;
    for (auto end = Clock::now() + std::chrono::seconds(10);
         errors.find("Unable to open com port") == std::string::npos && Clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        errors = second.Errors();
    }
    EXPECT_NE(
        errors.find("Unable to open com port (win error code: " + std::to_string(EBUSY) + ")"),
        std::string::npos)
        << errors;

    const int n = 40;
    std::string burst;
    for (int i = 0; i < n; ++i) burst += CallLine(i) + "\r\n";
    ASSERT_TRUE(pty.Send(burst, 115200));
    long stored = 0;
    for (auto end = Clock::now() + std::chrono::seconds(20); stored < n && Clock::now() < end;) {
        stored = stage::StoredCalls(TARVICK_SOURCE_DIR, firstDir.path() + "calls.fdb");
        if (stored < n) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(stored, n) << first.Errors();
    for (int i : {0, n - 1}) {
        char number[16];
        std::snprintf(number, sizeof number, "8495%07d", i);
        EXPECT_EQ(StoredColumns(firstDir.path() + "calls.fdb", number).size(), 13u) << number;
    }
    EXPECT_EQ(second.Lines(1, std::chrono::milliseconds(500)).size(), 0u);
    EXPECT_EQ(stage::StoredCalls(TARVICK_SOURCE_DIR, secondDir.path() + "calls.fdb"), 0);
    for (TStationProcess* station : {&first, &second}) {
        kill(station->Pid, SIGTERM);
        EXPECT_EQ(station->Wait(std::chrono::seconds(5)), 0) << station->Errors();
    }
}

// A station directory with a fresh database, on a pseudo-terminal at 115200 baud.
struct TStagedStation {
    TStagedStation() {
        Ok = Pty.Ok() && stage::CreateDatabase(TARVICK_SOURCE_DIR, Db);
        stage::TStationFiles files;
        files.Dir = Dir.path();
        files.PortName = Pty.Path();
        files.BaudRate = "115200";
        files.Fields = {{"DBPath", Db}};
        Ok = Ok && stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, What);
    }
    TempDir Dir;
    TPty Pty;
    std::string Db = Dir.path() + "calls.fdb";
    std::string What;
    bool Ok = false;
};

// A line whose number is longer than its column is rejected with the reason; every line after
// it is stored, after a restart as well, and tarvick-tool replay goes through the journal.
TEST(StationStores, ALineTooLongForItsColumnsIsRejectedAndStoringGoesOn) {
    TStagedStation staged;
    ASSERT_TRUE(staged.Ok) << staged.What;
    TempDir& dir = staged.Dir;
    TPty& pty = staged.Pty;
    const std::string& db = staged.Db;
    const std::string tooLong = "06/12/26 14:00:30 02 201 00:00:10 " + std::string(60, '7');
    auto waitStored = [&](long n) {
        long stored = 0;
        for (auto end = Clock::now() + std::chrono::seconds(20);
             stored < n && Clock::now() < end;) {
            stored = stage::StoredCalls(TARVICK_SOURCE_DIR, db);
            if (stored < n) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return stored;
    };
    {
        TStationProcess station(dir.path());
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // attached, port open
        ASSERT_TRUE(
            pty.Send(CallLine(0) + "\r\n" + tooLong + "\r\n" + CallLine(1) + "\r\n", 115200));
        EXPECT_EQ(waitStored(2), 2) << station.Errors();
        ASSERT_TRUE(pty.Send(CallLine(2) + "\r\n", 115200));
        EXPECT_EQ(waitStored(3), 3) << station.Errors();
        kill(station.Pid, SIGTERM);
        EXPECT_EQ(station.Wait(std::chrono::seconds(5)), 0);
        const std::string errors = station.Errors();
        EXPECT_NE(errors.find("строка отклонена (NumberOut of 60 characters is longer than its "
                              "column (40)): " +
                              tooLong),
                  std::string::npos)
            << errors;
        EXPECT_EQ(errors.find("база недоступна"), std::string::npos) << errors;
    }
    {
        TStationProcess station(dir.path());
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        ASSERT_TRUE(pty.Send(tooLong + "\r\n" + CallLine(3) + "\r\n", 115200));
        EXPECT_EQ(waitStored(4), 4) << station.Errors();
        kill(station.Pid, SIGTERM);
        EXPECT_EQ(station.Wait(std::chrono::seconds(5)), 0);
    }
    const std::string rejected =
        stage::Query(TARVICK_SOURCE_DIR, db, "select count(*) from RejectedLines;");
    EXPECT_NE(rejected.find("2"), std::string::npos) << rejected;
    const auto replay =
        process::Capture(std::string(TARVICK_TOOL) + " replay '" + dir.path() + "' 2>&1");
    EXPECT_EQ(replay.Status, 0) << replay.Out;
    EXPECT_EQ(stage::StoredCalls(TARVICK_SOURCE_DIR, db), 4);
    // Each row knows its station and where its line starts in the journal.
    const std::string sources =
        stage::Query(TARVICK_SOURCE_DIR, db,
                     "select count(distinct JournalPos) from Rings where Station is not null and "
                     "JournalFile like '\''20%.log'\'';");
    EXPECT_NE(sources.find(" 4"), std::string::npos) << sources;
}

// db.ini names the login: one the database does not let store is reported, with the server's
// reason, and the lines wait in the journal.
TEST(StationStores, TheLoginOfDbIniIsUsedAndARefusalIsReported) {
    TStagedStation staged;
    ASSERT_TRUE(staged.Ok) << staged.What;
    TempDir& dir = staged.Dir;
    TPty& pty = staged.Pty;
    const std::string& db = staged.Db;
    std::ofstream(dir.path() + "db.ini") << "[Database]\r\nUser=STRANGER\r\nPassword=x\r\n";
    TStationProcess station(dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_TRUE(pty.Send(CallLine(0) + "\r\n", 115200));
    std::string errors;
    for (auto end = Clock::now() + std::chrono::seconds(10);
         errors.find("no permission") == std::string::npos && Clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        errors = station.Errors();
    }
    EXPECT_NE(errors.find("база недоступна (no permission for SELECT access to TABLE JOURNALMARKS"),
              std::string::npos)
        << errors;
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(5)), 0);
    EXPECT_EQ(stage::StoredCalls(TARVICK_SOURCE_DIR, db), 0);
}

}  // namespace
