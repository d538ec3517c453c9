// The port's device calls, their order and count, against a device that records them.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/MessageLoop.h"
#include "serial/SerialPort.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"
#include "tests/serial/FakeDevice.h"
#include "tests/serial/Pump.h"

namespace {

using platform::EV_CTS;
using platform::EV_ERR;
using platform::EV_RING;
using platform::EV_RLSD;
using platform::EV_RXCHAR;

// Port events and link callbacks go into the device's log, so their order against the device
// calls shows.
void Record(TCustomSerialPort& port, TFakeLine& line) {
    auto flag = [&line](const char* name) {
        return [&line, name](TCustomSerialPort&, bool on) {
            line.Log(name + std::string(on ? "1" : "0"));
        };
    };
    port.OnBeforeOpen = [&line](TCustomSerialPort&) { line.Log("BeforeOpen"); };
    port.OnAfterOpen = [&line](TCustomSerialPort&) { line.Log("AfterOpen"); };
    port.OnBeforeClose = [&line](TCustomSerialPort&) { line.Log("BeforeClose"); };
    port.OnAfterClose = [&line](TCustomSerialPort&) { line.Log("AfterClose"); };
    port.OnCTSChange = flag("CTS");
    port.OnDSRChange = flag("DSR");
    port.OnRLSDChange = flag("RLSD");
    port.OnRing = [&line](TCustomSerialPort&) { line.Log("Ring"); };
    port.OnError = [&line](TCustomSerialPort&, TPortErrors e) {
        line.Log("Error" + std::to_string(e));
    };
}

// ---- open and close sequences -------------------------------------------------------------

struct SequenceCase {
    const char* name;
    TPortEvents events;
    TSyncMethod sync;
    const char* open;
    const char* close;
};
class Sequences : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(Sequences, OpenAndCloseRunTheirStepsInOrder) {
    TFakeOpener fake;
    fake.line->modem = platform::MS_CTS_ON | platform::MS_RLSD_ON;
    TSerialPort port;
    port.SetPort("COM3");
    port.SetEvents(GetParam().events);
    port.SetSyncMethod(GetParam().sync);
    Record(port, *fake.line);
    TPortLink link;
    link.OnConnChange = [&](TCustomSerialPort&, bool on) {
        fake.line->Log(on ? "link+" : "link-");
    };
    link.OnCTSChange = [&](TCustomSerialPort&, bool on) { fake.line->Log(on ? "lcts1" : "lcts0"); };
    link.OnRLSDChange = [&](TCustomSerialPort&, bool on) {
        fake.line->Log(on ? "lrlsd1" : "lrlsd0");
    };
    port.RegisterLink(link);
    port.Open();
    EXPECT_EQ(fake.line->lastPath, "/dev/ttyS2");
    EXPECT_EQ(fake.line->Joined(), GetParam().open);
    fake.line->Clear();
    port.Close();
    EXPECT_EQ(fake.line->Joined(), GetParam().close);
    EXPECT_FALSE(port.Connected());
    port.UnRegisterLink(link);
}

constexpr const char* kOpenAll =
    "BeforeOpen open SetupComm(1024,1024) SetCommState SetCommTimeouts SetCommMask(0x5ff) link+ "
    "AfterOpen lcts1 CTS1 DSR0 lrlsd1 RLSD1";
constexpr const char* kCloseAll =
    "lcts0 lrlsd0 CTS0 DSR0 RLSD0 BeforeClose PurgeComm(3) CancelWait SetCommMask(0) "
    "PurgeComm(12) closed link- AfterClose";

INSTANTIATE_TEST_SUITE_P(
    Ports, Sequences,
    ::testing::Values(
        SequenceCase{"ThreadSync", kAllComEvents, smThreadSync, kOpenAll, kCloseAll},
        SequenceCase{"WindowSync", kAllComEvents, smWindowSync, kOpenAll, kCloseAll},
        SequenceCase{"NoSync", kAllComEvents, smNone, kOpenAll, kCloseAll},
        // Without events no thread is made: no mask, and the close waits for nothing.
        SequenceCase{"NoEvents", 0, smThreadSync,
                     "BeforeOpen open SetupComm(1024,1024) SetCommState SetCommTimeouts link+ "
                     "AfterOpen lcts1 CTS1 DSR0 lrlsd1 RLSD1",
                     "lcts0 lrlsd0 CTS0 DSR0 RLSD0 BeforeClose PurgeComm(3) closed link- "
                     "AfterClose"},
        SequenceCase{"ReceiveOnly", 1 << evRxChar, smThreadSync,
                     "BeforeOpen open SetupComm(1024,1024) SetCommState SetCommTimeouts "
                     "SetCommMask(0x1) link+ AfterOpen lcts1 CTS1 DSR0 lrlsd1 RLSD1",
                     kCloseAll}),
    CaseName());

// ---- failures while opening and closing ---------------------------------------------------

struct FailureCase {
    const char* call;
    int code;
    const char* message;
    const char* log;
};
class OpenFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(OpenFailures, LeaveThePortClosedWithTheDeviceReleased) {
    TFakeOpener fake;
    fake.line->failing = {GetParam().call};
    TSerialPort port;
    Record(port, *fake.line);
    try {
        port.Open();
        FAIL() << "opened";
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, GetParam().code);
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(fake.line->Joined(), GetParam().log);
    // The failure changed nothing for the next try.
    fake.line->failing.clear();
    fake.line->Clear();
    port.Open();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(fake.line->Count("SetCommState"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenFailures,
    ::testing::Values(
        FailureCase{"open", 1, "Unable to open com port (win error code: 13)", "BeforeOpen open"},
        FailureCase{"SetupComm", 9, "SetupComm function failed (win error code: 22)",
                    "BeforeOpen open SetupComm(1024,1024) closed"},
        FailureCase{"SetCommState", 7, "SetCommState function failed (win error code: 22)",
                    "BeforeOpen open SetupComm(1024,1024) SetCommState closed"},
        FailureCase{"SetCommTimeouts", 8, "SetCommTimeouts failed (win error code: 22)",
                    "BeforeOpen open SetupComm(1024,1024) SetCommState SetCommTimeouts closed"}),
    [](const auto& info) { return std::string(info.param.call); });

TEST(CallOrder, FailedPurgeAtCloseLeavesThePortOpenAndItsThreadRunning) {
    TFakeOpener fake;
    TSerialPort port;
    int received = 0;
    port.OnRxChar = [&](TCustomSerialPort& p, int count) {
        std::string text;
        received += p.ReadText(text, count);
    };
    port.Open();
    fake.line->failing = {"PurgeComm"};
    try {
        port.Close();
        FAIL() << "closed";
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 5);
    }
    EXPECT_TRUE(port.Connected());
    {
        std::lock_guard<std::mutex> lock(fake.line->Mutex());
        fake.line->input = "abc";
    }
    fake.line->Report(EV_RXCHAR);
    EXPECT_TRUE(PumpUntil([&] { return received == 3; }));
    fake.line->failing.clear();
    port.Close();
    EXPECT_FALSE(port.Connected());
}

// ---- settings reach the device once per bracket, never while closed -----------------------

struct ApplyCase {
    const char* name;
    std::function<void(TSerialPort&)> change;
    int setupComm, setCommState, setCommTimeouts;
};
class Applies : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(Applies, OnAnOpenPort) {
    TFakeOpener fake;
    TSerialPort port;
    port.Open();
    fake.line->Clear();
    GetParam().change(port);
    EXPECT_EQ(fake.line->Count("SetupComm"), GetParam().setupComm);
    EXPECT_EQ(fake.line->Count("SetCommState"), GetParam().setCommState);
    EXPECT_EQ(fake.line->Count("SetCommTimeouts"), GetParam().setCommTimeouts);
    EXPECT_EQ(fake.line->Count("open"), 0);
}

void FiveChanges(TSerialPort& p) {
    p.SetBaudRate(br19200);
    p.SetDataBits(dbSeven);
    p.Parity().SetBits(prEven);
    p.SetStopBits(sbTwoStopBits);
    p.FlowControl().SetXonXoffIn(true);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, Applies,
    ::testing::Values(
        ApplyCase{"OneSetting", [](TSerialPort& p) { p.SetBaudRate(br19200); }, 0, 1, 0},
        ApplyCase{"FiveSettingsApartGiveFiveStates", FiveChanges, 0, 5, 0},
        ApplyCase{"FiveSettingsInABracket",
                  [](TSerialPort& p) {
                      p.BeginUpdate();
                      FiveChanges(p);
                      p.EndUpdate();
                  },
                  1, 1, 1},
        ApplyCase{"InnerEndAppliesNothing",
                  [](TSerialPort& p) {
                      p.BeginUpdate();
                      p.BeginUpdate();
                      FiveChanges(p);
                      p.EndUpdate();
                      EXPECT_EQ(p.BaudRate(), br19200);
                  },
                  0, 0, 0},
        ApplyCase{"OuterEndAppliesOnce",
                  [](TSerialPort& p) {
                      p.BeginUpdate();
                      p.BeginUpdate();
                      FiveChanges(p);
                      p.EndUpdate();
                      p.EndUpdate();
                  },
                  1, 1, 1},
        ApplyCase{"EndWithoutBegin", [](TSerialPort& p) { p.EndUpdate(); }, 0, 0, 0},
        ApplyCase{"EndWithoutBeginStartsNoBracket",
                  [](TSerialPort& p) {
                      p.EndUpdate();
                      p.SetBaudRate(br2400);
                  },
                  0, 1, 0},
        ApplyCase{"BufferSize", [](TSerialPort& p) { p.Buffer().SetInputSize(2048); }, 1, 0, 0},
        ApplyCase{"Timeout",
                  [](TSerialPort& p) { p.Timeouts().Set(&TPortTimeouts::ReadTotalConstant, 5); }, 0,
                  0, 1},
        ApplyCase{"FlowShorthandAppliesOnce",
                  [](TSerialPort& p) { p.FlowControl().SetFlowControl(fcHardware); }, 0, 1, 0},
        ApplyCase{"ParityAssignedAsAWhole",
                  [](TSerialPort& p) {
                      TPortParity other;
                      other.SetBits(prOdd);
                      other.SetCheck(true);
                      p.Parity() = other;
                  },
                  0, 1, 0},
        ApplyCase{"EventsWaitForTheNextOpen", [](TSerialPort& p) { p.SetEvents(1 << evRxChar); }, 0,
                  0, 0},
        ApplyCase{"SameSyncMethod", [](TSerialPort& p) { p.SetSyncMethod(smThreadSync); }, 0, 0, 0},
        ApplyCase{"CopiesOfGroupsBelongToNoPort",
                  [](TSerialPort& p) {
                      TPortFlowControl flow = p.FlowControl();
                      flow.SetXonChar('A');
                      TPortParity parity = p.Parity();
                      parity.SetBits(prOdd);
                      TPortBuffer buffer = p.Buffer();
                      buffer.SetInputSize(64);
                      TPortTimeouts timeouts = p.Timeouts();
                      timeouts.Set(&TPortTimeouts::ReadInterval, 7);
                      EXPECT_EQ(p.FlowControl().XonChar, 17);
                      EXPECT_EQ(p.Parity().Bits(), prNone);
                      EXPECT_EQ(p.Buffer().InputSize(), 1024);
                  },
                  0, 0, 0},
        ApplyCase{"SamePortName", [](TSerialPort& p) { p.SetPort("com1"); }, 0, 0, 0}),
    CaseName());

TEST(CallOrder, LoadingSettingsIntoAnOpenPortAppliesThemOnceAtTheEnd) {
    TempDir dir;
    WriteBytes(dir.file("comport.ini"),
               "[ComPort]\r\nBaudRate=19200\r\nStopBits=2\r\nDataBits=7\r\nParity=Even\r\n"
               "FlowControl=Software\r\n");
    TFakeOpener fake;
    TSerialPort port;
    port.Open();
    fake.line->Clear();
    port.LoadSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_EQ(fake.line->Joined(), "SetupComm(1024,1024) SetCommState SetCommTimeouts");
    EXPECT_EQ(fake.line->lastState.BaudRate, 19200u);
    EXPECT_EQ(fake.line->lastState.ByteSize, 7);
    EXPECT_TRUE(fake.line->lastState.fInX);
}

TEST(CallOrder, LoadingAnotherPortNameReopensAndAppliesOnce) {
    TempDir dir;
    WriteBytes(dir.file("comport.ini"), "[ComPort]\r\nPort=COM2\r\nBaudRate=2400\r\n");
    TFakeOpener fake;
    TSerialPort port;
    port.Open();
    fake.line->Clear();
    port.LoadSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_EQ(fake.line->lastPath, "/dev/ttyS1");
    EXPECT_EQ(fake.line->Count("closed"), 1);
    EXPECT_EQ(fake.line->Count("open"), 1);
    EXPECT_EQ(fake.line->Count("SetCommState"), 1);
    EXPECT_EQ(fake.line->lastState.BaudRate, 2400u);
    EXPECT_TRUE(port.Connected());
}

TEST(CallOrder, SyncMethodIsRefusedWhileOpen) {
    TFakeOpener fake;
    TSerialPort port;
    port.Open();
    try {
        port.SetSyncMethod(smNone);
        FAIL() << "changed";
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 14);
        EXPECT_EQ(std::string(e.what()), "Cannot set SyncMethod while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    port.Close();
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
}

// Each setting changed on a closed port touches no device; the open then sends it.
struct ClosedCase {
    const char* name;
    std::function<void(TSerialPort&)> change;
    std::function<void(const platform::TDcb&)> check;
};
class ClosedPort : public ::testing::TestWithParam<ClosedCase> {};

TEST_P(ClosedPort, TouchesNoDeviceUntilOpen) {
    TFakeOpener fake;
    TSerialPort port;
    GetParam().change(port);
    port.BeginUpdate();
    port.EndUpdate();
    EXPECT_EQ(fake.line->Joined(), "");
    port.Open();
    EXPECT_EQ(fake.line->Count("SetCommState"), 1);
    GetParam().check(fake.line->lastState);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ClosedPort,
    ::testing::Values(
        ClosedCase{"CustomRate",
                   [](TSerialPort& p) {
                       p.SetBaudRate(brCustom);
                       p.SetCustomBaudRate(31250);
                   },
                   [](const platform::TDcb& d) { EXPECT_EQ(d.BaudRate, 31250u); }},
        ClosedCase{"OddInputSize", [](TSerialPort& p) { p.Buffer().SetInputSize(4097); },
                   [](const platform::TDcb& d) {
                       EXPECT_EQ(d.XonLim, 1024);
                       EXPECT_EQ(d.XoffLim, 1024);
                   }},
        ClosedCase{"ParityReplace",
                   [](TSerialPort& p) {
                       p.Parity().SetCheck(true);
                       p.Parity().SetReplace(true);
                       p.Parity().SetReplaceChar('?');
                   },
                   [](const platform::TDcb& d) {
                       EXPECT_TRUE(d.fParity);
                       EXPECT_TRUE(d.fErrorChar);
                       EXPECT_EQ(d.ErrorChar, '?');
                   }},
        ClosedCase{"ReplaceWithoutCheck",
                   [](TSerialPort& p) {
                       p.Parity().SetReplace(true);
                       p.Parity().SetReplaceChar('?');
                   },
                   [](const platform::TDcb& d) {
                       EXPECT_FALSE(d.fErrorChar);
                       EXPECT_EQ(d.ErrorChar, 0);
                   }},
        ClosedCase{"Toggle", [](TSerialPort& p) { p.FlowControl().SetControlRTS(rtsToggle); },
                   [](const platform::TDcb& d) { EXPECT_EQ(d.fRtsControl, 3); }},
        ClosedCase{"Handshake", [](TSerialPort& p) { p.FlowControl().SetControlDTR(dtrHandshake); },
                   [](const platform::TDcb& d) { EXPECT_EQ(d.fDtrControl, 2); }},
        ClosedCase{"Others",
                   [](TSerialPort& p) {
                       p.SetDiscardNull(true);
                       p.SetEventChar('\r');
                       p.SetStopBits(sbOne5StopBits);
                       p.Parity().SetBits(prSpace);
                       p.SetDataBits(dbFive);
                   },
                   [](const platform::TDcb& d) {
                       EXPECT_TRUE(d.fNull);
                       EXPECT_EQ(d.EvtChar, '\r');
                       EXPECT_EQ(d.StopBits, 1);
                       EXPECT_EQ(d.Parity, 4);
                       EXPECT_EQ(d.ByteSize, 5);
                       EXPECT_EQ(d.DCBlength, 28u);
                       EXPECT_TRUE(d.fBinary);
                       EXPECT_FALSE(d.fAbortOnError);
                   }},
        ClosedCase{"PortName", [](TSerialPort& p) { p.SetPort("com5"); },
                   [](const platform::TDcb& d) { EXPECT_EQ(d.BaudRate, 9600u); }}),
    CaseName());

// ---- event batches ------------------------------------------------------------------------

struct BatchCase {
    const char* name;
    TSyncMethod sync;
    const char* input;
    uint32_t errors;
    uint32_t modem;
    bool linkWantsData;
    bool parityCheck;
    uint32_t batch;
    const char* log;
};
class Batches : public ::testing::TestWithParam<BatchCase> {};

TEST_P(Batches, RunTheirHandlersInOrder) {
    const BatchCase& c = GetParam();
    TFakeOpener fake;
    TSerialPort port;
    port.SetSyncMethod(c.sync);
    port.Parity().SetCheck(c.parityCheck);
    port.Open();
    Record(port, *fake.line);
    TFakeLine& line = *fake.line;
    port.OnRxChar = [&line](TCustomSerialPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        line.Log("RxChar" + std::to_string(count) + ":" + text);
    };
    port.OnRxBuf = [&line](TCustomSerialPort&, const char* buf, int count) {
        line.Log("RxBuf:" + std::string(buf, static_cast<size_t>(count)));
    };
    TPortLink first, second;
    first.OnRxActive = [&line](TCustomSerialPort&, bool on) {
        line.Log(on ? "active1" : "active0");
    };
    first.OnRing = [&line](TCustomSerialPort&) { line.Log("lring"); };
    if (c.linkWantsData) {
        first.OnRxBuf = [&line](TCustomSerialPort&, const char* buf, int count) {
            line.Log("link1:" + std::string(buf, static_cast<size_t>(count)));
        };
        second.OnRxBuf = [&line](TCustomSerialPort&, const char* buf, int count) {
            line.Log("link2:" + std::string(buf, static_cast<size_t>(count)));
        };
    }
    port.RegisterLink(first);
    port.RegisterLink(second);
    {
        std::lock_guard<std::mutex> lock(line.Mutex());
        line.input = c.input;
        line.errors = c.errors;
        line.modem = c.modem;
    }
    port.OnTxEmpty = [&line](TCustomSerialPort&) { line.Log("end"); };
    line.Clear();
    line.Report(c.batch);
    line.Report(platform::EV_TXEMPTY);  // a second batch marks the end of the first
    ASSERT_TRUE(PumpUntil([&] { return line.Count("end") == 1; }));
    std::string log = line.Joined();
    log.erase(log.rfind("end"));
    EXPECT_EQ(log, c.log[0] ? c.log + std::string(" ") : "");
    port.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Events, Batches,
    ::testing::Values(
        BatchCase{"Bytes", smThreadSync, "abc", 0, 0, false, false, EV_RXCHAR,
                  "active1 Read active0 RxChar3:abc"},
        BatchCase{"BytesAlreadyRead", smThreadSync, "", 0, 0, false, false, EV_RXCHAR, ""},
        BatchCase{"ErrorBeforeBytes", smThreadSync, "ab", platform::CE_FRAME, 0, false, false,
                  EV_RXCHAR | EV_ERR, "Error1 active1 Read active0 RxChar2:ab"},
        BatchCase{"ParityErrorUncheckedIsNoError", smThreadSync, "", platform::CE_RXPARITY, 0,
                  false, false, EV_ERR, ""},
        BatchCase{"ParityErrorChecked", smThreadSync, "",
                  platform::CE_RXPARITY | platform::CE_OVERRUN, 0, false, true, EV_ERR, "Error6"},
        BatchCase{"LinksTakeTheBytes", smThreadSync, "xyz", 0, 0, true, false, EV_RXCHAR,
                  "active1 Read active0 RxBuf:xyz link1:xyz link2:xyz"},
        BatchCase{"LineStateNotToggle", smThreadSync, "", 0, platform::MS_CTS_ON, false, false,
                  EV_CTS, "CTS1"},
        BatchCase{"TwoLinesOneBatch", smThreadSync, "", 0, platform::MS_RLSD_ON, false, false,
                  EV_CTS | EV_RLSD, "CTS0 RLSD1"},
        BatchCase{"RingAloneUnderWindowSync", smWindowSync, "", 0, 0, false, false, EV_RING,
                  "lring Ring"},
        BatchCase{"RlsdUnderWindowSync", smWindowSync, "", 0, platform::MS_RLSD_ON, false, false,
                  EV_RLSD, "RLSD1"},
        BatchCase{"OrderUnderWindowSync", smWindowSync, "q", 0, 0, false, false,
                  EV_RLSD | EV_RING | EV_CTS | EV_RXCHAR,
                  "active1 Read active0 RxChar1:q lring Ring CTS0 RLSD0"},
        BatchCase{"OrderWithoutSync", smNone, "q", platform::CE_BREAK, 0, false, false,
                  EV_RLSD | EV_RING | EV_ERR | EV_RXCHAR,
                  "Error8 active1 Read active0 RxChar1:q lring Ring RLSD0"}),
    CaseName());

// ---- where handlers run, and what their errors do -----------------------------------------

struct SyncCase {
    const char* name;
    TSyncMethod sync;
    bool onMainThread;
    bool threadGoesOn;  // after a handler's error
};
class SyncMethods : public ::testing::TestWithParam<SyncCase> {};

TEST_P(SyncMethods, DeliverWhereTheyPromise) {
    TFakeOpener fake;
    TSerialPort port;
    port.SetSyncMethod(GetParam().sync);
    std::vector<std::string> reported;
    SetApplicationExceptionReport([&](const std::exception& e) { reported.push_back(e.what()); });
    std::atomic<int> calls{0};
    std::atomic<bool> main{!GetParam().onMainThread};
    port.OnRing = [&](TCustomSerialPort&) {
        main = platform::IsMainThread();
        if (++calls == 1) throw EError("handler failed");
    };
    port.Open();
    fake.line->Report(EV_RING);
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    fake.line->Report(EV_RING);
    if (GetParam().threadGoesOn)
        EXPECT_TRUE(PumpUntil([&] { return calls == 2; }));
    else
        PumpFor(100);
    EXPECT_EQ(calls, GetParam().threadGoesOn ? 2 : 1);
    EXPECT_EQ(main, GetParam().onMainThread);
    const auto t0 = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    SetApplicationExceptionReport({});
    // Only the window delivery shows the error to the user.
    EXPECT_EQ(reported, GetParam().threadGoesOn ? std::vector<std::string>{"handler failed"}
                                                : std::vector<std::string>{});
    // The exit steps ran once, whichever way the thread ended.
    EXPECT_EQ(fake.line->Count("PurgeComm(12)"), 1);
}

INSTANTIATE_TEST_SUITE_P(Methods, SyncMethods,
                         ::testing::Values(SyncCase{"ThreadSync", smThreadSync, true, false},
                                           SyncCase{"WindowSync", smWindowSync, true, true},
                                           SyncCase{"NoSync", smNone, false, false}),
                         CaseName());

// A handler that closes its own port would wait for the worker that waits for the handler.
class CloseInsideHandler : public ::testing::TestWithParam<SyncCase> {};

TEST_P(CloseInsideHandler, ClosesWithoutAHangAndTheWorkerReleasesTheDevice) {
    TFakeOpener fake;
    TSerialPort port;
    port.SetSyncMethod(GetParam().sync);
    Record(port, *fake.line);
    std::atomic<int> rings{0};
    port.OnRing = [&](TCustomSerialPort& p) {
        if (++rings == 1) p.Close();
    };
    port.OnCTSChange = [&](TCustomSerialPort&, bool) { fake.line->Log("CTS"); };
    port.Open();
    fake.line->Clear();
    fake.line->Report(EV_RING | EV_CTS);
    ASSERT_TRUE(PumpUntil([&] { return fake.line->Count("closed") == 1; }));
    EXPECT_FALSE(port.Connected());
    // The batch ends with the close: its CTS handler does not run on the closed port.
    EXPECT_EQ(fake.line->Joined(),
              "CTS DSR0 RLSD0 BeforeClose PurgeComm(3) CancelWait AfterClose SetCommMask(0) "
              "PurgeComm(12) closed");
    port.Open();
    fake.line->Report(EV_RING);
    EXPECT_TRUE(PumpUntil([&] { return rings == 2; }));
    port.Close();
    EXPECT_EQ(fake.line->Count("closed"), 2);
}

INSTANTIATE_TEST_SUITE_P(Methods, CloseInsideHandler,
                         ::testing::Values(SyncCase{"ThreadSync", smThreadSync, true, false},
                                           SyncCase{"WindowSync", smWindowSync, true, true},
                                           SyncCase{"NoSync", smNone, false, false}),
                         CaseName());

}  // namespace
