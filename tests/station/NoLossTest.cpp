// The headless station as a process storing into a real call database while things go wrong:
// killed at random instants, its database shut down, its pseudo-terminal gone and back under
// the same name, a stop request with bytes still in the terminal. Every line ends up stored
// exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/TempDir.h"
#include "tests/common/CaseName.h"
#include "tests/journal/Tampering.h"
#include "tests/station/Pty.h"
#include "tests/station/StationProcess.h"
#include "tests/station/StationStage.h"

namespace {

std::string CallLine(int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "06/12/26 14:%02d:%02d 02 %3d 00:01:%02d 8495%07d", n / 60 % 60,
                  n % 60, 201 + n % 7, n % 60, n);
    return buf;
}

// The numbers in isql's output, in order.
std::vector<long> Numbers(const std::string& out) {
    std::istringstream in(out);
    std::vector<long> numbers;
    for (std::string word; in >> word;)
        if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos)
            numbers.push_back(std::stol(word));
    return numbers;
}

std::string Gfix(const std::string& args, const std::string& db) {
    const std::string src = TARVICK_SOURCE_DIR;
    return process::Capture("TARVICK_FIREBIRD_DIR='" + src + "/data/firebird' . '" + src +
                            "/data/firebird/env.sh' && gfix -user SYSDBA -password quillfern " +
                            args + " '" + db + "' 2>&1")
        .Out;
}

