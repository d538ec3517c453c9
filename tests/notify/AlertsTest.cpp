// Alerts: the watchdog's working time, the grace before a trouble is told, and a real station
// whose troubles (its database shut down, its network exchange gone, its journal's disk full, a
// template that no longer fits) are mailed once when they start and once when they end to an
// SMTP server on loopback, with the station's clock moved by the test.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "notify/Alerts.h"
#include "platform/CodePage.h"
#include "station/Controller.h"
#include "station/Station.h"
#include "station/StationWatch.h"
#include "tests/common/CaseName.h"
#include "tests/common/Process.h"
#include "tests/common/TcpPeer.h"
#include "tests/mail/Servers.h"
#include "tests/serial/Pump.h"
#include "tests/station/Pty.h"
#include "tests/station/QueuedView.h"
#include "tests/station/StationStage.h"

using platform::Utf8ToAnsi;

namespace {

// 7 December 2026 is a Monday.
TDateTime At(int d, int hh, int nn, int ss = 0) {
    return EncodeDateTimeOrZero(2026, 12, d, hh, nn, ss);
}

struct TSilenceCase {
    const char* name;
    bool night;  // working hours 22:00 to 06:00 instead of 09:00 to 18:00
    TDateTime lastLine, now;
    bool alarm;
};

class WatchdogSilenceTest : public ::testing::TestWithParam<TSilenceCase> {};

TEST_P(WatchdogSilenceTest, CountsOnlyWorkingTime) {
    TAlertSettings s;
    if (GetParam().night) {
        s.WorkFrom = 22 * 60;
        s.WorkTo = 6 * 60;
    }
    TAlertMonitor monitor(s);
    std::vector<TAlertEvent> events;
    monitor.OnEvent = [&](const TAlertEvent& e) { events.push_back(e); };
    monitor.ObserveSilence(GetParam().lastLine, GetParam().now);
    ASSERT_EQ(events.size(), GetParam().alarm ? 1u : 0u);
    if (!GetParam().alarm) return;
    EXPECT_TRUE(events[0].Started);
    EXPECT_EQ(events[0].Since, GetParam().lastLine);
    EXPECT_EQ(events[0].Text, Utf8ToAnsi("нет звонков с ") +
                                  FormatDateTime("dd.mm.yyyy hh:nn", GetParam().lastLine));
    // Told once; a line ends it once.
    monitor.ObserveSilence(GetParam().lastLine, GetParam().now + 0.01);
    monitor.ObserveSilence(GetParam().now, GetParam().now + 0.02);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_FALSE(events[1].Started);
}

INSTANTIATE_TEST_SUITE_P(
    Watchdog, WatchdogSilenceTest,
    ::testing::Values(
        TSilenceCase{"TwoWorkingHours", false, At(7, 9, 0), At(7, 11, 0), true},
        TSilenceCase{"JustUnderTheLimit", false, At(7, 9, 0), At(7, 10, 59), false},
        TSilenceCase{"EveningDoesNotCount", false, At(7, 17, 0), At(7, 23, 0), false},
        TSilenceCase{"OvernightAddsTheMorning", false, At(7, 17, 0), At(8, 10, 0), true},
        TSilenceCase{"WeekendDoesNotCount", false, At(11, 17, 30), At(14, 9, 59), false},
        TSilenceCase{"FridayEveningToMondayMorning", false, At(11, 17, 0), At(14, 10, 0), true},
        TSilenceCase{"NightShiftAcrossMidnight", true, At(8, 23, 0), At(9, 1, 0), true},
        TSilenceCase{"NightShiftDaytimeDoesNotCount", true, At(9, 5, 0), At(9, 21, 0), false},
        TSilenceCase{"FridaysNightEndsOnSaturday", true, At(11, 23, 30), At(12, 1, 30), true},
        TSilenceCase{"SundaysNightIsFree", true, At(13, 21, 0), At(14, 5, 0), false}),
    CaseName());

TEST(WorkingHoursTest, DaysAndHoursAsSet) {
    TAlertSettings s;
    EXPECT_TRUE(InWorkingHours(s, At(7, 9, 0)));
    EXPECT_FALSE(InWorkingHours(s, At(7, 18, 0)));
    EXPECT_FALSE(InWorkingHours(s, At(12, 12, 0)));  // Saturday
    s.WorkFrom = 22 * 60;
    s.WorkTo = 6 * 60;
    EXPECT_TRUE(InWorkingHours(s, At(12, 3, 0)));  // Friday's night
    EXPECT_FALSE(InWorkingHours(s, At(13, 3, 0)));
}

struct TGraceCase {
    const char* name;
    int minutes;  // how long the trouble lasts
    bool told;
};

class GraceTest : public ::testing::TestWithParam<TGraceCase> {};

TEST_P(GraceTest, BlipShorterThanTheGraceSaysNothing) {
    TAlertMonitor monitor;  // ten minutes of grace
    std::vector<TAlertEvent> events;
    monitor.OnEvent = [&](const TAlertEvent& e) { events.push_back(e); };
    const TDateTime start = At(7, 10, 0);
    for (int m = 0; m <= GetParam().minutes; ++m)
        monitor.Observe(TAlertKind::Database, true, "away", start + m / 1440.0);
    EXPECT_EQ(monitor.Active().size(), GetParam().told ? 1u : 0u);
    monitor.Observe(TAlertKind::Database, false, "", start + (GetParam().minutes + 1) / 1440.0);
    ASSERT_EQ(events.size(), GetParam().told ? 2u : 0u);
    if (!GetParam().told) return;
    EXPECT_TRUE(events[0].Started);
    EXPECT_EQ(events[0].Since, start);
    EXPECT_FALSE(events[1].Started);
    EXPECT_EQ(events[1].Text, "away");
    EXPECT_TRUE(monitor.Active().empty());
}

INSTANTIATE_TEST_SUITE_P(Minutes, GraceTest,
                         ::testing::Values(TGraceCase{"NineMinutes", 9, false},
                                           TGraceCase{"TenMinutes", 10, true},
                                           TGraceCase{"AnHour", 60, true}),
                         CaseName());

TEST(AlertSettingsTest, WrittenAndReadBackAndNonsenseGivesDefaults) {
    TempDir dir;
    TAlertSettings s;
    ASSERT_TRUE(ParseWorkDays("1-3, 6", s));
    s.WorkFrom = 22 * 60 + 30;
    s.WorkTo = 7 * 60;
    s.SilenceMinutes = 45;
    s.GraceMinutes = 0;
    s.Address = "duty@office.test";
    WriteAlertSettings(dir.file(kAlertsIni), s);
    const TAlertSettings back = ReadAlertSettings(dir.file(kAlertsIni));
    EXPECT_EQ(WorkDaysText(back), "1,2,3,6");
    EXPECT_EQ(back.WorkFrom, 22 * 60 + 30);
    EXPECT_EQ(back.WorkTo, 7 * 60);
    EXPECT_EQ(back.SilenceMinutes, 45);
    EXPECT_EQ(back.GraceMinutes, 0);
    EXPECT_EQ(back.Address, "duty@office.test");

    WriteBytes(dir.file(kAlertsIni),
               "[Alerts]\r\nWorkDays=8\r\nWorkFrom=25:00\r\nWorkTo=x\r\nSilenceMinutes=-5\r\n");
    const TAlertSettings nonsense = ReadAlertSettings(dir.file(kAlertsIni));
    EXPECT_EQ(WorkDaysText(nonsense), "1,2,3,4,5");
    EXPECT_EQ(nonsense.WorkFrom, 9 * 60);
    EXPECT_EQ(nonsense.WorkTo, 18 * 60);
    EXPECT_EQ(nonsense.SilenceMinutes, 120);
}

// ---- a real station ---------------------------------------------------------------------------

std::string Gfix(const std::string& args, const std::string& db) {
    const std::string src = TARVICK_SOURCE_DIR;
    return process::Capture("TARVICK_FIREBIRD_DIR='" + src + "/data/firebird' . '" + src +
                            "/data/firebird/env.sh' && gfix -user SYSDBA -password quillfern " +
                            args + " '" + db + "' 2>&1")
        .Out;
}

std::string Call(int n) {
    char line[64];
    std::snprintf(line, sizeof line, "07/12/26 10:%02d:%02d 01 201 00:00:30 8495%07d\r\n",
                  n / 60 % 60, n % 60, n);
    return line;
}

// A station on a pseudo-terminal or a network exchange, with its own call database, its journal
// (in journalDir when given), its alerts mailed to the sink, and a clock the test moves.
class StationAlerts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(sink.Port(), 0);
        PrepareFirebirdEnvironment(dir.path());
        previous = CallDatabase;
        module = std::make_unique<TCallDatabase>();
        dbPath = dir.file("calls.fdb");
        ASSERT_TRUE(stage::CreateDatabase(TARVICK_SOURCE_DIR, dbPath));
        now = At(7, 10, 0);
        SetClock([this] { return now; });
    }
    void TearDown() override {
        if (control) {
            control->Shutdown(nullptr);
            PumpUntil([] { return false; }, 100);
        }
        watch.reset();
        if (port) port->ComPort().OnRxChar = nullptr;
        control.reset();
        module.reset();
        CallDatabase = previous;
        SetClock(nullptr);
    }

    // Starts capture on portName; false when the station did not come up with its database.
    bool Start(const std::string& portName, const std::string& journalDir = {},
               const std::string& alertsIni = "[Alerts]\r\nGraceMinutes=10\r\n") {
        WriteBytes(dir.file(kAlertsIni), alertsIni);
        port = std::make_unique<TStationPort>();
        port->ComPort().SetPort(portName);
        port->ComPort().SetBaudRate(br115200);
        port->ComPort().OnRxChar = [this](TCustomSerialPort&, int count) {
            control->RxChar(count);
        };
        const std::string stationDir = dir.path();
        const int mailPort = sink.Port();
        const std::string db = dbPath;
        control = std::make_unique<TCaptureControl>(*port, database, view, [=] {
            auto holder = std::make_unique<TRecorder>();
            holder->ConfigLoaded = ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS",
                                                    holder->TemplateComment, holder->Columns());
            holder->DBPath = db;
            holder->ProgramDir = stationDir;
            holder->IncomLog = true;
            holder->AddrSMTP = "127.0.0.1";
            holder->PortSMTP = mailPort;
            holder->FromSMTP = "station@office.test";
            holder->MsgAddress = "admin@office.test";
            return holder;
        });
        watch = std::make_unique<TStationWatch>(*control, stationDir);
        if (!control->CreateHolder() ||
            !control->UseJournal(journalDir.empty() ? stationDir + "journal" : journalDir))
            return false;
        control->StartStop(false);
        return PumpUntil([&] { return control->DatabaseAvailable(); });
    }
    // The heartbeat at the current time, and the mail it sends to its end.
    void Beat() {
        watch->Beat();
        while (watch->Sender().Busy() || watch->Outbox().Waiting() > 0) {
            ASSERT_TRUE(PumpUntil([&] { return !watch->Sender().Busy(); }, 10000));
            watch->Beat();
            if (!watch->Sender().Busy()) break;
        }
    }
    void Minutes(double m) { now += m / 1440; }
    // The first lines of the mails the sink received, in order.
    std::vector<std::string> Mails() const {
        std::vector<std::string> out;
        for (int n = 1; !sink.Envelope(n).empty(); ++n) {
            const std::string data = sink.Data(n);
            const size_t body = data.find("\r\n\r\n");
            const std::string text = data.substr(body + 6);
            out.push_back(platform::AnsiToUtf8(text.substr(0, text.find("\r\n"))));
        }
        return out;
    }
    std::string AlertsInStatus() const {
        std::string kinds;
        for (const TActiveAlert& a : watch->Status().Alerts) kinds += a.Kind + " ";
        return kinds;
    }
    // Passes the grace time in steps, beating at each.
    void Through(double minutes) {
        for (double m = 0; m < minutes; m += 1) {
            Minutes(1);
            Beat();
        }
    }

    SinkServer sink;
    TempDir dir;
    std::string dbPath;
    TDateTime now = 0;
    TCallDatabase* previous = nullptr;
    std::unique_ptr<TCallDatabase> module;
    std::unique_ptr<TStationPort> port;
    TStationDatabase database;
    TQueuedView view;
    std::unique_ptr<TCaptureControl> control;
    std::unique_ptr<TStationWatch> watch;
};

