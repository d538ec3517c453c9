// The headless station capturing from exchanges on the network into a real call database: an
// exchange that listens and drops the connection twice while sending 10 000 numbered lines in
// bursts, and an exchange that connects to a listening station.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "../common/TempDir.h"
#include "tests/common/TcpPeer.h"
#include "tests/station/StationProcess.h"
#include "tests/station/StationStage.h"

namespace {

// Call n of the day in the GENERIC24 layout; its dialled number is its own.
std::string NumberedCall(int n) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "06/12/26 %02d:%02d:%02d 02 %3d 00:%02d:%02d 8495%07d\r\n",
                  8 + n / 3600, n / 60 % 60, n % 60, 201 + n % 7, n % 60, (n * 7) % 60 + 1, n);
    return buf;
}

std::string Calls(int from, int to) {
    std::string bytes;
    for (int n = from; n < to; ++n) bytes += NumberedCall(n);
    return bytes;
}

// Bursts of a few hundred lines with short gaps, as an exchange empties its buffer.
bool SendInBursts(const TPeerSocket& conn, int from, int to) {
    for (int n = from; n < to; n += 250) {
        if (!conn.Send(Calls(n, std::min(n + 250, to)))) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

long QueryNumber(const std::string& db, const std::string& sql) {
    std::istringstream in(stage::Query(TARVICK_SOURCE_DIR, db, sql));
    std::string word;
    long value = -1;
    while (in >> word)
        if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos)
            value = std::stol(word);
    return value;
}

long WaitStored(const std::string& db, long n, int seconds) {
    long stored = 0;
    for (auto end = Clock::now() + std::chrono::seconds(seconds);
         stored < n && Clock::now() < end;) {
        stored = stage::StoredCalls(TARVICK_SOURCE_DIR, db);
        if (stored < n) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return stored;
}

bool Staged(const TempDir& dir, const std::string& db, const std::string& ini, std::string& what) {
    if (!stage::CreateDatabase(TARVICK_SOURCE_DIR, db)) {
        what = "create-db.sh";
        return false;
    }
    // The network path is under test, not the disk: without a flush per commit 10 000 lines
    // take seconds instead of minutes on a shared machine.
    const std::string src = TARVICK_SOURCE_DIR;
    if (process::Capture("TARVICK_FIREBIRD_DIR='" + src + "/data/firebird' . '" + src +
                         "/data/firebird/env.sh' && gfix -write async -user SYSDBA -password "
                         "quillfern '" +
                         db + "'")
            .Status != 0) {
        what = "gfix -write async";
        return false;
    }
    stage::TStationFiles files;
    files.Dir = dir.path();
    files.PortName = "COM1";
    files.Fields = {{"DBPath", db}, {"AutoRun", "T"}};
    if (!stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) return false;
    WriteBytes(dir.file("comport.ini"), ini);
    return true;
}

// A connection to the station once it listens, which it does soon after its start.
TPeerSocket ConnectOnceListening(const std::string& source, uint16_t port) {
    TPeerSocket conn;
    for (auto end = Clock::now() + std::chrono::seconds(20); !conn.Valid() && Clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(100)))
        conn = ConnectFrom(source, port);
    return conn;
}

// The station's standard error is UTF-8.
const char kLost[] = "соединение потеряно";

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(NetworkStation, StoresEveryLineOnceFromAnExchangeThatDropsTwice) {
    TempDir dir;
    TPeerListener exchange;
    ASSERT_TRUE(exchange.Valid());
    const std::string db = dir.file("calls.fdb");
    std::string what;
    ASSERT_TRUE(Staged(dir, db,
                       "[ComPort]\r\nPort=tcp://127.0.0.1:" + std::to_string(exchange.Port()) +
                           "\r\nBaudRate=1200\r\n",
                       what))
        << what;
    TStationProcess station(dir.path());
    // The station writes every line to standard output; a full pipe would stop it.
    std::atomic<bool> reading{true};
    std::thread drain([&] {
        while (reading) station.Lines(SIZE_MAX, std::chrono::milliseconds(200));
    });
    struct Join {
        std::atomic<bool>& reading;
        std::thread& drain;
        ~Join() {
            reading = false;
            if (drain.joinable()) drain.join();
        }
    } join{reading, drain};
    const int total = 10000;
    {
        TPeerSocket conn = exchange.Accept(20000);
        ASSERT_TRUE(conn.Valid()) << station.Errors();
        ASSERT_TRUE(SendInBursts(conn, 0, 4000));
    }  // dropped between two lines
    {
        TPeerSocket conn = exchange.Accept(20000);
        ASSERT_TRUE(conn.Valid()) << station.Errors();
        ASSERT_TRUE(SendInBursts(conn, 4000, 7000));
        // Dropped in the middle of a line: the exchange sends that one again in full.
        const std::string cut = NumberedCall(7000);
        ASSERT_TRUE(conn.Send(cut.substr(0, cut.size() / 2)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    {
        TPeerSocket conn = exchange.Accept(20000);
        ASSERT_TRUE(conn.Valid()) << station.Errors();
        ASSERT_TRUE(SendInBursts(conn, 7000, total));
        EXPECT_EQ(WaitStored(db, total, 240), total) << station.Errors();
    }
    reading = false;
    drain.join();
    EXPECT_EQ(QueryNumber(db, "select count(distinct NumberOut) from Rings;"), total);
    EXPECT_EQ(
        QueryNumber(db, "select count(*) from Rings where NumberOut = '\\''84950007000'\\'';"), 1);
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0);
    const std::string errors = station.Errors();
    EXPECT_GE(Count(errors, kLost), 2u) << errors;
    EXPECT_EQ(Count(errors, "строка оборвана"), 1u) << errors;  // the half line, told, not stored
    EXPECT_EQ(stage::StoredCalls(TARVICK_SOURCE_DIR, db), total);
    // The journal holds every byte received: each call once, the cut one before a marker and
    // then whole.
    std::string journal;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("journal")))
        if (e.path().extension() == ".log") journal += ReadBytes(e.path().string());
    for (int n : {0, 3999, 4000, 6999, 7001, total - 1})
        EXPECT_EQ(Count(journal, NumberedCall(n)), 1u) << n;
    const std::string cut = NumberedCall(7000);
    EXPECT_EQ(Count(journal, cut), 1u);
    EXPECT_EQ(Count(journal, cut.substr(0, cut.size() / 2) + "\n*** unfinished: "), 1u);
    EXPECT_EQ(Count(journal, "*** unfinished"), 1u);
    EXPECT_EQ(static_cast<int>(std::count(journal.begin(), journal.end(), '\r')), total + 1);
}

TEST(NetworkStation, StoresTheLinesOfAnExchangeThatConnectsToAListeningStation) {
    TempDir dir;
    const uint16_t port = FreePort();
    const std::string db = dir.file("calls.fdb");
    std::string what;
    ASSERT_TRUE(Staged(
        dir, db,
        "[ComPort]\r\nPort=listen://127.0.0.1:" + std::to_string(port) + "\r\nAllow=127.0.0.1\r\n",
        what))
        << what;
    TStationProcess station(dir.path());
    TPeerSocket conn = ConnectOnceListening("127.0.0.1", port);
    ASSERT_TRUE(conn.Valid()) << station.Errors();
    TPeerSocket stranger = ConnectFrom("127.0.0.2", port);
    EXPECT_TRUE(stranger.ClosedByStation(5000));
    ASSERT_TRUE(conn.Send(Calls(0, 50)));
    EXPECT_EQ(WaitStored(db, 50, 60), 50) << station.Errors();
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0);
    EXPECT_NE(station.Errors().find("127.0.0.2"), std::string::npos) << station.Errors();
}

