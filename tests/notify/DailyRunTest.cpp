// The daily run end to end: a call database on the embedded engine, aiosmtpd on loopback, and
// a fake capture line that counts what the run does to it.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "mail/Outbox.h"
#include "mail/OutboxSender.h"
#include "mail/SmtpClient.h"
#include "notify/DailyRun.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "station/Controller.h"
#include "station/Station.h"
#include "station/StationWatch.h"
#include "tests/common/CaseName.h"
#include "tests/db/FreshDatabase.h"
#include "tests/mail/Certificates.h"
#include "tests/mail/Servers.h"
#include "tests/serial/Pump.h"
#include "tests/station/Pty.h"
#include "tests/station/QueuedView.h"
#include "tests/station/StationFakes.h"
#include "tests/station/StationStage.h"

using platform::Utf8ToAnsi;

namespace {

TDateTime Day(int y, int m, int d) {
    TDateTime v = 0;
    TryEncodeDate(y, m, d, v);
    return v;
}

TDateTime At(int y, int m, int d, int hh, int nn, int ss) {
    return EncodeDateTimeOrZero(y, m, d, hh, nn, ss);
}

// The body of a received message: what follows the header block and the one extra empty line.
std::string BodyOf(const std::string& data) {
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return {};
    return data.substr(end + 4 + 2);
}

std::string HeaderOf(const std::string& data, const std::string& name) {
    size_t at = 0;
    while (at < data.size()) {
        const size_t eol = data.find("\r\n", at);
        const std::string line = data.substr(at, eol - at);
        if (line.empty()) break;
        if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
        if (eol == std::string::npos) break;
        at = eol + 2;
    }
    return {};
}

// Messages the sink has saved so far.
int Count(const SinkServer& sink) {
    int n = 0;
    while (!sink.Envelope(n + 1).empty()) ++n;
    return n;
}

// One call database for the whole program, emptied before each test.
class Database {
public:
    static Database& Get() {
        static Database db;
        return db;
    }
    bool Ok() const { return ok_; }
    const std::string& Path() const { return path_; }
    TCallDatabase& CallDb() { return dm_; }

    void Exec(const std::string& sql) {
        TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
        q.SQL().Add(sql);
        q.ExecQuery();
    }
    void Commit() { dm_.DbTransaction.Commit(); }
    void Begin() {
        if (!dm_.DbTransaction.InTransaction()) dm_.DbTransaction.StartTransaction();
    }

private:
    Database() {
        platform::SetProgramDir(dir_.path());
        PrepareFirebirdEnvironment(dir_.path());
        path_ = dir_.file("calls.fdb");
        if (!stage::CreateDatabase(TARVICK_SOURCE_DIR, path_)) return;
        dm_.Connect(path_);
        ok_ = dm_.Connected();
    }
    TempDir dir_;
    std::string path_;
    TCallDatabase dm_;
    bool ok_ = false;
};

// What the run did to the record path: storing held and resumed, the mails saved by the sink
// at each of the two moments, and the timer.
struct StorageCounts {
    bool HeldNow = false;
    int Held = 0, Resumed = 0;
    std::vector<int> MailsAt;
    std::vector<bool> Timer;
    std::vector<TDateTime> TotalsAskedFor;
};

class DailyRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Db().Ok()) << "the call database could not be created";
        if (!Db().CallDb().Connected()) Db().CallDb().Connect(Db().Path());
        Db().Begin();
        Db().Exec("DELETE FROM Rings");
        Db().Exec("DELETE FROM Users");
        Db().Commit();
        ASSERT_GT(sink.Port(), 0);

        recorder.AddrSMTP = "127.0.0.1";
        recorder.PortSMTP = sink.Port();
        recorder.FromSMTP = "station@office.test";
        recorder.SubjSendM = Utf8ToAnsi("Статистика звонков");
        recorder.MsgFooter = Utf8ToAnsi("--\r\nТелефонная станция");
        recorder.SubjARight = "Daily";
        recorder.MsgARight = Utf8ToAnsi("Станция работает");
        recorder.SubjSilenc = "Silence";
        recorder.MsgSilence = Utf8ToAnsi("Нет звонков: ");
        recorder.MsgAddress = "admin@office.test";
        recorder.DaysSilenc = 3;
        recorder.LastRunDate = Day(2026, 12, 6);
        recorder.LastRingDate = Day(2026, 12, 6);
        Clock(At(2026, 12, 7, 0, 0, 1));
        dailyRun = std::make_unique<TDailyRun>(recorder, Db().CallDb(), smtp, Hooks());
        dailyRun->OnOwner = [this](TOwnerOutcome o, const std::string& who, const std::string& r) {
            const char* kind = o == TOwnerOutcome::Sent      ? "sent "
                               : o == TOwnerOutcome::Skipped ? "skipped "
                                                             : "failed ";
            reports.insert(kind + who + (r.empty() ? "" : ": " + r));
        };
    }
    void TearDown() override { SetClock(nullptr); }

    static Database& Db() { return Database::Get(); }
    void Clock(TDateTime now) {
        SetClock([now] { return now; });
    }
    TDailyRunHooks Hooks() {
        return {[this] {
                    ++storage.Held;
                    storage.HeldNow = true;
                    storage.MailsAt.push_back(Count(sink));
                },
                [this] {
                    ++storage.Resumed;
                    storage.HeldNow = false;
                    storage.MailsAt.push_back(Count(sink));
                },
                [this](bool on) { storage.Timer.push_back(on); },
                [this](const std::string& text) { events.push_back(text); },
                [this](TDateTime today) { storage.TotalsAskedFor.push_back(today); }};
    }

    static std::string Quoted(const std::string& text) {
        std::string out = "'";
        for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
        return out + "'";
    }
    // As literals: the statement layer cannot bind an empty text yet.
    static void AddUser(int number, const std::string& fio, const std::string& email, int send) {
        Db().Exec("INSERT INTO Users (NumberIN, FIO, EMail, SendMail) VALUES (" +
                  std::to_string(number) + ", " + Quoted(fio) + ", " + Quoted(email) + ", " +
                  std::to_string(send) + ")");
    }
    static void AddRing(int numberIn, const std::string& numberOut, TDateTime when, int h, int m,
                        int s) {
        TFbStatement q(Db().CallDb().DbConnection, Db().CallDb().DbTransaction);
        q.SQL().Add(
            "INSERT INTO Rings (NumberIn, NumberOut, RingDate, TimeHour, TimeMin, TimeSec) "
            "VALUES (?, ?, ?, ?, ?, ?)");
        q.Params(0).SetAsInteger(numberIn);
        q.Params(1).SetAsString(numberOut);
        q.Params(2).SetAsDateTime(when);
        q.Params(3).SetAsInteger(h);
        q.Params(4).SetAsInteger(m);
        q.Params(5).SetAsInteger(s);
        q.ExecQuery();
    }

    // The expected statistics body for the 6th of December 2026.
    static std::string Expected(const std::string& fio, const std::string& in,
                                const std::string& out) {
        return Utf8ToAnsi("Здравствуйте, " + fio + "\r\n\r\nСтатистика за 06.12.2026, " +
                          "Воскресенье\r\nВходящие  :" + in + "\r\nИсходящие :" + out +
                          "\r\n\r\n--\r\nТелефонная станция\r\n");
    }

    SinkServer sink;
    TRecorder recorder;
    TSmtpClient smtp;
    StorageCounts storage;
    std::unique_ptr<TDailyRun> dailyRun;
    std::set<std::string> reports;
    std::vector<std::string> events;
};