TEST_F(StationAlerts, DatabaseShutDownIsToldOnceAtItsStartAndOnceAtItsEnd) {
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(Start(pty.Path()));
    pty.Send(Call(1));
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Stored == 1; }));
    Beat();
    Gfix("-shut full -force 0", dbPath);
    pty.Send(Call(2));
    ASSERT_TRUE(PumpUntil([&] { return !control->DatabaseAvailable(); }, 10000));
    Through(9);
    EXPECT_TRUE(Mails().empty());
    Through(2);
    Through(30);
    ASSERT_EQ(Mails().size(), 1u);
    EXPECT_EQ(Mails()[0].rfind("база недоступна (", 0), 0u) << Mails()[0];
    EXPECT_NE(Mails()[0].find("строк ждут: 1"), std::string::npos) << Mails()[0];
    EXPECT_EQ(AlertsInStatus(), "database ");

    Gfix("-online", dbPath);
    Minutes(1);
    pty.Send(Call(3));  // a line after the retry is due tries the database at once
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Stored == 3; }, 15000));
    Through(15);
    EXPECT_EQ(Mails(), (std::vector<std::string>{Mails()[0], "база снова доступна"}));
    EXPECT_EQ(AlertsInStatus(), "");
}

TEST_F(StationAlerts, NetworkExchangeGoneIsToldAndItsReturnToo) {
    TPeerListener exchange;
    ASSERT_TRUE(exchange.Valid());
    ASSERT_TRUE(Start("tcp://127.0.0.1:" + std::to_string(exchange.Port())));
    TPeerSocket link = exchange.Accept(5000);
    ASSERT_TRUE(link.Valid());
    ASSERT_TRUE(PumpUntil([&] { return control->PortUp(); }));
    Through(15);
    EXPECT_TRUE(Mails().empty());

    link.Close();
    ASSERT_TRUE(PumpUntil([&] { return !control->PortUp(); }, 5000));
    Through(11);
    ASSERT_EQ(Mails().size(), 1u);
    EXPECT_EQ(Mails()[0],
              "порт tcp://127.0.0.1:" + std::to_string(exchange.Port()) + " недоступен");

    link = exchange.Accept(10000);
    ASSERT_TRUE(link.Valid());
    ASSERT_TRUE(PumpUntil([&] { return control->PortUp(); }, 5000));
    Through(11);
    ASSERT_EQ(Mails().size(), 2u);
    EXPECT_EQ(Mails()[1], "порт снова открыт");
}