// A device on an allowed address that trickles a byte now and then, and one that connects and
// says nothing, came first: the exchange is served beside them.
TEST(NetworkStation, StoresTheExchangesLinesWhileOtherAllowedPeersHoldConnections) {
    TempDir dir;
    const uint16_t port = FreePort();
    const std::string db = dir.file("calls.fdb");
    std::string what;
    ASSERT_TRUE(Staged(dir, db,
                       "[ComPort]\r\nPort=listen://127.0.0.1:" + std::to_string(port) +
                           "\r\nAllow=127.0.0.1, 127.0.0.2, 127.0.0.3\r\n",
                       what))
        << what;
    TStationProcess station(dir.path());
    TPeerSocket silent = ConnectOnceListening("127.0.0.3", port);
    ASSERT_TRUE(silent.Valid()) << station.Errors();
    TPeerSocket trickler = ConnectFrom("127.0.0.2", port);
    ASSERT_TRUE(trickler.Valid());
    TTrickle drip(trickler, '0', std::chrono::milliseconds(200));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    TPeerSocket exchange = ConnectFrom("127.0.0.1", port);
    ASSERT_TRUE(exchange.Valid());
    for (int n = 0; n < 20; ++n) {
        const std::string line = NumberedCall(n);
        ASSERT_TRUE(exchange.Send(line.substr(0, 10)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(exchange.Send(line.substr(10)));
    }
    EXPECT_EQ(WaitStored(db, 20, 60), 20) << station.Errors();
    EXPECT_EQ(QueryNumber(db, "select count(distinct NumberOut) from Rings;"), 20);
    EXPECT_FALSE(silent.ClosedByStation(0));
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0);
    const std::string errors = station.Errors();
    for (const char* peer : {"127.0.0.1:", "127.0.0.2:", "127.0.0.3:"})
        EXPECT_NE(errors.find(std::string("АТС ") + peer), std::string::npos) << errors;
    EXPECT_EQ(errors.find("строка оборвана"), std::string::npos) << errors;
}

}  // namespace