TEST_F(DailyRunTest, StatisticsMailsCarryTheDaysTotals) {
    Db().Begin();
    AddUser(101, Utf8ToAnsi("Иванов Иван"), "ivanov@office.test", 1);
    AddUser(102, Utf8ToAnsi("Петрова Анна"), "Anna <petrova@office.test>", 1);
    AddUser(103, "Not asked", "nobody@office.test", 0);
    AddUser(104, "No address", "", 1);
    // 101: two incoming calls at the day's very edges and one outgoing; calls just outside.
    AddRing(101, "0", At(2026, 12, 6, 0, 0, 0), 1, 0, 0);
    AddRing(101, "0", At(2026, 12, 6, 23, 59, 59), 0, 2, 3);
    AddRing(101, "0495123", At(2026, 12, 6, 12, 30, 0), 0, 1, 5);
    AddRing(101, "0", At(2026, 12, 5, 23, 59, 59), 5, 0, 0);
    AddRing(101, "0495123", At(2026, 12, 7, 0, 0, 0), 5, 0, 0);
    // 102 talked only on another day; 103 is not asked.
    AddRing(102, "0", At(2026, 12, 5, 10, 0, 0), 0, 10, 0);
    AddRing(103, "0", At(2026, 12, 6, 10, 0, 0), 0, 10, 0);
    Db().Commit();
    recorder.SendMail = true;

    dailyRun->TimerTimer();

    ASSERT_EQ(Count(sink), 2);
    std::map<std::string, std::string> byRecipient;
    for (int n = 1; n <= 2; ++n) {
        const std::string env = sink.Envelope(n);
        byRecipient[env.substr(env.find('\n') + 1)] = sink.Data(n);
        EXPECT_EQ(env.substr(0, env.find('\n')), "station@office.test");
    }
    const std::string ivanov = byRecipient["ivanov@office.test\n"];
    EXPECT_EQ(BodyOf(ivanov),
              Expected("Иванов Иван", " 1 ч. 2 мин. 3 сек.", " 0 ч. 1 мин. 5 сек."));
    EXPECT_EQ(HeaderOf(ivanov, "Subject"), recorder.SubjSendM);
    EXPECT_EQ(HeaderOf(ivanov, "Content-Type"), "text/plain; charset=windows-1251");
    const std::string petrova = byRecipient["petrova@office.test\n"];
    EXPECT_EQ(BodyOf(petrova),
              Expected("Петрова Анна", " 0 ч. 0 мин. 0 сек.", " 0 ч. 0 мин. 0 сек."));
    EXPECT_EQ(HeaderOf(petrova, "To"), "Anna <petrova@office.test>");

    EXPECT_EQ(reports, (std::set<std::string>{"sent ivanov@office.test",
                                              "sent Anna <petrova@office.test>", "skipped 104"}));
    EXPECT_TRUE(recorder.SendMail);
    EXPECT_FALSE(Db().CallDb().DbTransaction.InTransaction());
    EXPECT_EQ(recorder.LastRunDate, Day(2026, 12, 7));
    EXPECT_EQ(storage.Held, 1);
    EXPECT_EQ(storage.Resumed, 1);
    EXPECT_EQ(storage.Timer, (std::vector<bool>{false, true}));
}

TEST_F(DailyRunTest, RunsOncePerDate) {
    recorder.NeedARight = true;
    Clock(At(2026, 12, 6, 23, 59, 59));
    dailyRun->TimerTimer();
    EXPECT_EQ(Count(sink), 0);
    EXPECT_EQ(storage.Held, 0);
    EXPECT_TRUE(storage.Timer.empty());

    for (int s = 0; s < 3; ++s) {
        Clock(At(2026, 12, 7, 0, 0, s));
        dailyRun->TimerTimer();
    }
    EXPECT_EQ(Count(sink), 1);
    EXPECT_EQ(storage.Held, 1);

    Clock(At(2026, 12, 9, 8, 0, 0));  // the clock moved on by two days
    dailyRun->TimerTimer();
    dailyRun->TimerTimer();
    EXPECT_EQ(Count(sink), 2);
    EXPECT_EQ(recorder.LastRunDate, Day(2026, 12, 9));
    EXPECT_EQ(BodyOf(sink.Data(2)), Utf8ToAnsi("Станция работает\r\n"));
    EXPECT_EQ(HeaderOf(sink.Data(2), "Subject"), "Daily");
    // The summaries' totals are asked for once per run, up to the run's date.
    EXPECT_EQ(storage.TotalsAskedFor, (std::vector<TDateTime>{Day(2026, 12, 7), Day(2026, 12, 9)}));
}

TEST_F(DailyRunTest, NoOwnerSendsNothingAndEndsTheTransaction) {
    Db().Begin();
    AddUser(101, "Quiet", "quiet@office.test", 0);
    Db().Commit();
    recorder.SendMail = true;
    dailyRun->TimerTimer();
    EXPECT_EQ(Count(sink), 0);
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(Db().CallDb().DbTransaction.InTransaction());
    EXPECT_TRUE(recorder.SendMail);
}