TEST_F(StationAlerts, ExchangeGoneForLessThanTheGraceTimeMailsNothing) {
    TPeerListener exchange;
    ASSERT_TRUE(Start("tcp://127.0.0.1:" + std::to_string(exchange.Port())));
    TPeerSocket link = exchange.Accept(5000);
    ASSERT_TRUE(link.Valid());
    ASSERT_TRUE(PumpUntil([&] { return control->PortUp(); }));
    link.Close();
    ASSERT_TRUE(PumpUntil([&] { return !control->PortUp(); }, 5000));
    Through(5);
    link = exchange.Accept(10000);
    ASSERT_TRUE(PumpUntil([&] { return control->PortUp(); }, 5000));
    Through(20);
    EXPECT_TRUE(Mails().empty());
    EXPECT_EQ(AlertsInStatus(), "");
}

// A template that no longer fits the exchange: more than a tenth of the day's lines rejected.
TEST_F(StationAlerts, RejectedLinesRisingAreToldAndTheNextDayEndsIt) {
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(Start(pty.Path()));
    std::string lines;
    for (int i = 0; i < 20; ++i)
        lines += i % 3 == 0 ? Call(i) : "garbage line " + std::to_string(i) + "\r\n";
    pty.Send(lines);
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Received == 20; }, 10000));
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Rejected == 13; }, 10000));
    Through(11);
    ASSERT_EQ(Mails().size(), 1u);
    EXPECT_EQ(Mails()[0].rfind("отклонено строк за сегодня: 13 из 20", 0), 0u) << Mails()[0];
    now = At(8, 9, 0);
    pty.Send(Call(30));
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Received == 21; }, 10000));
    Through(2);
    ASSERT_EQ(Mails().size(), 2u);
    EXPECT_EQ(Mails()[1], "отклонённых строк снова мало");
}

