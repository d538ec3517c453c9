// The capture control without a window: start and stop, the log keeper's own line, and the
// holding back of stops and exits that arrive while a receive handler runs.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "station/Controller.h"
#include "tests/common/CaseName.h"
#include "tests/station/StationFakes.h"

namespace {

// A front end whose "pending messages" are served by the test at the moment a line is logged.
class TRecordingView : public TCaptureView {
public:
    void LogLine(const std::string& line) override {
        Lines.push_back(line);
        if (DuringLine) DuringLine(Lines.size());
    }
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    void LogEvent(const std::string& text) override { Events.push_back(text); }
    void SetTimerEnabled(bool on) override { TimerOn = on; }
    void ShowStatus(const std::string& text) override { Status = text; }
    void CaptureStateChanged() override { ++StateChanges; }
    void Post(std::function<void()> fn) override { Posted.push_back(std::move(fn)); }
    void PostDelayed(int ms, std::function<void()> fn) override {
        Delayed.push_back({ms, std::move(fn)});
    }
    void RunPosted() {
        while (!Posted.empty()) {
            auto fn = std::move(Posted.front());
            Posted.pop_front();
            fn();
        }
    }

    std::vector<std::string> Lines, Messages, Events;
    std::string Status;
    std::vector<std::pair<int, std::function<void()>>> Delayed;
    bool TimerOn = false;
    int StateChanges = 0;
    std::deque<std::function<void()>> Posted;
    std::function<void(size_t)> DuringLine;
};

struct Fixture {
    explicit Fixture(THolderSetup setup = {}) : Control(Port, Db, View, HolderWith(setup)) {
        Port.Control = &Control;
        Control.CreateHolder();
    }
    void Receive(const std::string& bytes) {
        Port.Waiting += bytes;
        Control.RxChar(static_cast<int>(Port.Waiting.size()));
    }
    TTestPort Port;
    TTestDatabase Db;
    TRecordingView View;
    TCaptureControl Control;
};

TEST(CaptureControl, StartConnectsAndOpensStopDisconnectsAndCloses) {
    Fixture f({.SendMail = true});
    f.Control.Toggle();
    EXPECT_TRUE(f.Port.Connected());
    EXPECT_TRUE(f.Control.Recorder()->DBConnected);
    EXPECT_TRUE(f.View.TimerOn);
    f.Control.Toggle();
    EXPECT_FALSE(f.Port.Connected());
    EXPECT_FALSE(f.Control.Recorder()->DBConnected);
    EXPECT_FALSE(f.View.TimerOn);
    EXPECT_EQ(f.Db.Disconnects, 1);
}

TEST(CaptureControl, UnreachableDatabaseWarnsOnceAndCaptureGoesOnLoggingTheLines) {
    int stored = 0;
    Fixture f({.SendMail = true, .Stored = &stored});
    f.Db.Reachable = false;
    f.Control.StartStop(false);
    ASSERT_EQ(f.View.Messages.size(), 1u);
    EXPECT_EQ(f.View.Messages[0],
              "\xcd\xe5\xe2\xee\xe7\xec\xee\xe6\xed\xee \xee\xf2\xea\xf0\xfb\xf2\xfc \xe1\xe0\xe7"
              "\xf3 \xe4\xe0\xed\xed\xfb\xf5 !");
    EXPECT_TRUE(f.Port.Connected());
    EXPECT_FALSE(f.View.TimerOn);
    f.Receive("12/04/26 09:02:11 01 201 00:02:15 84951234567\r\n12/04/26 09:05:40 02 203\r\n");
    EXPECT_EQ(f.View.Lines,
              (std::vector<std::string>{"12/04/26 09:02:11 01 201 00:02:15 84951234567",
                                        "12/04/26 09:05:40 02 203"}));
    EXPECT_EQ(stored, 0);
    EXPECT_EQ(f.View.Messages.size(), 1u);
}

TEST(CaptureControl, LinesAreLoggedBeforeTheyAreStoredAndSplitAcrossReads) {
    int stored = 0;
    Fixture f({.Stored = &stored});
    f.View.DuringLine = [&](size_t n) { EXPECT_EQ(stored, static_cast<int>(n) - 1); };
    f.Control.StartStop(false);
    f.Receive("12/04/26 09:0");
    f.Receive("2:11 01\n 201\r");
    EXPECT_EQ(f.View.Lines, std::vector<std::string>{"12/04/26 09:02:11 01 201"});
    EXPECT_EQ(stored, 1);
}

// A network exchange's connection dropped in the middle of a line, then it sent the next one.
TEST(CaptureControl, ALineCutOffIsToldAndNeitherStoredNorJoinedToTheNext) {
    int stored = 0;
    Fixture f({.Stored = &stored});
    f.Control.StartStop(false);
    f.Receive("12/04/26 09:02:11 01 2");
    f.Control.LineCut();
    EXPECT_TRUE(f.Control.Recorder()->RingText.empty());
    f.Receive("12/04/26 09:05:40 02 203\r\n");
    f.Control.LineCut();  // between lines nothing is lost and nothing is told
    EXPECT_EQ(f.View.Lines, std::vector<std::string>{"12/04/26 09:05:40 02 203"});
    EXPECT_EQ(stored, 1);
    EXPECT_EQ(f.View.Events, std::vector<std::string>{"\xf1\xf2\xf0\xee\xea\xe0 "
                                                      "\xee\xe1\xee\xf0\xe2\xe0\xed\xe0: "
                                                      "12/04/26 09:02:11 01 2"});
}

TEST(CaptureControl, OverlongGarbageIsCappedNotGrown) {
    Fixture f;
    f.Control.StartStop(false);
    f.Receive(std::string(10000, 'x') + "\r");
    ASSERT_EQ(f.View.Lines.size(), 1u);
    EXPECT_EQ(f.View.Lines[0].size(), TRecorder::kMaxLine);
}

TEST(CaptureControl, FailedOpenLeavesTheDatabaseConnectedAndPropagates) {
    Fixture f;
    f.Port.FailOpen = true;
    EXPECT_THROW(f.Control.StartStop(false), EError);
    EXPECT_TRUE(f.Control.Recorder()->DBConnected);
    EXPECT_FALSE(f.Port.Connected());
    EXPECT_GE(f.View.StateChanges, 1);
    f.Port.FailOpen = false;
    f.Control.StartStop(false);  // a further click tries the port again
    EXPECT_TRUE(f.Port.Connected());
    EXPECT_EQ(f.Db.Connects, 1);
}

// A stop clicked, or an exit chosen, while the third line of a burst is being logged.
struct BurstCase {
    const char* name;
    bool exit;
};

class DeferredDuringBurst : public ::testing::TestWithParam<BurstCase> {};

TEST_P(DeferredDuringBurst, RunsOnlyAfterTheHandlerReturned) {
    int stored = 0;
    Fixture f({.Stored = &stored});
    f.Control.StartStop(false);
    bool finished = false;
    f.View.DuringLine = [&](size_t n) {
        if (n != 3) return;
        if (GetParam().exit)
            f.Control.Shutdown([&] { finished = true; });
        else
            f.Control.StartStop(true);
        EXPECT_TRUE(f.Port.Connected());
        EXPECT_NE(f.Control.Recorder(), nullptr);
    };
    std::string burst;
    for (int i = 0; i < 20; ++i) burst += "12/04/26 09:02:11 01 201 00:02:15 8495\r\n";
    f.Receive(burst);
    // Every line already ended by a carriage return reached the log and the assembler.
    EXPECT_EQ(f.View.Lines.size(), 20u);
    EXPECT_EQ(stored, 20);
    EXPECT_TRUE(f.Port.Connected());
    f.View.RunPosted();
    EXPECT_FALSE(f.Port.Connected());
    EXPECT_EQ(f.Port.ClosesInsideReceive, 0);
    EXPECT_EQ(f.Control.Recorder() == nullptr, GetParam().exit);
    EXPECT_EQ(finished, GetParam().exit);
    // Bytes that were still waiting reach nothing once the holder is gone.
    f.Receive("late line\r");
    EXPECT_EQ(f.View.Lines.size(), GetParam().exit ? 20u : 21u);
}

INSTANTIATE_TEST_SUITE_P(Requests, DeferredDuringBurst,
                         ::testing::Values(BurstCase{"Stop", false}, BurstCase{"Exit", true}),
                         CaseName());

TEST(CaptureControl, HeldBackRequestWaitsForANestedReceiveToEnd) {
    Fixture f;
    f.Control.StartStop(false);
    f.View.DuringLine = [&](size_t n) {
        if (n == 1) f.Control.StartStop(true);
    };
    f.Receive("one\r");
    // The posted request runs while a further receive handler is active: it must wait again.
    f.View.DuringLine = [&](size_t) { f.View.RunPosted(); };
    f.Receive("two\r");
    EXPECT_TRUE(f.Port.Connected());
    f.View.DuringLine = nullptr;
    f.View.RunPosted();
    EXPECT_FALSE(f.Port.Connected());
    EXPECT_EQ(f.Port.ClosesInsideReceive, 0);
}

// A stop, an exit or the settings dialog chosen while the daily run waits for its mail server
// (the port is closed, so no receive handler runs) waits for the run to end.
class RequestDuringDailyRun : public ::testing::TestWithParam<BurstCase> {};

TEST_P(RequestDuringDailyRun, WaitsForTheRunToReturn) {
    Fixture f;
    f.Control.StartStop(false);
    bool finished = false;
    std::vector<std::string> seen;
    f.Control.TimerTick([&] {
        const TDailyRunHooks hooks = f.Control.DailyRunHooks();
        hooks.HoldStorage();
        if (GetParam().exit)
            f.Control.Shutdown([&] { finished = true; });
        else
            f.Control.StartStop(true);
        f.View.RunPosted();  // the mail client's wait serves the event loop
        seen.push_back(f.Control.Recorder() ? "holder" : "freed");
        hooks.ResumeStorage();
    });
    EXPECT_EQ(seen, std::vector<std::string>{"holder"});
    f.View.RunPosted();
    EXPECT_FALSE(f.Port.Connected());
    EXPECT_EQ(f.Control.Recorder() == nullptr, GetParam().exit);
    EXPECT_EQ(finished, GetParam().exit);
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestDuringDailyRun,
                         ::testing::Values(BurstCase{"Stop", false}, BurstCase{"Exit", true}),
                         CaseName());

TEST(CaptureControl, TicksHeldBackByAReceiveHandlerRunTheDailyRunOnce) {
    Fixture f;
    f.Control.StartStop(false);
    int runs = 0;
    f.View.DuringLine = [&](size_t) {
        for (int i = 0; i < 100; ++i) f.Control.TimerTick([&] { ++runs; });
    };
    f.Receive("one\rtwo\r");
    EXPECT_EQ(runs, 0);
    f.View.RunPosted();
    EXPECT_EQ(runs, 1);
    f.Control.TimerTick([&] { ++runs; });  // a later tick runs again
    EXPECT_EQ(runs, 2);
    f.Control.Shutdown(nullptr);
    f.Control.TimerTick([&] { ++runs; });
    EXPECT_EQ(runs, 2);
}

}  // namespace