TEST_F(DailyRunTest, WorkLeftInTheTransactionIsRolledBackFirst) {
    Db().Begin();
    AddUser(101, "Uncommitted", "ghost@office.test", 1);
    recorder.SendMail = true;
    dailyRun->TimerTimer();
    EXPECT_EQ(Count(sink), 0);
    EXPECT_FALSE(Db().CallDb().DbTransaction.InTransaction());
}

struct SilenceCase {
    int silentDays;
    bool alarm;
};

class SilenceTest : public DailyRunTest, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(SilenceTest, AlarmOnlyBeyondTheThreshold) {
    recorder.NeedSilenc = true;
    recorder.LastRingDate = Day(2026, 12, 7) - GetParam().silentDays;
    dailyRun->TimerTimer();
    ASSERT_EQ(Count(sink), GetParam().alarm ? 1 : 0);
    if (!GetParam().alarm) return;
    EXPECT_EQ(BodyOf(sink.Data(1)),
              Utf8ToAnsi("Нет звонков: 07.12.2026|") + DateToStr(recorder.LastRingDate) + "|3\r\n");
    EXPECT_EQ(sink.Envelope(1), "station@office.test\nadmin@office.test\n");
    // Again on every following run while no call is stored.
    Clock(At(2026, 12, 8, 0, 0, 0));
    dailyRun->TimerTimer();
    EXPECT_EQ(Count(sink), 2);
}

INSTANTIATE_TEST_SUITE_P(Days, SilenceTest,
                         ::testing::Values(SilenceCase{4, true}, SilenceCase{3, false},
                                           SilenceCase{0, false}, SilenceCase{400, true}),
                         [](const auto& info) {
                             return "SilentFor" + std::to_string(info.param.silentDays) + "Days";
                         });

TEST_F(DailyRunTest, EmptyAdministratorAddressSendsNothingAndKeepsTheFlags) {
    recorder.MsgAddress.clear();
    recorder.NeedARight = true;
    recorder.NeedSilenc = true;
    recorder.LastRingDate = Day(2026, 11, 1);
    dailyRun->TimerTimer();
    EXPECT_EQ(Count(sink), 0);
    EXPECT_TRUE(recorder.NeedARight);
    EXPECT_TRUE(recorder.NeedSilenc);
}

TEST_F(DailyRunTest, ServerFailingDuringTheAlarmChangesNoSetting) {
    // The daily message goes through; the alarm's sender is refused.
    ScriptedServer server(
        Greeting() + AcceptMessage(1) + Quit() + std::vector<Step>{{"accept", ""}} + Greeting() +
        std::vector<Step>{
            {"recv", ""}, {"send", "250 reset\r\n"}, {"recv", ""}, {"send", "451 try later\r\n"}} +
        Quit());
    recorder.PortSMTP = server.Port();
    recorder.NeedARight = true;
    recorder.NeedSilenc = true;
    recorder.LastRingDate = Day(2026, 12, 1);
    dailyRun->TimerTimer();
    EXPECT_TRUE(recorder.NeedARight);
    EXPECT_TRUE(recorder.NeedSilenc);
    EXPECT_NE(server.Log().find("QUIT"), std::string::npos);

    recorder.PortSMTP = sink.Port();
    Clock(At(2026, 12, 8, 0, 0, 0));
    dailyRun->TimerTimer();
    ASSERT_EQ(Count(sink), 2);
    EXPECT_EQ(HeaderOf(sink.Data(1), "Subject"), "Daily");
    EXPECT_EQ(HeaderOf(sink.Data(2), "Subject"), "Silence");
}

TEST_F(DailyRunTest, FailedStatisticsMailTriesTheOthersAndTheNextRunMailsAgain) {
    Db().Begin();
    AddUser(101, "First", "first@office.test", 1);
    AddUser(102, "Second", "second@office.test", 1);
    Db().Commit();
    recorder.SendMail = true;
    // The first session's recipient is rejected, so its DATA is refused; the second goes through.
    ScriptedServer server(Greeting() + RefuseRecipients(1) + Quit() +
                          std::vector<Step>{{"accept", ""}} + Greeting() + AcceptMessage(1) +
                          Quit());
    recorder.PortSMTP = server.Port();
    dailyRun->TimerTimer();
    EXPECT_TRUE(recorder.SendMail);
    ASSERT_EQ(reports.size(), 2u);
    int sent = 0, failed = 0;
    for (const auto& r : reports) {
        sent += r.rfind("sent ", 0) == 0;
        failed += r.find("550 no such user") != std::string::npos;
    }
    EXPECT_EQ(sent, 1);
    EXPECT_EQ(failed, 1);

    recorder.PortSMTP = sink.Port();
    Clock(At(2026, 12, 8, 0, 0, 0));
    dailyRun->TimerTimer();
    EXPECT_EQ(Count(sink), 2);
}

// A dialled number beyond 64 bits makes the totals query of its owner fail on the server: that
// owner is reported and the run goes on with the others, the daily message and the alarm.
TEST_F(DailyRunTest, OwnerWhoseTotalsFailIsReportedAndTheRunGoesOn) {
    Db().Begin();
    AddUser(101, "First", "first@office.test", 1);
    AddUser(201, "Broken", "broken@office.test", 1);
    AddUser(102, "Second", "second@office.test", 1);
    AddRing(101, "0495123", At(2026, 12, 6, 9, 0, 0), 0, 1, 0);
    AddRing(201, "9223372036854775808", At(2026, 12, 6, 9, 30, 0), 0, 2, 0);
    AddRing(102, "0", At(2026, 12, 6, 10, 0, 0), 0, 3, 0);
    Db().Commit();
    recorder.SendMail = true;
    recorder.NeedARight = true;
    recorder.NeedSilenc = true;
    recorder.LastRingDate = Day(2026, 12, 1);

    EXPECT_NO_THROW(dailyRun->TimerTimer());

    std::set<std::string> subjects;
    for (int n = 1; n <= Count(sink); ++n) {
        const std::string env = sink.Envelope(n);
        subjects.insert(env.substr(env.find('\n') + 1) + HeaderOf(sink.Data(n), "Subject"));
    }
    EXPECT_EQ(subjects,
              (std::set<std::string>{"first@office.test\n" + recorder.SubjSendM,
                                     "second@office.test\n" + recorder.SubjSendM,
                                     "admin@office.test\nDaily", "admin@office.test\nSilence"}));
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports.count("sent first@office.test"), 1u);
    EXPECT_EQ(reports.count("sent second@office.test"), 1u);
    int failed = 0;
    for (const auto& r : reports) failed += r.rfind("failed 201: ", 0) == 0 && r.size() > 12;
    EXPECT_EQ(failed, 1) << *reports.begin();
    EXPECT_TRUE(recorder.SendMail);
    EXPECT_TRUE(recorder.NeedARight);
    EXPECT_FALSE(Db().CallDb().DbTransaction.InTransaction());
    EXPECT_EQ(storage.Resumed, 1);
    EXPECT_EQ(recorder.LastRunDate, Day(2026, 12, 7));
}