// No line for two working hours: one mail, and one when lines come again.
TEST_F(StationAlerts, SilentExchangeWithinWorkingHoursIsToldOnce) {
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    now = At(11, 17, 0);  // a Friday afternoon
    ASSERT_TRUE(Start(pty.Path()));
    pty.Send(Call(1));
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Stored == 1; }));
    now = At(14, 9, 59);  // Monday: an hour of the Friday and a minute short of one on Monday
    Beat();
    EXPECT_TRUE(Mails().empty());
    now = At(14, 10, 1);
    Beat();
    Through(5);
    ASSERT_EQ(Mails().size(), 1u);
    EXPECT_EQ(Mails()[0], "нет звонков с 11.12.2026 17:00");
    pty.Send(Call(2));
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Stored == 2; }));
    Beat();
    ASSERT_EQ(Mails().size(), 2u);
    EXPECT_EQ(Mails()[1], "снова есть звонки");
}

// The journal on a small disk that fills up: told when it is nearly full (under 200 MB free),
// and again when room is made. Needs root for the mount; skipped without it.
TEST_F(StationAlerts, JournalsDiskNearlyFullIsToldAndItsEndToo) {
    TempDir mountPoint;
    if (::mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=210m") != 0)
        GTEST_SKIP() << "no tmpfs could be mounted (not root?)";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint.path()};
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(Start(pty.Path(), mountPoint.file("journal")));
    Through(11);
    EXPECT_TRUE(Mails().empty());
    WriteBytes(mountPoint.file("filler"), std::string(20 * 1024 * 1024, 'x'));
    pty.Send(Call(1));
    ASSERT_TRUE(PumpUntil([&] { return control->Counters().Stored == 1; }));
    Through(11);
    ASSERT_EQ(Mails().size(), 1u);
    EXPECT_EQ(Mails()[0].rfind("на диске журнала свободно 18", 0), 0u) << Mails()[0];
    EXPECT_EQ(AlertsInStatus(), "journal ");
    std::remove(mountPoint.file("filler").c_str());
    Through(2);
    ASSERT_EQ(Mails().size(), 2u);
    EXPECT_EQ(Mails()[1], "журнал снова пишется, места на диске хватает");
}