class NoLoss : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty_->Ok());
        db_ = dir_.path() + "calls.fdb";
        ASSERT_TRUE(stage::CreateDatabase(TARVICK_SOURCE_DIR, db_));
    }
    void Stage(const std::string& port, std::map<std::string, std::string> fields = {}) {
        stage::TStationFiles files;
        files.Dir = dir_.path();
        files.PortName = port;
        files.BaudRate = "115200";
        files.Fields = {{"DBPath", db_}, {"IncomLog", "T"}};
        for (auto& [k, v] : fields) files.Fields[k] = v;
        std::string what;
        ASSERT_TRUE(stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) << what;
    }
    std::string Query(const std::string& sql) { return stage::Query(TARVICK_SOURCE_DIR, db_, sql); }
    long Stored() { return stage::StoredCalls(TARVICK_SOURCE_DIR, db_); }
    // The lines not stored, each with what the journal holds around it.
    std::string Missing(int lines) {
        const std::vector<long> stored =
            Numbers(Query("select cast(substring(NumberOut from 5) as integer) from Rings;"));
        std::vector<bool> seen(static_cast<size_t>(lines), false);
        for (long n : stored)
            if (n >= 0 && n < lines) seen[static_cast<size_t>(n)] = true;
        std::string journal;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path() + "journal"))
            if (e.path().extension() == ".log") journal += ReadBytes(e.path().string());
        std::string report;
        for (int i = 0; i < lines; ++i) {
            if (seen[static_cast<size_t>(i)]) continue;
            const size_t at = journal.find(CallLine(i).substr(30));
            report += "missing " + std::to_string(i) + ": " +
                      (at == std::string::npos ? std::string("not in the journal")
                                               : journal.substr(at > 200 ? at - 200 : 0, 400)) +
                      "\n";
        }
        return report;
    }
    // Rows and distinct dialled numbers.
    std::vector<long> RowsAndDistinct() {
        return Numbers(Query("select count(*), count(distinct NumberOut) from Rings;"));
    }
    bool WaitStored(long n, std::chrono::seconds limit) {
        for (auto end = Clock::now() + limit; Clock::now() < end;) {
            if (Stored() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return Stored() >= n;
    }

    TempDir dir_;
    std::unique_ptr<TPty> pty_ = std::make_unique<TPty>();
    std::string db_;
};

// Killed with SIGKILL at thirty random instants of a stream of 3 000 lines sent at full speed,
// and started again each time: the lines the killed runs journaled are stored by the next one,
// and none twice.
TEST_F(NoLoss, KilledAtRandomInstantsEveryLineIsStoredOnce) {
    // A killed process leaves the operating system's page cache intact; the engine need not
    // wait for the disk to show that.
    Gfix("-write async", db_);
    Stage(pty_->Path(), {{"AutoRun", "T"}});
    constexpr int kLines = 3000, kKills = 30;
    std::atomic<bool> up{false}, done{false};
    std::thread sender([&] {
        int next = 0;
        while (next < kLines && !pty_->Stop) {
            if (!up) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            std::string burst;
            for (int i = 0; i < 20 && next < kLines; ++i) burst += CallLine(next++) + "\r\n";
            pty_->Send(burst);
        }
        done = true;
    });
    std::mt19937 random(1209);
    std::uniform_int_distribution<int> instant(100, 1200);
    auto station = std::make_unique<TStationProcess>(dir_.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    up = true;
    for (int k = 0; k < kKills; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(instant(random)));
        up = false;
        kill(station->Pid, SIGKILL);
        station.reset();
        station = std::make_unique<TStationProcess>(dir_.path());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        up = true;
    }
    for (auto end = Clock::now() + std::chrono::seconds(60); !done && Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty_->Stop = true;
    sender.join();
    ASSERT_TRUE(done);
    EXPECT_TRUE(WaitStored(kLines, std::chrono::seconds(60))) << station->Errors();
    kill(station->Pid, SIGTERM);
    EXPECT_EQ(station->Wait(std::chrono::seconds(10)), 0) << station->Errors();
    EXPECT_EQ(RowsAndDistinct(), (std::vector<long>{kLines, kLines})) << Missing(kLines);
}

// The database shut down for twenty seconds while a line arrives every tenth of a second: the
// station keeps journaling, and once the database is back every line is stored once, in order,
// within fifteen seconds.
TEST_F(NoLoss, ADatabaseShutDownAndBackGetsEveryLineOnceInOrder) {
    // The order rows arrive in, kept by the database itself.
    const std::string setup =
        "create sequence Arrival; create table Arrivals (N integer, NumberOut varchar(40)); "
        "set term ^; create trigger Rings_Arrival for Rings after insert as begin "
        "insert into Arrivals values (next value for Arrival, new.NumberOut); end^ set term ;^ "
        "commit;";
    Query(setup);
    Stage(pty_->Path(), {{"AutoRun", "T"}});
    TStationProcess station(dir_.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::atomic<int> sent{0};
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) {
            pty_->Send(CallLine(sent) + "\r\n");
            ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_EQ(Gfix("-shut full -force 0", db_), "");
    std::this_thread::sleep_for(std::chrono::seconds(20));
    ASSERT_EQ(Gfix("-online", db_), "");
    const auto back = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    sender.join();
    const int n = sent;
    ASSERT_GT(n, 200);
    EXPECT_TRUE(WaitStored(n, std::chrono::seconds(15)));
    EXPECT_LE(Clock::now() - back, std::chrono::seconds(15));
    const std::string errors = station.Errors();
    EXPECT_NE(errors.find("база недоступна"), std::string::npos) << errors;
    EXPECT_NE(errors.find("база снова доступна"), std::string::npos) << errors;
    EXPECT_EQ(RowsAndDistinct(), (std::vector<long>{n, n}));
    // In order: the k-th row to arrive is the k-th line sent.
    const std::vector<long> order = Numbers(
        Query("select cast(substring(NumberOut from 5) as integer) from Arrivals order by N;"));
    std::vector<long> expected;
    for (int i = 0; i < n; ++i) expected.push_back(i);
    EXPECT_EQ(order, expected);
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0);
}

// The device disappears and a new one comes under the same name (the simulator's symbolic
// link): the station says so, opens the name again and reads on.
TEST_F(NoLoss, APortGoneAndBackUnderItsNameIsReadOn) {
    const std::string link = dir_.path() + "exchange.pty";
    ASSERT_EQ(symlink(pty_->Path().c_str(), link.c_str()), 0);
    Stage(link, {{"AutoRun", "T"}});
    TStationProcess station(dir_.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string first;
    for (int i = 0; i < 5; ++i) first += CallLine(i) + "\r\n";
    ASSERT_TRUE(pty_->Send(first));
    ASSERT_TRUE(WaitStored(5, std::chrono::seconds(10)));
    pty_.reset();  // both sides closed: the station's end hangs up
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pty_ = std::make_unique<TPty>();
    ASSERT_TRUE(pty_->Ok());
    unlink(link.c_str());
    ASSERT_EQ(symlink(pty_->Path().c_str(), link.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::seconds(6));  // the next attempt to open it
    std::string second;
    for (int i = 5; i < 10; ++i) second += CallLine(i) + "\r\n";
    ASSERT_TRUE(pty_->Send(second));
    EXPECT_TRUE(WaitStored(10, std::chrono::seconds(10))) << station.Errors();
    const std::string errors = station.Errors();
    EXPECT_NE(errors.find("пропал"), std::string::npos) << errors;
    EXPECT_NE(errors.find("снова открыт"), std::string::npos) << errors;
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(RowsAndDistinct(), (std::vector<long>{10, 10}));
}

// A stop request right after the exchange wrote 200 lines: what the terminal still holds is
// read and stored before the station ends.
TEST_F(NoLoss, AStopRequestStoresWhatTheTerminalStillHolds) {
    Stage(pty_->Path(), {{"AutoRun", "T"}});
    TStationProcess station(dir_.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string burst;
    for (int i = 0; i < 200; ++i) burst += CallLine(i) + "\r\n";
    ASSERT_TRUE(pty_->Send(burst));
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(30)), 0) << station.Errors();
    EXPECT_EQ(RowsAndDistinct(), (std::vector<long>{200, 200}));
}

// What another program does to the journal while the station runs.
struct TamperCase {
    const char* name;
    void (*tamper)(const std::string& journalDir, const std::string& dayFile);
    const char* said;  // a word of the station's message about it
};

class TamperedJournal : public NoLoss, public ::testing::WithParamInterface<TamperCase> {};

// Ten lines stored, the journal tampered with, ten lines more: each of the twenty is stored once
// and at once (not only when a later line comes), the station says what happened, and a restart
// stores nothing again.
TEST_P(TamperedJournal, EveryLineIsStoredOnceAndTheStationSaysSo) {
    Stage(pty_->Path(), {{"AutoRun", "T"}});
    auto station = std::make_unique<TStationProcess>(dir_.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string first;
    for (int i = 0; i < 10; ++i) first += CallLine(i) + "\r\n";
    ASSERT_TRUE(pty_->Send(first));
    ASSERT_TRUE(WaitStored(10, std::chrono::seconds(10))) << station->Errors();
    const std::string journal = dir_.path() + "journal/";
    std::string day;
    for (const auto& e : std::filesystem::directory_iterator(journal))
        if (e.path().extension() == ".log") day = e.path().string();
    ASSERT_FALSE(day.empty());
    const std::string id = ReadBytes(journal + "station.id");
    GetParam().tamper(journal, day);
    for (int i = 10; i < 20; ++i) {
        ASSERT_TRUE(pty_->Send(CallLine(i) + "\r\n"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(WaitStored(20, std::chrono::seconds(5))) << station->Errors() << Missing(20);
    const std::string errors = station->Errors();
    EXPECT_NE(errors.find(GetParam().said), std::string::npos) << errors;
    EXPECT_EQ(ReadBytes(journal + "station.id"), id);
    kill(station->Pid, SIGTERM);
    EXPECT_EQ(station->Wait(std::chrono::seconds(10)), 0) << station->Errors();
    station = std::make_unique<TStationProcess>(dir_.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(pty_->Send(CallLine(20) + "\r\n"));
    EXPECT_TRUE(WaitStored(21, std::chrono::seconds(10))) << station->Errors();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(RowsAndDistinct(), (std::vector<long>{21, 21})) << Missing(21) << station->Errors();
    kill(station->Pid, SIGTERM);
    EXPECT_EQ(station->Wait(std::chrono::seconds(10)), 0) << station->Errors();
}

INSTANTIATE_TEST_SUITE_P(
    Tampering, TamperedJournal,
    ::testing::Values(TamperCase{"DayFileDeleted", tamper::RemoveDayFile, "журнал удалён"},
                      TamperCase{"JournalDirectoryDeleted", tamper::RemoveJournal, "журнал удалён"},
                      TamperCase{"DayFileReplaced", tamper::ReplaceDayFile, "журнал подменён"},
                      TamperCase{"DayFileEmptied", tamper::EmptyDayFile, "журнал укорочен"},
                      TamperCase{"DayFileCutShort", tamper::CutFiveBytes, "журнал укорочен"},
                      TamperCase{"JunkAppended", tamper::AppendJunk, "чужие байты"},
                      TamperCase{"LongJunkAppended", tamper::AppendLongJunk, "чужие байты"}),
    CaseName());

}  // namespace