// The mails go out while storing is held (the record path and the run share the transaction),
// and storing resumes after them also when the statistics fail.
class HeldStorageTest : public DailyRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HeldStorageTest, MailsGoOutWhileStoringIsHeld) {
    const bool statisticsFail = GetParam();
    recorder.NeedARight = true;
    recorder.SendMail = statisticsFail;
    if (statisticsFail) Db().CallDb().Disconnect();
    if (statisticsFail)
        EXPECT_ANY_THROW(dailyRun->TimerTimer());
    else
        dailyRun->TimerTimer();
    EXPECT_EQ(storage.Held, 1);
    EXPECT_EQ(storage.Resumed, 1);
    EXPECT_FALSE(storage.HeldNow);
    // Held before the daily message went out, resumed after it (no mail after a failure).
    EXPECT_EQ(storage.MailsAt, (std::vector<int>{0, statisticsFail ? 0 : 1}));
}

INSTANTIATE_TEST_SUITE_P(Statistics, HeldStorageTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Failing" : "Fine"; });

TEST_F(DailyRunTest, SilentServerEndsTheMailAfterTheTimeOutAndCaptureResumes) {
    EXPECT_EQ(smtp.TimeOut(), TDailyRun::kMailTimeOut);
    EXPECT_EQ(TSmtpClient().TimeOut(), 0);
    ScriptedServer server(Script{{"pause", "30000"}});
    recorder.PortSMTP = server.Port();
    smtp.SetTimeOut(300);
    Db().Begin();
    AddUser(101, "First", "first@office.test", 1);
    Db().Commit();
    recorder.SendMail = true;
    recorder.NeedARight = true;
    const auto start = std::chrono::steady_clock::now();
    dailyRun->TimerTimer();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_TRUE(recorder.SendMail);
    EXPECT_TRUE(recorder.NeedARight);
    EXPECT_EQ(storage.Resumed, 1);
    EXPECT_EQ(storage.Timer.back(), true);
    EXPECT_EQ(recorder.LastRunDate, Day(2026, 12, 7));
}

TEST_F(DailyRunTest, DatabaseFailureIsRaisedAfterCaptureResumes) {
    recorder.SendMail = true;
    recorder.NeedARight = true;
    Db().CallDb().Disconnect();
    EXPECT_ANY_THROW(dailyRun->TimerTimer());
    EXPECT_EQ(storage.Held, 1);
    EXPECT_EQ(storage.Resumed, 1);
    EXPECT_EQ(storage.Timer, (std::vector<bool>{false, true}));
    EXPECT_EQ(recorder.LastRunDate, Day(2026, 12, 7));
    // The run stops at the failure: no daily message.
    EXPECT_EQ(Count(sink), 0);
    // Not retried on the next tick of the same date.
    dailyRun->TimerTimer();
    EXPECT_EQ(storage.Held, 1);
}

// ---- mail through today's servers, and failures that are seen and retried --------------------

// The whole statistics message as it arrives, header block and all.
std::string StatisticsMessage(const std::string& subject, const std::string& to,
                              const std::string& body) {
    return "From: <station@office.test>\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n\r\n\r\n" +
           body;
}

TEST_F(DailyRunTest, StatisticsMailArrivesThroughStartTlsAndALoginByteForByte) {
    const TestCertificates& certs = TestCertificates::Get();
    ASSERT_TRUE(certs.Ok());
    SinkServer submission({"--mode", "starttls", "--cert", QString::fromStdString(certs.Server()),
                           "--key", QString::fromStdString(certs.Key()), "--user", "station",
                           "--password", "s3cret"});
    ASSERT_NE(submission.Port(), 0);
    Db().Begin();
    AddUser(101, Utf8ToAnsi("Иванов Иван"), "ivanov@office.test", 1);
    AddRing(101, "0", At(2026, 12, 6, 9, 0, 0), 1, 2, 3);
    Db().Commit();
    recorder.SendMail = true;
    recorder.AddrSMTP = "localhost";
    recorder.PortSMTP = submission.Port();
    recorder.Mail.Security = TMailSecurity::StartTls;
    recorder.Mail.User = "station";
    recorder.Mail.Password = "s3cret";

    dailyRun->TimerTimer();

    EXPECT_EQ(reports, std::set<std::string>{"sent ivanov@office.test"});
    EXPECT_EQ(submission.AuthLog(), "PLAIN station ok\n");
    EXPECT_EQ(submission.Data(1), StatisticsMessage(recorder.SubjSendM, "ivanov@office.test",
                                                    Expected("Иванов Иван", " 1 ч. 2 мин. 3 сек.",
                                                             " 0 ч. 0 мин. 0 сек.")));
    EXPECT_TRUE(events.empty());
}

// The station's run queues its mails and returns; the outbox's sender delivers them, one at a
// time on a thread of its own, in the order they were queued.
class OutboxRunTest : public DailyRunTest {
protected:
    void SetUp() override {
        DailyRunTest::SetUp();
        dailyRun->Outbox = &outbox;
        sender.Server = [this] {
            return TMailServer{recorder.AddrSMTP, recorder.PortSMTP, recorder.Mail, 5000};
        };
        sender.OnReport = [this](const TOutboxReport& r) {
            if (const std::string text = OutboxReportText(r); !text.empty()) events.push_back(text);
        };
    }
    std::vector<std::string> Queued() const { return outbox.Names(); }
    // One tick of the station's timer, and the session it starts, to its end.
    void Tick() {
        sender.Tick();
        EXPECT_TRUE(PumpUntil([this] { return !sender.Busy(); }, 15000));
    }
    TempDir station;
    TOutbox outbox{station.file("outbox/")};
    TOutboxSender sender{outbox};
};

TEST_F(OutboxRunTest, RunQueuesEveryMailAndReturnsWithoutWaitingForTheServer) {
    ScriptedServer silent(Script{{"pause", "30000"}});
    recorder.PortSMTP = silent.Port();
    Db().Begin();
    AddUser(101, "First", "first@office.test", 1);
    AddUser(102, "Second", "second@office.test", 1);
    Db().Commit();
    recorder.SendMail = true;
    recorder.NeedARight = true;
    const auto start = std::chrono::steady_clock::now();
    dailyRun->TimerTimer();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const std::vector<std::string> names = Queued();
    ASSERT_EQ(names.size(), 3u);
    // Queued in the run's order: the statistics first, then the daily message.
    EXPECT_EQ(outbox.Read(names[2])->Envelope.Recipients,
              std::vector<std::string>{"admin@office.test"});
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(storage.Resumed, 1);
}

TEST_F(OutboxRunTest, FailureIsLoggedWithTheReplyAndTheMailGoesWhenTheServerAnswers) {
    ScriptedServer server(Greeting() +
                          Script{{"recv", ""},
                                 {"send", "250 reset\r\n"},
                                 {"recv", ""},
                                 {"send", "451 4.3.0 try later\r\n"}} +
                          Quit());
    recorder.PortSMTP = server.Port();
    recorder.NeedARight = true;
    dailyRun->TimerTimer();
    ASSERT_EQ(Queued().size(), 1u);
    const std::string name = Queued()[0];
    Tick();

    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(
        events[0].rfind(
            Utf8ToAnsi("Письмо для admin@office.test не отправлено: сервер отказал: "
                       "451 4.3.0 try later. Повтор каждые 10 минут в течение суток (outbox/"),
            0),
        0u)
        << platform::AnsiToUtf8(events[0]);
    EXPECT_NE(events[0].find(name), std::string::npos);
    EXPECT_EQ(Queued(), std::vector<std::string>{name});
    EXPECT_TRUE(recorder.NeedARight);

    recorder.PortSMTP = sink.Port();
    Clock(At(2026, 12, 7, 0, 10, 2));
    Tick();
    ASSERT_EQ(Count(sink), 1);
    EXPECT_EQ(BodyOf(sink.Data(1)), Utf8ToAnsi("Станция работает\r\n"));
    EXPECT_TRUE(Queued().empty());
}

TEST_F(OutboxRunTest, ConnectionDroppedInTheDataIsRetriedAfterTenMinutesByteForByte) {
    Db().Begin();
    AddUser(101, "Ivanov", "ivanov@office.test", 1);
    AddRing(101, "0495", At(2026, 12, 6, 9, 0, 0), 0, 0, 42);
    Db().Commit();
    recorder.SendMail = true;
    ScriptedServer server(
        Greeting() + SenderAndRecipients("250 ok\r\n", 1, "250 ok\r\n") +
        Script{{"recv", ""}, {"send", "354 go ahead\r\n"}, {"recv", ""}, {"close", ""}});
    recorder.PortSMTP = server.Port();
    dailyRun->TimerTimer();
    EXPECT_EQ(reports, std::set<std::string>{"sent ivanov@office.test"});  // handed over
    Tick();
    ASSERT_EQ(Queued().size(), 1u);
    ASSERT_EQ(events.size(), 1u);

    // The server is back; nothing is sent again before ten minutes have passed.
    recorder.PortSMTP = sink.Port();
    Clock(At(2026, 12, 7, 0, 5, 0));
    Tick();
    EXPECT_EQ(Count(sink), 0);
    Clock(At(2026, 12, 7, 0, 10, 2));
    Tick();
    ASSERT_EQ(Count(sink), 1);
    EXPECT_EQ(sink.Data(1),
              StatisticsMessage(recorder.SubjSendM, "ivanov@office.test",
                                Utf8ToAnsi("Здравствуйте, Ivanov\r\n\r\nСтатистика за 06.12.2026, "
                                           "Воскресенье\r\nВходящие  : 0 ч. 0 мин. 0 сек.\r\n"
                                           "Исходящие : 0 ч. 0 мин. 42 сек.\r\n\r\n--\r\n"
                                           "Телефонная станция\r\n")));
    EXPECT_EQ(sink.Envelope(1), "station@office.test\nivanov@office.test\n");
    EXPECT_TRUE(Queued().empty());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].rfind(Utf8ToAnsi("Письмо для ivanov@office.test отправлено повторно"), 0),
              0u)
        << platform::AnsiToUtf8(events[1]);
    EXPECT_EQ(storage.Held, 1);

    Clock(At(2026, 12, 7, 0, 30, 0));
    Tick();
    EXPECT_EQ(Count(sink), 1);  // delivered once
}

