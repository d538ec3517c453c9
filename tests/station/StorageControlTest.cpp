// The capture control with its journal on real files and a database that comes and goes: every
// line reaches the journal first and the database once, in order, whatever is away meanwhile.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "station/Controller.h"
#include "station/Station.h"
#include "common/DateTime.h"
#include "platform/CodePage.h"
#include "tests/common/Calls.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"
#include "tests/serial/FakeDevice.h"
#include "tests/serial/Pump.h"
#include "tests/station/StationFakes.h"

namespace {

// A front end with an event loop the test turns by hand, and a clock it moves.
class TLoopView : public TCaptureView {
public:
    void LogLine(const std::string& line) override { Lines.push_back(line); }
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    void LogEvent(const std::string& text) override { Events.push_back(text); }
    void SetTimerEnabled(bool on) override { TimerOn = on; }
    void ShowStatus(const std::string& text) override { Status = text; }
    void CaptureStateChanged() override {}
    void Post(std::function<void()> fn) override { Posted.push_back(std::move(fn)); }
    void PostDelayed(int ms, std::function<void()> fn) override {
        Delayed.push_back({ms, std::move(fn)});
    }
    void RunPosted() {
        for (int guard = 0; guard < 10000 && !Posted.empty(); ++guard) {
            auto fn = std::move(Posted.front());
            Posted.pop_front();
            fn();
        }
    }
    // The timers due after ms milliseconds, then what they posted.
    void RunDelayed(int ms) {
        auto due = std::move(Delayed);
        Delayed.clear();
        for (auto& [wait, fn] : due)
            if (wait <= ms)
                fn();
            else
                Delayed.push_back({wait, std::move(fn)});
        RunPosted();
    }
    bool EventSaid(const std::string& utf8) const {
        for (const auto& e : Events)
            if (e.find(platform::Utf8ToAnsi(utf8)) != std::string::npos) return true;
        return false;
    }

    std::vector<std::string> Lines, Messages, Events;
    std::string Status;
    bool TimerOn = false;
    std::deque<std::function<void()>> Posted;
    std::vector<std::pair<int, std::function<void()>>> Delayed;
};

THolderFactory Generic24() {
    return [] {
        auto holder = std::make_unique<TRecorder>();
        holder->ConfigLoaded = ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS",
                                                holder->TemplateComment, holder->Columns());
        holder->IncomLog = true;
        holder->DBPath = "calls.fdb";
        return holder;
    };
}

struct Station {
    explicit Station(const std::string& dir) : Control(Port, Db, View, Generic24()) {
        Port.Control = &Control;
        Control.CreateHolder();
        EXPECT_TRUE(Control.UseJournal(dir));
    }
    void Start() {
        Control.StartStop(false);
        View.RunPosted();
    }
    void Receive(const std::string& bytes) {
        Port.Waiting += bytes;
        Control.RxChar(static_cast<int>(Port.Waiting.size()));
        View.RunPosted();
    }
    void Calls(int from, int to) {
        std::string bytes;
        for (int i = from; i < to; ++i) bytes += Call(i) + "\r\n";
        Receive(bytes);
    }
    TTestPort Port;
    TTestDatabase Db;
    TLoopView View;
    TCaptureControl Control;
};

std::vector<std::string> CallsFrom(int from, int to) {
    std::vector<std::string> calls;
    for (int i = from; i < to; ++i) calls.push_back(Call(i));
    return calls;
}

std::string JournalOfToday(const std::string& dir) {
    return ReadBytes(dir + JournalFileName(Date()));
}

class StorageControl : public ::testing::Test {
protected:
    std::string Dir() const { return tmp.path() + "journal/"; }
    TempDir tmp;
};

TEST_F(StorageControl, EveryLineGoesToTheJournalAsReceivedAndToTheDatabaseOnce) {
    Station s(Dir());
    s.Start();
    s.Receive("12/04/26 09:0");
    s.Receive("2:11 01\n 201 00:02:15 84951234567\r\n" + Call(1) + "\r\n");
    EXPECT_EQ(JournalOfToday(Dir()),
              "12/04/26 09:02:11 01\n 201 00:02:15 84951234567\r\n" + Call(1) + "\r\n");
    EXPECT_EQ(s.Db.Rows,
              (std::vector<std::string>{"12/04/26 09:02:11 01 201 00:02:15 84951234567", Call(1)}));
    // Lines that arrive while the station is up to date get a transaction each.
    EXPECT_EQ(s.Db.Batches, (std::vector<size_t>{1, 1}));
    EXPECT_FALSE(s.Db.Station.empty());
    EXPECT_EQ(s.Db.Station, ReadStationId(Dir()));
    EXPECT_EQ(ReadLocalMark(Dir()), s.Db.Mark());
    EXPECT_EQ(s.Control.Waiting(), 0);
    EXPECT_EQ(s.View.Lines.size(), 2u);
}