// The administrator's check of the path: one test alert through the station's own settings, the
// outcome printed and in the exit status.
struct TToolCase {
    const char* name;
    bool serverUp;
    int exitCode;
    const char* out;
};

class AlertsToolTest : public ::testing::TestWithParam<TToolCase> {};

TEST_P(AlertsToolTest, SendsOneTestAlertAndTellsTheOutcome) {
    SinkServer sink;
    ScriptedServer refusing(Script{{"refuse", ""}});
    TempDir dir;
    stage::TStationFiles files;
    files.Dir = dir.path();
    files.PortName = "/dev/null";
    files.Fields = {
        {"AddrSMTP", "127.0.0.1"},
        {"PortSMTP", std::to_string(GetParam().serverUp ? sink.Port() : refusing.Port())},
        {"FromSMTP", "station@office.test"},
        {"MsgAddress", "admin@office.test"}};
    std::string what;
    ASSERT_TRUE(stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) << what;
    WriteBytes(dir.file(kAlertsIni), "[Alerts]\r\nAddress=duty@office.test\r\n");
    const auto result =
        process::Capture(std::string(TARVICK_TOOL) + " alerts '" + dir.path() + "' --test");
    EXPECT_EQ(result.Status, GetParam().exitCode) << result.Out;
    EXPECT_EQ(result.Out, GetParam().out);
    if (!GetParam().serverUp) return;
    ASSERT_FALSE(sink.Envelope(1).empty());
    EXPECT_EQ(sink.Envelope(1), "station@office.test\nduty@office.test\n");
    EXPECT_NE(sink.Data(1).find(Utf8ToAnsi("Проверка: тревоги станции доходят")),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Server, AlertsToolTest,
    ::testing::Values(TToolCase{"Answers", true, 0, "sent duty@office.test\n"},
                      TToolCase{"Refuses", false, 1,
                                "failed duty@office.test: сервер отказал в соединении\n"}),
    CaseName());

}  // namespace