TEST_F(OutboxRunTest, MailThatNeverGetsThroughIsDroppedAfterADayWithALogLine) {
    ScriptedServer refusing(Script{{"refuse", ""}});
    recorder.PortSMTP = refusing.Port();
    recorder.NeedARight = true;
    dailyRun->TimerTimer();
    ASSERT_EQ(Queued().size(), 1u);
    const std::string name = Queued()[0];
    for (int minutes = 0; minutes < 24 * 60; minutes += 10) {
        Clock(At(2026, 12, 7, minutes / 60, minutes % 60, 30));
        Tick();
    }
    // The same refusal on every retry is logged once: when the mail first failed.
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(Queued().size(), 1u);
    Clock(At(2026, 12, 8, 0, 1, 31));
    Tick();
    EXPECT_TRUE(Queued().empty());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], Utf8ToAnsi("Письмо для admin@office.test не отправлено за сутки и удалено "
                                    "из очереди (outbox/") +
                             name + Utf8ToAnsi("): сервер отказал в соединении"));
}

TEST_F(OutboxRunTest, UnusableMailSettingsFailTheMailWithTheirReason) {
    recorder.NeedARight = true;
    recorder.Mail.Problem = "mail.ini: Security=ssl is not none, starttls or tls";
    dailyRun->TimerTimer();
    Tick();
    EXPECT_EQ(Count(sink), 0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].find("mail.ini: Security=ssl is not none, starttls or tls"),
              std::string::npos);
    EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(DailyRunTest, WithoutAnOutboxAFailureIsStillLogged) {
    ScriptedServer refusing(Script{{"refuse", ""}});
    recorder.PortSMTP = refusing.Port();
    recorder.NeedARight = true;
    dailyRun->TimerTimer();
    EXPECT_EQ(events,
              std::vector<std::string>{Utf8ToAnsi("Письмо для admin@office.test не "
                                                  "отправлено: сервер отказал в соединении")});
}

