#pragma once
// A station at work while its mail server accepts and never answers: the exchange prints lines
// at a steady rate, the daily run queues a statistics mail for each of many owners, and the
// outbox's sender waits on the silent server; then the server answers. Shared by the test
// (every line stored, every mail delivered) and the bench (how long each line waited).
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "station/Controller.h"
#include "station/Station.h"
#include "station/StationWatch.h"
#include "tests/common/Process.h"
#include "tests/common/TempDir.h"
#include "tests/mail/Servers.h"
#include "tests/serial/Pump.h"
#include "tests/station/Pty.h"
#include "tests/station/QueuedView.h"
#include "tests/station/StationStage.h"

namespace busy {

struct TOptions {
    int Owners = 50;
    int LinesPerSecond = 10;
    int Seconds = 12;
    int MailTimeOutMs = 3000;  // the silent server holds each session this long
};

struct TResult {
    std::string Failure;          // why the run could not be made; empty when it was
    std::vector<double> DelayMs;  // from each line's sending to its row being stored
    int64_t Stored = 0;
    int Lines = 0;
    int MailsQueued = 0;
    int MailsDelivered = 0;
    int SilentAttempts = 0;  // failures told (a reason told once)
};

inline std::string Line(int n) {
    char line[64];
    std::snprintf(line, sizeof line, "07/12/26 %02d:%02d:%02d 01 %3d 00:00:30 8495%07d\r\n",
                  n / 3600 % 24, n / 60 % 60, n % 60, 101 + n % 50, n);
    return line;
}

inline TResult Run(const TOptions& o) {
    using Clock = std::chrono::steady_clock;
    TResult result;
    TempDir dir;
    PrepareFirebirdEnvironment(dir.path());
    const std::string db = dir.file("calls.fdb");
    if (!stage::CreateDatabase(TARVICK_SOURCE_DIR, db)) return {"no database"};
    {
        std::string sql =
            "SET TERM ^ ;\nEXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN\n"
            "  WHILE (i < " +
            std::to_string(o.Owners) +
            ") DO BEGIN\n"
            "    INSERT INTO Users (NumberIN, FIO, EMail, SendMail)\n"
            "      VALUES (101 + :i, 'Owner ' || :i, 'owner' || :i || "
            "'@office.test', 1);\n"
            "    i = i + 1; END END^\nSET TERM ; ^\nCOMMIT;\n";
        WriteBytes(dir.file("owners.sql"), sql);
        const std::string src = TARVICK_SOURCE_DIR;
        process::Capture(
            "TARVICK_FIREBIRD_DIR='" + src + "/data/firebird' . '" + src +
            "/data/firebird/env.sh' && isql-fb -q -user SYSDBA -password quillfern -i '" +
            dir.file("owners.sql") + "' '" + db + "' 2>&1");
    }
    ScriptedServer silent(Script{{"pause", "600000"}});
    SinkServer sink;
    TPty pty;
    if (silent.Port() <= 0 || sink.Port() <= 0 || !pty.Ok()) return {"no servers or terminal"};

    // The station's clock runs with the real one; the test moves it on to pass the retry pause.
    std::atomic<double> offset{0};
    SetClock([&offset] {
        const auto t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        std::tm tm{};
        localtime_r(&t, &tm);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count() %
                        1000;
        return EncodeDateTimeOrZero(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                    tm.tm_min, tm.tm_sec) +
               ms / 86400000.0 + offset.load();
    });
    struct Restore {
        ~Restore() { SetClock(nullptr); }
    } restore;

    TCallDatabase module;
    TStationPort port;
    TStationDatabase database;
    TQueuedView view;
    const std::string stationDir = dir.path();
    TCaptureControl control(port, database, view, [&] {
        auto holder = std::make_unique<TRecorder>();
        holder->ConfigLoaded = ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS",
                                                holder->TemplateComment, holder->Columns());
        holder->DBPath = db;
        holder->ProgramDir = stationDir;
        holder->IncomLog = true;
        holder->SendMail = true;
        holder->NeedARight = true;
        holder->AddrSMTP = "127.0.0.1";
        holder->PortSMTP = silent.Port();
        holder->FromSMTP = "station@office.test";
        holder->MsgAddress = "admin@office.test";
        holder->SubjSendM = "Stats";
        holder->SubjARight = "Daily";
        return holder;
    });
    port.ComPort().SetPort(pty.Path());
    port.ComPort().SetBaudRate(br115200);
    port.ComPort().OnRxChar = [&](TCustomSerialPort&, int count) { control.RxChar(count); };
    struct Unhook {
        TStationPort& p;
        ~Unhook() { p.ComPort().OnRxChar = nullptr; }
    } unhook{port};
    TStationWatch watch(control, stationDir);
    watch.MailTimeOutMs = o.MailTimeOutMs;
    watch.Sender().OnReport = [&](const TOutboxReport& r) {
        if (r.Event == TOutboxEvent::Delivered) ++result.MailsDelivered;
        if (r.Event == TOutboxEvent::Failed) ++result.SilentAttempts;
    };
    if (!control.CreateHolder() || !control.UseJournal(stationDir + "journal"))
        return {"no holder or journal"};
    control.StartStop(false);
    if (!PumpUntil([&] { return control.DatabaseAvailable(); }, 10000)) return {"no database"};
    control.Recorder()->LastRunDate = Date() - 1;

    // The exchange: lines at a steady rate, each one's sending time kept.
    const int lines = o.LinesPerSecond * o.Seconds;
    std::vector<Clock::time_point> sent(lines);
    std::atomic<int> sentCount{0};
    std::thread exchange([&] {
        const auto start = Clock::now();
        for (int i = 0; i < lines; ++i) {
            std::this_thread::sleep_until(start +
                                          std::chrono::milliseconds(1000 * i / o.LinesPerSecond));
            sent[i] = Clock::now();
            sentCount = i + 1;
            pty.Send(Line(i));
        }
    });
    // Rows are stored in the order the lines came: line i is stored once the count passes i.
    std::vector<Clock::time_point> stored(lines);
    int seen = 0;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const int64_t now = control.Counters().Stored;
        for (; seen < now && seen < lines; ++seen) stored[seen] = Clock::now();
    });
    poll.start();
    // The daily run a second in: it queues and returns, and the sender meets the silent server.
    PumpUntil([] { return false; }, 1000);
    TSmtpClient smtp;
    control.TimerTick(DailyRunOf(control, smtp, &watch.Outbox()));
    result.MailsQueued = static_cast<int>(TOutbox(stationDir + "outbox/").Names().size());
    PumpUntil([&] { return seen >= lines && sentCount == lines; }, 1000 * o.Seconds + 20000);
    exchange.join();
    poll.stop();
    result.Lines = lines;
    result.Stored = control.Counters().Stored;
    for (int i = 0; i < seen; ++i)
        result.DelayMs.push_back(
            std::chrono::duration<double, std::milli>(stored[i] - sent[i]).count());

    // The server answers now; past the retry pause every mail goes, one after another.
    control.Recorder()->PortSMTP = sink.Port();
    PumpUntil([&] { return !watch.Sender().Busy(); }, o.MailTimeOutMs + 5000);
    offset = offset.load() + 11.0 / 1440;
    PumpUntil([&] { return result.MailsDelivered >= result.MailsQueued; }, 120000);
    control.Shutdown(nullptr);
    PumpUntil([] { return false; }, 100);
    return result;
}

}  // namespace busy
