// The headless station against a real Firebird server (a private one the test starts), logging
// in as db.ini says with a least-rights user made by scripts/create-db.sh --grant: a login the
// server refuses is said in the station's log with the server's own reason while the station
// goes on journaling, and the right login stores every line journaled meanwhile, once.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/TempDir.h"
#include "tests/db/FirebirdServer.h"
#include "tests/station/Pty.h"
#include "tests/station/StationProcess.h"
#include "tests/station/StationStage.h"

namespace {

const char kClerk[] = "CLERK";
const char kClerkPassword[] = "Right-Pass1";

std::string CallLine(int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "06/12/26 15:%02d:%02d 02 %3d 00:01:%02d 8495%07d", n / 60 % 60,
                  n % 60, 201 + n % 7, n % 60, n);
    return buf;
}

void WriteLogin(const std::string& dir, const std::string& user, const std::string& password) {
    std::ofstream(dir + "db.ini", std::ios::trunc)
        << "[Database]\r\nUser=" << user << "\r\nPassword=" << password << "\r\n";
}

// The last number isql prints, -1 when it prints none.
long LastNumber(const std::string& out) {
    std::istringstream in(out);
    long n = -1;
    for (std::string word; in >> word;)
        if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos)
            n = std::stol(word);
    return n;
}

struct RefusedLogin {
    const char* name;
    const char* user;
    const char* password;
};

class ServerLogin : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = TFirebirdServer::Missing(); !missing.empty())
            GTEST_SKIP() << missing;
        std::string what;
        ASSERT_TRUE(server_.Start(what)) << what;
        db_ = server_.DataDir() + "calls.fdb";
        const std::string admin = "ISC_USER=SYSDBA ISC_PASSWORD='" + server_.Password() + "' ";
        // Made first, then the station's user granted on the database that exists.
        const process::TOutput made =
            process::Capture(admin + "sh " TARVICK_SOURCE_DIR "/scripts/create-db.sh '" +
                             server_.Url(db_) + "' 2>&1");
        ASSERT_EQ(made.Status, 0) << made.Out << server_.Log();
        const process::TOutput granted =
            process::Capture(admin + "TARVICK_GRANT_PASSWORD='" + kClerkPassword +
                             "' sh " TARVICK_SOURCE_DIR "/scripts/create-db.sh --grant " + kClerk +
                             " '" + server_.Url(db_) + "' 2>&1");
        ASSERT_EQ(granted.Status, 0) << granted.Out;
        EXPECT_NE(granted.Out.find(std::string("User=") + kClerk), std::string::npos)
            << granted.Out;

        ASSERT_TRUE(pty_.Ok());
        stage::TStationFiles files;
        files.Dir = dir_.path();
        files.PortName = pty_.Path();
        files.BaudRate = "115200";
        files.Fields = {{"DBPath", server_.Url(db_)}, {"AutoRun", "T"}, {"IncomLog", "T"}};
        ASSERT_TRUE(stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) << what;
    }
    long Stored() { return LastNumber(server_.Isql(db_, "select count(*) from Rings;").Out); }
    // Standard error until it holds every text, or the time is up.
    static std::string ErrorsUntil(TStationProcess& station, const std::vector<std::string>& texts,
                                   std::chrono::seconds limit) {
        std::string errors;
        for (auto end = Clock::now() + limit; Clock::now() < end;) {
            errors = station.Errors();
            bool all = true;
            for (const std::string& t : texts) all = all && errors.find(t) != std::string::npos;
            if (all) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return errors;
    }

    TFirebirdServer server_;
    std::string db_;
    TempDir dir_;
    TPty pty_;
};

TEST_F(ServerLogin, ARefusedLoginIsLoggedWithTheServersReasonAndTheRightOneStoresEveryLine) {
    const RefusedLogin refused[] = {{"WrongPassword", kClerk, "wrong-pass"},
                                    {"UnknownUser", "NOBODY", kClerkPassword}};
    int sent = 0;
    for (const RefusedLogin& login : refused) {
        SCOPED_TRACE(login.name);
        WriteLogin(dir_.path(), login.user, login.password);
        TStationProcess station(dir_.path());
        std::string errors = ErrorsUntil(station, {"база недоступна ("}, std::chrono::seconds(20));
        // The server's own words, not a guess of ours.
        EXPECT_NE(errors.find("база недоступна (Your user name and password are not defined"),
                  std::string::npos)
            << errors;
        ASSERT_TRUE(pty_.Send(CallLine(sent++) + "\r\n"));
        std::this_thread::sleep_for(std::chrono::seconds(2));
        int status = 0;
        EXPECT_EQ(waitpid(station.Pid, &status, WNOHANG), 0) << "the station stopped";
        kill(station.Pid, SIGTERM);
        EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0) << station.Errors();
        EXPECT_EQ(Stored(), 0);
    }

    WriteLogin(dir_.path(), kClerk, kClerkPassword);
    TStationProcess station(dir_.path());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(pty_.Send(CallLine(sent++) + "\r\n"));
    long stored = 0;
    for (auto end = Clock::now() + std::chrono::seconds(20); stored < sent && Clock::now() < end;) {
        stored = Stored();
        if (stored < sent) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(stored, sent) << station.Errors();
    EXPECT_EQ(station.Errors().find("база недоступна"), std::string::npos) << station.Errors();
    // Each line once, with its source.
    EXPECT_EQ(LastNumber(server_
                             .Isql(db_,
                                   "select count(distinct NumberOut) from Rings "
                                   "where Station is not null;")
                             .Out),
              sent);
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0) << station.Errors();
}

}  // namespace