struct DurationCase {
    const char* name;
    int32_t seconds;
    const char* text;
};

class DurationTest : public ::testing::TestWithParam<DurationCase> {};

TEST_P(DurationTest, HoursMinutesSeconds) {
    EXPECT_EQ(TDailyRun::FormatDuration(GetParam().seconds), Utf8ToAnsi(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Seconds, DurationTest,
    ::testing::Values(DurationCase{"Zero", 0, " 0 ч. 0 мин. 0 сек."},
                      DurationCase{"UnderAMinute", 59, " 0 ч. 0 мин. 59 сек."},
                      DurationCase{"HourMinuteAndSecond", 3723, " 1 ч. 2 мин. 3 сек."},
                      DurationCase{"UnderADay", 86399, " 23 ч. 59 мин. 59 сек."},
                      DurationCase{"HundredHours", 360000, " 100 ч. 0 мин. 0 сек."}),
    CaseName());

TEST(DayNameTest, SundayFirst) {
    EXPECT_EQ(DayName(Day(2026, 12, 6)), Utf8ToAnsi("Воскресенье"));
    EXPECT_EQ(DayName(Day(2026, 12, 7)), Utf8ToAnsi("Понедельник"));
    EXPECT_EQ(DayName(Day(2026, 12, 12)), Utf8ToAnsi("Суббота"));
}

TEST(OwnerNumberTest, OnlyPlainIntegersReachTheStatement) {
    for (const char* ok : {"0", "101", "-5", "2147483647"}) EXPECT_TRUE(IsPlainInteger(ok)) << ok;
    for (const char* bad : {"", "-", "1 OR 1=1", "101;", "0x10", "1.5", " 101", "12345678901"})
        EXPECT_FALSE(IsPlainInteger(bad)) << bad;
}

// The administrators' resend of one day, as a process against a staged station directory.
class DailyToolTest : public DailyRunTest {
protected:
    int Run(const std::vector<std::string>& fields, const std::string& day, std::string& out) {
        stage::TStationFiles files;
        files.Dir = station.path();
        files.PortName = "/dev/null";
        for (size_t i = 0; i + 1 < fields.size(); i += 2) files.Fields[fields[i]] = fields[i + 1];
        std::string what;
        if (!stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) {
            out = what;
            return -1;
        }
        QProcess p;
        p.start(TARVICK_TOOL, {"daily", QString::fromStdString(station.path()), "--day",
                               QString::fromStdString(day)});
        p.waitForFinished(60000);
        out = p.readAllStandardOutput().toStdString();
        return p.exitCode();
    }
    TempDir station;
};

TEST_F(DailyToolTest, ResendsTheDayAndReportsEachOwner) {
    Db().Begin();
    AddUser(101, "Ivanov", "ivanov@office.test", 1);
    AddUser(104, "No address", "", 1);
    AddRing(101, "0", At(2026, 3, 2, 9, 0, 0), 0, 0, 42);
    Db().Commit();
    std::string out;
    ASSERT_EQ(Run({"DBPath", Db().Path(), "AddrSMTP", "127.0.0.1", "PortSMTP",
                   std::to_string(sink.Port()), "FromSMTP", "station@office.test", "SubjSendM",
                   "Stats", "MsgFooter", "", "SendMail", "F"},
                  "2026-03-02", out),
              0)
        << out;
    std::vector<std::string> lines = TextToLines(out);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"sent ivanov@office.test", "skipped 104"}));
    ASSERT_EQ(Count(sink), 1);
    EXPECT_EQ(BodyOf(sink.Data(1)),
              Utf8ToAnsi("Здравствуйте, Ivanov\r\n\r\nСтатистика за 02.03.2026, Понедельник\r\n"
                         "Входящие  : 0 ч. 0 мин. 42 сек.\r\nИсходящие : 0 ч. 0 мин. 0 сек.\r\n"
                         "\r\n"));
}

TEST_F(DailyToolTest, MailIniOfTheStationIsUsed) {
    const TestCertificates& certs = TestCertificates::Get();
    ASSERT_TRUE(certs.Ok());
    SinkServer submission({"--mode", "tls", "--cert", QString::fromStdString(certs.SelfSigned()),
                           "--key", QString::fromStdString(KeyOf(certs.SelfSigned())), "--user",
                           "station", "--password", "s3cret", "--no-plain"});
    WriteBytes(station.file("mail.ini"),
               "[SMTP]\r\nSecurity=tls\r\nUser=station\r\n"
               "Password=s3cret\r\nFingerprint=" +
                   certs.SelfSignedFingerprint() + "\r\n");
    Db().Begin();
    AddUser(101, "Ivanov", "ivanov@office.test", 1);
    Db().Commit();
    std::string out;
    ASSERT_EQ(Run({"DBPath", Db().Path(), "AddrSMTP", "127.0.0.1", "PortSMTP",
                   std::to_string(submission.Port()), "FromSMTP", "station@office.test",
                   "SubjSendM", "Stats", "MsgFooter", ""},
                  "2026-03-02", out),
              0)
        << out;
    EXPECT_EQ(out, "sent ivanov@office.test\n");
    EXPECT_EQ(submission.AuthLog(), "LOGIN station ok\n");
    EXPECT_EQ(Count(submission), 1);
}

TEST_F(DailyToolTest, DatabaseFailureExitsWithOne) {
    std::string out;
    EXPECT_EQ(Run({"DBPath", station.file("missing.fdb")}, "2026-03-02", out), 1) << out;
    EXPECT_EQ(Run({"DBPath", Db().Path()}, "2026-02-30", out), 2) << out;
}

}  // namespace