// The database away at the start: capture goes on, the lines wait in the journal, a retry every
// ten seconds, and once it is back every line is stored once, in order.
TEST_F(StorageControl, ADatabaseAwayAtTheStartGetsTheLinesWhenItComesBack) {
    Station s(Dir());
    s.Db.Reachable = false;
    s.Start();
    EXPECT_TRUE(s.Port.Connected());
    EXPECT_EQ(s.View.Messages.size(), 1u);
    s.Calls(0, 5);
    EXPECT_TRUE(s.Db.Rows.empty());
    EXPECT_EQ(s.Control.Waiting(), 5);
    EXPECT_EQ(s.View.Status, platform::Utf8ToAnsi("база недоступна, строк ждут: 5"));
    EXPECT_TRUE(s.View.EventSaid("база недоступна"));
    ASSERT_EQ(s.View.Delayed.size(), 1u);
    EXPECT_EQ(s.View.Delayed[0].first, TCaptureControl::kDatabaseRetryMs);

    s.View.RunDelayed(10000);  // still away: tried again ten seconds later
    EXPECT_EQ(s.Db.Connects, 2);
    ASSERT_EQ(s.View.Delayed.size(), 1u);
    s.Calls(5, 7);
    s.Db.Reachable = true;
    s.View.RunDelayed(10000);
    EXPECT_EQ(s.Db.Rows, CallsFrom(0, 7));
    EXPECT_TRUE(s.View.EventSaid("база снова доступна, строк ждут: 7"));
    EXPECT_EQ(s.View.Status, "");
    EXPECT_EQ(s.Control.Waiting(), 0);
    s.Calls(7, 8);
    EXPECT_EQ(s.Db.Rows, CallsFrom(0, 8));
}

// The database fails under a running station (a commit refused, a server gone): nothing is
// lost, and a line that arrives once the retry is due tries at once.
TEST_F(StorageControl, ADatabaseFailingMidwayIsTriedAgainWhenALineArrivesAfterTheRetryIsDue) {
    TDateTime now = EncodeDateTimeOrZero(2026, 12, 9, 10, 0, 0);
    SetClock([&now] { return now; });
    {
        Station s(Dir());
        s.Start();
        s.Calls(0, 2);
        s.Db.Refuse = true;
        s.Calls(2, 4);
        EXPECT_EQ(s.Db.Rows, CallsFrom(0, 2));
        EXPECT_FALSE(s.Control.DatabaseAvailable());
        const int connects = s.Db.Connects;
        s.Db.Refuse = false;
        now += 5.0 / 86400;
        s.Calls(4, 5);  // too early for another try
        EXPECT_EQ(s.Db.Connects, connects);
        now += 6.0 / 86400;
        s.Calls(5, 6);
        EXPECT_EQ(s.Db.Connects, connects + 1);
        EXPECT_EQ(s.Db.Rows, CallsFrom(0, 6));
    }
    SetClock(nullptr);
}

// The note beside the journal is written at most every ten seconds while lines go one by one,
// but a backlog that is through leaves it at the mark, where a station starting against a
// database without this station's row goes on from.
TEST_F(StorageControl, TheNoteBesideTheJournalCatchesUpWhenABacklogIsThrough) {
    const TDateTime now = EncodeDateTimeOrZero(2026, 12, 9, 10, 0, 0);
    SetClock([now] { return now; });
    {
        Station s(Dir());
        s.Start();
        s.Calls(0, 1);
        s.Db.Refuse = true;
        s.Calls(1, 3);
        s.Db.Refuse = false;
        s.View.RunDelayed(TCaptureControl::kDatabaseRetryMs);
        EXPECT_EQ(s.Db.Rows, CallsFrom(0, 3));
        EXPECT_EQ(ReadLocalMark(Dir()), s.Db.Mark());
    }
    SetClock(nullptr);
}