namespace {

class TTickView : public TCaptureView {
public:
    void LogLine(const std::string&) override {}
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    void LogEvent(const std::string& text) override { Events.push_back(text); }
    void SetTimerEnabled(bool on) override { Timer.push_back(on); }
    void ShowStatus(const std::string&) override {}
    void CaptureStateChanged() override {}
    void Post(std::function<void()> fn) override { fn(); }
    void PostDelayed(int, std::function<void()>) override {}
    std::vector<std::string> Messages, Events;
    std::vector<bool> Timer;
};

// The holder a station's control makes: the fixture's settings and dates, with one switch on.
THolderFactory StationHolder(const TRecorder& settings, bool TSettings::*on) {
    return [&settings, on] {
        auto holder = std::make_unique<TRecorder>();
        static_cast<TSettings&>(*holder) = settings;
        holder->LastRunDate = settings.LastRunDate;
        holder->LastRingDate = settings.LastRingDate;
        (*holder).*on = true;
        return holder;
    };
}

// The station's own daily run: the capture control's holder, port and timer, the data module's
// database, one run per date however many ticks arrive.
TEST_F(DailyRunTest, StationsDailyRunPausesTheirPortOncePerDate) {
    TTestPort stationPort;
    TTestDatabase stationDb;
    TTickView view;
    TCaptureControl control(stationPort, stationDb, view,
                            StationHolder(recorder, &TSettings::NeedARight));
    control.CreateHolder();
    stationPort.Open();
    const auto run = DailyRunOf(control, smtp);
    for (int s = 1; s < 4; ++s) {
        Clock(At(2026, 12, 7, 0, 0, s));
        control.TimerTick(run);
    }
    EXPECT_EQ(Count(sink), 1);
    EXPECT_EQ(HeaderOf(sink.Data(1), "Subject"), "Daily");
    EXPECT_EQ(stationPort.Closes, 1);
    EXPECT_EQ(stationPort.Opens, 2);
    EXPECT_TRUE(stationPort.Connected());
    EXPECT_EQ(view.Timer, (std::vector<bool>{false, true}));
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_EQ(control.Recorder()->LastRunDate, Day(2026, 12, 7));

    control.Shutdown(nullptr);  // no holder left: a late tick does nothing
    Clock(At(2026, 12, 8, 0, 0, 1));
    run();
    EXPECT_EQ(Count(sink), 1);
}

// The run asks for the summaries' totals; they are added up on a thread of the station's own and
// the log says so at a later tick.
TEST_F(DailyRunTest, StationsDailyRunAddsUpTheTotalsBesideIt) {
    // The database is shared with the other tests, which count their calls afresh.
    struct TClean {
        ~TClean() {
            Db().Begin();
            for (const char* t :
                 {"RingTotals", "RingTotalDays", "RingTotalState", "RingTotalStale"})
                Db().Exec(std::string("DELETE FROM ") + t);
            Db().Commit();
        }
    } after;
    { TClean now; }
    Db().Begin();
    AddRing(201, "84951234567", At(2026, 12, 5, 9, 30, 0), 0, 2, 0);
    AddRing(201, "0", At(2026, 12, 6, 10, 0, 0), 0, 1, 0);
    Db().Commit();
    recorder.DBPath = Db().Path();
    TTestPort stationPort;
    TTestDatabase stationDb;
    TTickView view;
    TCaptureControl control(stationPort, stationDb, view,
                            StationHolder(recorder, &TSettings::NeedARight));
    control.CreateHolder();
    stationPort.Open();
    const auto run = DailyRunOf(control, smtp);
    std::string said;
    for (int i = 0; i < 600 && said.empty(); ++i) {
        control.TimerTick(run);
        for (const std::string& e : view.Events)
            if (e.find(Utf8ToAnsi("Итоги для отчётов")) != std::string::npos) said = e;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(said.empty());
    EXPECT_NE(said.find("days=2 "), std::string::npos) << said;
    EXPECT_EQ(Count(sink), 1);  // the run itself went on as ever
    control.Shutdown(nullptr);
}

// Nobody reads the owner reports of the station's own run: its log tells of the owner left out.
TEST_F(DailyRunTest, StationsLogTellsOfTheOwnerWhoseTotalsFailed) {
    Db().Begin();
    AddUser(201, "Broken", "broken@office.test", 1);
    AddUser(101, "First", "first@office.test", 1);
    AddRing(201, "123456789012345678901234", At(2026, 12, 6, 9, 30, 0), 0, 2, 0);
    Db().Commit();
    TTestPort stationPort;
    TTestDatabase stationDb;
    TTickView view;
    TCaptureControl control(stationPort, stationDb, view,
                            StationHolder(recorder, &TSettings::SendMail));
    control.CreateHolder();
    control.TimerTick(DailyRunOf(control, smtp));
    EXPECT_EQ(Count(sink), 1);
    ASSERT_EQ(view.Events.size(), 1u);
    EXPECT_NE(view.Events[0].find("201"), std::string::npos) << view.Events[0];
    EXPECT_TRUE(view.Messages.empty());
}

}  // namespace

namespace {

// The station's own timer: the daily message is queued in the station directory's outbox, a
// failure of its sender is shown in the view's log, and a later tick delivers it with the port
// left open.
TEST_F(DailyRunTest, StationRetriesFromItsTimerAndLogsToItsView) {
    TempDir station;
    ScriptedServer refusing(Script{{"refuse", ""}});
    TTestPort stationPort;
    TTestDatabase stationDb;
    TTickView view;
    TCaptureControl control(stationPort, stationDb, view, [&] {
        auto holder = std::make_unique<TRecorder>();
        static_cast<TSettings&>(*holder) = recorder;
        holder->ProgramDir = station.path();
        holder->LastRunDate = recorder.LastRunDate;
        holder->LastRingDate = recorder.LastRingDate;
        holder->NeedARight = true;
        holder->PortSMTP = refusing.Port();
        return holder;
    });
    control.CreateHolder();
    stationPort.Open();
    TStationWatch watch(control, station.path());
    const auto run = DailyRunOf(control, smtp, &watch.Outbox());
    auto send = [&] {
        watch.Sender().Tick();
        return PumpUntil([&] { return !watch.Sender().Busy(); }, 10000);
    };
    Clock(At(2026, 12, 7, 0, 0, 1));
    control.TimerTick(run);
    TOutbox outbox(station.file("outbox/"));
    ASSERT_EQ(outbox.Names().size(), 1u);
    EXPECT_TRUE(view.Events.empty());
    ASSERT_TRUE(send());
    ASSERT_EQ(view.Events.size(), 1u);
    EXPECT_NE(view.Events[0].find(Utf8ToAnsi("сервер отказал в соединении")), std::string::npos);

    control.Recorder()->PortSMTP = sink.Port();
    Clock(At(2026, 12, 7, 0, 10, 2));
    ASSERT_TRUE(send());
    ASSERT_EQ(Count(sink), 1);
    EXPECT_EQ(HeaderOf(sink.Data(1), "Subject"), "Daily");
    EXPECT_TRUE(outbox.Names().empty());
    ASSERT_EQ(view.Events.size(), 2u);
    EXPECT_EQ(stationPort.Closes, 1);  // the daily run's only
    EXPECT_TRUE(stationPort.Connected());
    EXPECT_TRUE(control.Recorder()->NeedARight);
    EXPECT_EQ(watch.Status().Counters.MailsSent, 1);
    EXPECT_EQ(watch.Status().Counters.MailsFailed, 1);
}

}  // namespace

namespace {

// A front end on the Qt event loop that the mail client's waits serve.
// A real station (its port on a pseudo-terminal, its journal in dir, the call database) whose
// daily message goes to the mail server on mailPort.
struct TRealStation {
    TRealStation(const TSettings& settings, const std::string& dbPath, int mailPort,
                 const std::string& dir)
        : control(port, db, view, [=] {
              auto holder = std::make_unique<TRecorder>();
              static_cast<TSettings&>(*holder) = settings;
              holder->ConfigLoaded = ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS",
                                                      holder->TemplateComment, holder->Columns());
              holder->DBPath = dbPath;
              holder->ProgramDir = dir;
              holder->IncomLog = true;
              holder->NeedARight = true;
              holder->PortSMTP = mailPort;
              return holder;
          }) {
        port.ComPort().SetPort(pty.Path());
        port.ComPort().SetBaudRate(br115200);
        port.ComPort().OnAfterClose = [this](TCustomSerialPort&) { ++closes; };
        port.ComPort().OnRxChar = [this](TCustomSerialPort&, int count) { control.RxChar(count); };
    }
    ~TRealStation() {
        control.Shutdown(nullptr);
        PumpUntil([] { return false; }, 100);
        port.ComPort().OnRxChar = nullptr;
        port.ComPort().OnAfterClose = nullptr;
    }
    // Capture running with its database, the last run on 6 December.
    bool Start(const std::string& dir) {
        if (!pty.Ok() || !control.CreateHolder() || !control.UseJournal(dir + "journal"))
            return false;
        control.StartStop(false);
        if (!PumpUntil([&] { return control.DatabaseAvailable(); })) return false;
        control.Recorder()->LastRunDate = Day(2026, 12, 6);
        return true;
    }