// A backlog goes in batches, one per turn of the event loop; the first line after it waits for
// it and then has a transaction of its own.
TEST_F(StorageControl, ABacklogIsStoredInBatchesBeforeNewLines) {
    Station s(Dir());
    s.Db.Reachable = false;
    s.Start();
    s.Calls(0, 1200);
    s.Db.Reachable = true;
    // The retry stores one batch and posts the next; a line arrives in between and waits.
    auto retry = std::move(s.View.Delayed[0].second);
    s.View.Delayed.clear();
    retry();
    EXPECT_EQ(s.Db.Batches, (std::vector<size_t>{TCaptureControl::kBacklogBatch}));
    s.Calls(1200, 1201);
    EXPECT_EQ(s.Db.Rows, CallsFrom(0, 1201));
    EXPECT_EQ(s.Db.Batches, (std::vector<size_t>{500, 500, 201}));
    EXPECT_TRUE(s.View.EventSaid("из журнала сохранено строк: 1201"));
    s.Calls(1201, 1202);
    EXPECT_EQ(s.Db.Batches.back(), 1u);
}

// A stop with part of a line received: the fragment stays in the journal, marked, and the first
// line after the next start is stored exactly as sent.
TEST_F(StorageControl, ALineCutOffByAStopIsNotJoinedToTheNextCall) {
    Station s(Dir());
    s.Start();
    s.Receive("12/04/26 09:0");
    s.Control.StartStop(true);
    s.View.RunPosted();
    s.Start();
    s.Receive(Call(3) + "\r\n");
    EXPECT_EQ(s.Db.Rows, std::vector<std::string>{Call(3)});
    EXPECT_EQ(s.View.Lines, std::vector<std::string>{Call(3)});
    EXPECT_NE(JournalOfToday(Dir()).find("12/04/26 09:0\n*** unfinished: port closed"),
              std::string::npos);
}

// What the device holds when a stop or an exit comes is read and stored, not purged.
struct CloseCase {
    const char* name;
    bool exit;
};