    TPty pty;
    TStationPort port;
    TStationDatabase db;
    TQueuedView view;
    TCaptureControl control;
    int closes = 0;
};

// The daily run waits for a mail server that accepts and never answers, while the exchange
// goes on printing calls: the port stays open, and every line is stored right after the run.
TEST_F(DailyRunTest, LinesArrivingWhileTheMailServerNeverAnswersAreAllStored) {
    ScriptedServer silent(Script{{"pause", "30000"}});
    TempDir dir;
    TRealStation station(recorder, Db().Path(), silent.Port(), dir.path());
    ASSERT_TRUE(station.Start(dir.path()));
    TCaptureControl& control = station.control;

    constexpr int kLines = 20;
    std::thread exchange([&] {
        for (int i = 0; i < kLines; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "06/12/26 23:59:%02d 01 201 00:00:30 8495%07d\r\n", i,
                          i);
            station.pty.Send(line);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    TDailyRun run(*control.Recorder(), *CallDatabase, smtp, control.DailyRunHooks());
    smtp.SetTimeOut(4000);
    control.TimerTick([&] { run.TimerTimer(); });
    exchange.join();
    // The mail failed on the time-out and waits in the outbox; the setting stays.
    EXPECT_TRUE(control.Recorder()->NeedARight);
    EXPECT_FALSE(station.view.Events.empty());
    EXPECT_EQ(station.view.Lines.size(), static_cast<size_t>(kLines));
    EXPECT_EQ(station.closes, 0);
    EXPECT_TRUE(station.port.Connected());
    int64_t rows = 0;
    EXPECT_TRUE(PumpUntil(
        [&] {
            rows = QueryInt(*CallDatabase, "select count(*) from Rings");
            return rows == kLines;
        },
        10000))
        << rows;
}

// The station's run queues its mails and returns at once, even with a mail server that accepts
// and never answers; the station told to end (its exit, SIGTERM) while the sender waits for that
// server ends at once, and the mails wait in the outbox for the next start.
TEST_F(DailyRunTest, AShutdownDuringTheMailWaitEndsItAndKeepsTheMailsInTheOutbox) {
    ScriptedServer silent(Script{{"pause", "30000"}});
    TempDir dir;
    recorder.NeedSilenc = true;
    recorder.DaysSilenc = 0;
    auto station = std::make_unique<TRealStation>(recorder, Db().Path(), silent.Port(), dir.path());
    ASSERT_TRUE(station->Start(dir.path()));
    TCaptureControl& control = station->control;
    control.Recorder()->LastRingDate = Day(2026, 12, 1);
    auto watch = std::make_unique<TStationWatch>(control, dir.path());

    const auto start = std::chrono::steady_clock::now();
    control.TimerTick(DailyRunOf(control, smtp, &watch->Outbox()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    watch->Sender().Tick();
    EXPECT_TRUE(watch->Sender().Busy());
    PumpUntil([] { return false; }, 300);

    bool ended = false;
    control.Shutdown([&] { ended = true; });
    ASSERT_TRUE(PumpUntil([&] { return ended; }, 5000));
    watch.reset();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), TDailyRun::kMailTimeOut / 1000.0 / 2);
    EXPECT_FALSE(station->port.Connected());
    EXPECT_EQ(TOutbox(dir.path() + "outbox/").Names().size(), 2u);
}

}  // namespace