class ReadBeforeClose : public StorageControl, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ReadBeforeClose, WhatTheDeviceHoldsIsStored) {
    Station s(Dir());
    s.Start();
    for (int i = 0; i < 200; ++i) s.Port.Waiting += Call(i) + "\r\n";
    s.Port.Waiting += "half a li";
    if (GetParam().exit)
        s.Control.Shutdown(nullptr);
    else
        s.Control.StartStop(true);
    s.View.RunPosted();
    EXPECT_FALSE(s.Port.Connected());
    EXPECT_EQ(s.Db.Rows, CallsFrom(0, 200));
    const std::string journal = JournalOfToday(Dir());
    EXPECT_NE(journal.find("half a li\n*** unfinished: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Requests, ReadBeforeClose,
                         ::testing::Values(CloseCase{"Stop", false}, CloseCase{"Exit", true}),
                         CaseName());

// A restart after a crash stores what the crashed run journaled and did not store, and goes on
// with the line it was killed in: the device still holds the rest of it.
TEST_F(StorageControl, ARestartStoresWhatTheRunBeforeLeft) {
    TJournalPos mark;
    const std::string cut = Call(100);
    {
        Station s(Dir());
        s.Start();
        s.Calls(0, 3);
        mark = s.Db.Mark();
        s.Db.Refuse = true;
        s.Calls(3, 6);
        s.Receive(cut.substr(0, 12));  // killed here
    }
    Station next(Dir());
    next.Db.SetMark(mark);
    next.Start();
    EXPECT_EQ(next.Db.Rows, CallsFrom(3, 6));
    next.Receive(cut.substr(12) + "\r\n");
    next.Calls(6, 7);
    EXPECT_EQ(next.Db.Rows, (std::vector<std::string>{Call(3), Call(4), Call(5), cut, Call(6)}));
}

// The daily run uses the database: the port stays open, lines that arrive meanwhile are kept
// and stored right after the run.
TEST_F(StorageControl, TheDailyRunKeepsListeningAndStoresAfterIt) {
    Station s(Dir());
    s.Start();
    const TDailyRunHooks hooks = s.Control.DailyRunHooks();
    hooks.HoldStorage();
    s.Calls(0, 3);
    EXPECT_TRUE(s.Port.Connected());
    EXPECT_TRUE(s.Db.Rows.empty());
    EXPECT_EQ(s.View.Lines.size(), 3u);
    hooks.ResumeStorage();
    EXPECT_TRUE(s.Db.Rows.empty());  // not inside the run: after it returned
    s.View.RunPosted();
    EXPECT_EQ(s.Db.Rows, CallsFrom(0, 3));
    EXPECT_EQ(s.Port.Closes, 0);
}

// A device that went away: the port is closed, opened again every five seconds under its name,
// and read on when it is back.
TEST_F(StorageControl, APortWhoseDeviceWentAwayIsOpenedAgainEveryFiveSeconds) {
    Station s(Dir());
    s.Start();
    s.Calls(0, 1);
    s.Port.Waiting = Call(1) + "\r\n";  // delivered with the hang-up
    s.Port.OnLost("I/O error");
    EXPECT_TRUE(s.Port.Connected());  // not inside the delivery
    s.View.RunPosted();
    EXPECT_FALSE(s.Port.Connected());
    EXPECT_TRUE(s.Control.Capturing());
    EXPECT_TRUE(s.View.EventSaid("порт COM1 пропал (I/O error)"));
    EXPECT_EQ(s.Db.Rows, CallsFrom(0, 2));
    s.Port.FailOpen = true;
    s.View.RunDelayed(TCaptureControl::kPortRetryMs);
    EXPECT_FALSE(s.Port.Connected());
    ASSERT_EQ(s.View.Delayed.size(), 1u);
    s.Port.FailOpen = false;
    s.View.RunDelayed(TCaptureControl::kPortRetryMs);
    EXPECT_TRUE(s.Port.Connected());
    EXPECT_TRUE(s.View.EventSaid("порт COM1 снова открыт"));
    s.Calls(2, 3);
    EXPECT_EQ(s.Db.Rows, CallsFrom(0, 3));
    // A stop while it is away ends the retries.
    s.Port.OnLost("I/O error");
    s.View.RunPosted();
    s.Control.StartStop(true);
    s.View.RunDelayed(TCaptureControl::kPortRetryMs);
    EXPECT_FALSE(s.Port.Connected());
    EXPECT_FALSE(s.Control.Capturing());
}

TEST_F(StorageControl, ALineWithoutARealDateIsRejectedInTheLog) {
    Station s(Dir());
    s.Start();
    s.Receive("31/02/26 09:02:11 01 201 00:00:10 0107\r\n" + Call(1) + "\r\n");
    EXPECT_EQ(s.Db.Rows, std::vector<std::string>{Call(1)});
    EXPECT_TRUE(s.View.EventSaid("строка отклонена"));
    EXPECT_EQ(s.Control.Waiting(), 0);
}

// The station's own port on a device that fails with EIO at the platform boundary: the error
// reaches the control through the port's events, which closes it and opens it again.
TEST_F(StorageControl, AnIOErrorOfTheDeviceClosesThePortAndItIsOpenedAgain) {
    TFakeOpener fake;
    TStationPort port;
    port.ComPort().SetPort("/dev/ttyFAKE0");
    TTestDatabase db;
    TLoopView view;
    TCaptureControl control(port, db, view, Generic24());
    control.CreateHolder();
    ASSERT_TRUE(control.UseJournal(Dir()));
    port.ComPort().OnRxChar = [&](TCustomSerialPort&, int count) { control.RxChar(count); };
    control.StartStop(false);
    view.RunPosted();
    ASSERT_TRUE(port.Connected());
    {
        std::lock_guard<std::mutex> lock(fake.line->Mutex());
        fake.line->input = Call(1) + "\r\n";
        fake.line->errors = platform::CE_IOE;
    }
    fake.line->Report(platform::EV_ERR | platform::EV_RXCHAR);
    ASSERT_TRUE(PumpUntil([&] { return !view.Posted.empty(); }));
    view.RunPosted();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(db.Rows, std::vector<std::string>{Call(1)});
    EXPECT_TRUE(view.EventSaid("порт /dev/ttyFAKE0 пропал"));
    EXPECT_EQ(fake.line->Count("open"), 1);
    view.RunDelayed(TCaptureControl::kPortRetryMs);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(fake.line->Count("open"), 2);
    EXPECT_EQ(fake.line->lastPath, "/dev/ttyFAKE0");
    control.Shutdown(nullptr);
    view.RunPosted();
    port.ComPort().OnRxChar = nullptr;
}

// A NUL from the exchange holds a column of its line: the station's port passes it on to the
// journal even where an older comport.ini asks the driver to drop such bytes.
TEST(StationPort, KeepsNulBytesWhateverComportIniSays) {
    TempDir dir;
    WriteBytes(dir.file("comport.ini"), "[ComPort]\r\nPort=COM1\r\nDiscardNull=Yes\r\n");
    TStationPort port;
    EXPECT_FALSE(port.ComPort().DiscardNull());
    port.LoadSetup(dir.path());
    EXPECT_FALSE(port.ComPort().DiscardNull());
}

}  // namespace
