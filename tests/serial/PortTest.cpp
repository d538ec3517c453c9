#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/posix/SerialTermios.h"
#include "serial/SerialPort.h"
#include "tests/common/CaseName.h"
#include "tests/serial/Pump.h"

namespace {

// A pseudo-terminal pair: the test writes on the master, the port opens the slave.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master_);
        ::unlockpt(master_);
        slave_ = ::ptsname(master_);
    }
    ~Pty() { CloseMaster(); }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    const std::string& Slave() const { return slave_; }
    void Write(const std::string& s) {
        ASSERT_EQ(::write(master_, s.data(), s.size()), (ssize_t)s.size());
    }

private:
    int master_;
    std::string slave_;
};

// The exchange's side of the line goes away (a pseudo-terminal's master closed, as an adapter
// pulled out): the port tells it once, as an I/O error, with the bytes sent before it, and does
// not spin while it waits to be closed.
TEST(Port, ADeviceThatHangsUpReportsOneIOError) {
    Pty pty;
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetPort(pty.Slave());
    std::string got;
    int ioErrors = 0;
    port.OnRxChar = [&](TCustomSerialPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        got += text;
    };
    port.OnError = [&](TCustomSerialPort&, TPortErrors errors) {
        if (errors & errIO) ++ioErrors;
    };
    port.Open();
    pty.Write("last call\r");
    ASSERT_TRUE(PumpUntil([&] { return got == "last call\r"; }));
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return ioErrors > 0; }));
    PumpFor(300);
    EXPECT_EQ(ioErrors, 1);
    const auto t0 = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
}

TEST(Port, ReceivedBytesReachOnRxCharOnTheMainThread) {
    Pty pty;
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetPort(pty.Slave());
    std::string got;
    int events = 0;
    bool onMain = true;
    port.OnRxChar = [&](TCustomSerialPort& p, int count) {
        onMain = onMain && platform::IsMainThread();
        ++events;
        std::string text;
        EXPECT_EQ(p.ReadText(text, count), count);
        got += text;
    };
    port.Open();
    ASSERT_TRUE(port.Connected());
    pty.Write("12/04/26 09:02\r");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 15; }));
    pty.Write("next\r");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 20; }));
    EXPECT_EQ(got, "12/04/26 09:02\rnext\r");
    EXPECT_GE(events, 2);
    EXPECT_TRUE(onMain);
    const auto t0 = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_FALSE(port.Connected());
}

// Bytes that arrive while the handler runs were in no event yet: they need one of their own,
// also when nothing follows them (the last line of a burst).
TEST(Port, BytesArrivingDuringTheHandlerRaiseAFurtherEvent) {
    Pty pty;
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetPort(pty.Slave());
    std::vector<std::string> batches;
    port.OnRxChar = [&](TCustomSerialPort& p, int count) {
        if (batches.empty()) {
            pty.Write("second\r");
            platform::SleepMs(50);
        }
        std::string text;
        p.ReadText(text, count);
        batches.push_back(text);
    };
    port.Open();
    pty.Write("first\r");
    ASSERT_TRUE(PumpUntil([&] { return batches.size() == 2; }, 1000));
    EXPECT_EQ(batches[0], "first\r");
    EXPECT_EQ(batches[1], "second\r");
    port.Close();
}

// Cancelling outstanding reads is not a stop: the worker goes on watching the device.
TEST(Port, AbortPendingKeepsTheEventThreadRunning) {
    Pty pty;
    TSerialPort port;
    port.SetPort(pty.Slave());
    std::string got;
    port.OnRxChar = [&](TCustomSerialPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        got += text;
    };
    port.Open();
    port.AbortPending();
    pty.Write("after");
    EXPECT_TRUE(PumpUntil([&] { return got == "after"; }, 1000));
    port.Close();
}

TEST(Port, OpenAndCloseRaiseTheirEventsInOrder) {
    Pty pty;
    TSerialPort port;
    port.SetPort(pty.Slave());
    std::string seq;
    TPortLink link;
    link.OnConnChange = [&](TCustomSerialPort&, bool on) { seq += on ? "L+" : "L-"; };
    link.OnCTSChange = [&](TCustomSerialPort&, bool on) { seq += on ? "l1" : "l0"; };
    port.RegisterLink(link);
    EXPECT_THROW(port.RegisterLink(link), ESerialPort);
    port.OnBeforeOpen = [&](TCustomSerialPort&) { seq += "bo "; };
    port.OnAfterOpen = [&](TCustomSerialPort&) { seq += "ao "; };
    port.OnCTSChange = [&](TCustomSerialPort&, bool on) { seq += on ? "C1 " : "C0 "; };
    port.OnDSRChange = [&](TCustomSerialPort&, bool) { seq += "D "; };
    port.OnRLSDChange = [&](TCustomSerialPort&, bool) { seq += "R "; };
    port.OnBeforeClose = [&](TCustomSerialPort&) { seq += "bc "; };
    port.OnAfterClose = [&](TCustomSerialPort&) { seq += "ac"; };
    port.Open();
    port.Close();
    // A pseudo-terminal has no modem lines: every line reads off.
    EXPECT_EQ(seq, "bo L+ao l0C0 D R l0C0 D R bc L-ac");
    port.UnRegisterLink(link);
    EXPECT_THROW(port.UnRegisterLink(link), ESerialPort);
}

TEST(Port, MissingDeviceFailsWithCodeOne) {
    TSerialPort port;
    port.SetPort("/dev/nonexistent-tarvick-tty");
    bool before = false, after = false;
    port.OnBeforeOpen = [&](TCustomSerialPort&) { before = true; };
    port.OnAfterOpen = [&](TCustomSerialPort&) { after = true; };
    try {
        port.Open();
        FAIL();
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 1);
        EXPECT_EQ(std::string(e.what()), "Unable to open com port (win error code: 2)");
    }
    EXPECT_TRUE(before);
    EXPECT_FALSE(after);
    EXPECT_FALSE(port.Connected());
}

struct RateCase {
    const char* name;
    TBaudRate rate;
    int32_t custom;
    uint32_t runsAt;  // 0: refused with code 7
};
class Rates : public ::testing::TestWithParam<RateCase> {};

TEST_P(Rates, EveryListedRateRunsAndNonsenseIsRefused) {
    Pty pty;
    // Held before the port takes the device for itself, to read the speed it set.
    const int probe = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    TSerialPort port;
    port.SetPort(pty.Slave());
    port.SetBaudRate(GetParam().rate);
    port.SetCustomBaudRate(GetParam().custom);
    try {
        port.Open();
        EXPECT_NE(GetParam().runsAt, 0u) << "opened";
        EXPECT_EQ(platform::DeviceSpeed(probe), GetParam().runsAt);
    } catch (const ESerialPort& e) {
        EXPECT_EQ(GetParam().runsAt, 0u) << e.what();
        EXPECT_EQ(e.ErrorCode, 7);
        EXPECT_FALSE(port.Connected());
    }
    ::close(probe);
}

INSTANTIATE_TEST_SUITE_P(Speeds, Rates,
                         ::testing::Values(RateCase{"Baud1200", br1200, 0, 1200},
                                           RateCase{"Baud14400", br14400, 0, 14400},
                                           RateCase{"Baud56000", br56000, 0, 56000},
                                           RateCase{"Baud128000", br128000, 0, 128000},
                                           RateCase{"Baud256000", br256000, 0, 256000},
                                           RateCase{"Custom31250", brCustom, 31250, 31250},
                                           RateCase{"CustomZero", brCustom, 0, 0},
                                           RateCase{"CustomNegative", brCustom, -1, 0}),
                         CaseName());

// Root passes over the terminal's own exclusive mode, and stations run as root; a second port
// on the same device must still be refused, as busy, until the first lets it go.
TEST(Port, SecondPortOnTheSameDeviceIsRefusedAsBusy) {
    Pty pty;
    TSerialPort first, second;
    first.SetPort(pty.Slave());
    second.SetPort(pty.Slave());
    first.Open();
    ASSERT_TRUE(first.Connected());
    bool afterOpen = false;
    second.OnAfterOpen = [&](TCustomSerialPort&) { afterOpen = true; };
    try {
        second.Open();
        ADD_FAILURE() << "both ports hold " << pty.Slave();
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 1);
        EXPECT_EQ(e.SystemError, EBUSY);
        EXPECT_STREQ(
            e.what(),
            ("Unable to open com port (win error code: " + std::to_string(EBUSY) + ")").c_str());
    }
    EXPECT_FALSE(second.Connected());
    EXPECT_FALSE(afterOpen);
    pty.Write("abc");
    std::string text;
    ASSERT_TRUE(PumpUntil([&] { return first.PendingInput() == 3; }));
    EXPECT_EQ(first.ReadText(text, 3), 3);
    EXPECT_EQ(text, "abc");
    first.Close();
    second.Open();
    EXPECT_TRUE(second.Connected());
}

TEST(Port, HandlerErrorEndsTheEventThreadWithoutAHang) {
    Pty pty;
    TSerialPort port;
    port.SetPort(pty.Slave());
    int calls = 0;
    port.OnRxChar = [&](TCustomSerialPort&, int) {
        ++calls;
        throw EError("handler failed");
    };
    port.Open();
    pty.Write("x");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    pty.Write("y");
    PumpFor(100);
    EXPECT_EQ(calls, 1);
    port.Close();
}

struct NameCase {
    const char* name;
    const char* in;
    const char* out;
};
class PortNames : public ::testing::TestWithParam<NameCase> {};
TEST_P(PortNames, Normalised) {
    EXPECT_EQ(NormalizePortName(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(
    Names, PortNames,
    ::testing::Values(NameCase{"TwoDigits", "COM10", "COM10"},
                      NameCase{"LowerCase", "com3", "COM3"}, NameCase{"BareNumber", "3", "COM3"},
                      NameCase{"BeyondTheLast", "COM97", "COM1"}, NameCase{"Zero", "COM0", "COM1"},
                      NameCase{"NotANumber", "COMX", "COM1"}, NameCase{"Empty", "", "COM1"},
                      NameCase{"DevicePath", "/dev/ttyUSB0", "/dev/ttyUSB0"}),
    CaseName());

TEST(Port, DeviceAndControlBlock) {
    EXPECT_EQ(TCustomSerialPort::DevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(TCustomSerialPort::DevicePath("/dev/pts/3"), "/dev/pts/3");
    TSerialPort port;
    port.UseCaptureDefaults();
    port.Buffer().SetInputSize(4097);
    EXPECT_EQ(port.Buffer().InputSize(), 4096);
    const platform::TDcb d = port.BuildDcb();
    EXPECT_EQ(d.BaudRate, 1200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, 0);
    EXPECT_EQ(d.StopBits, 0);
    EXPECT_EQ(d.fDtrControl, 1);
    EXPECT_EQ(d.fRtsControl, 0);
    EXPECT_TRUE(d.fNull);
    EXPECT_TRUE(d.fBinary);
    EXPECT_EQ(d.XonLim, 1024);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    port.FlowControl().SetFlowControl(fcHardware);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
    termios tio{};
    ASSERT_TRUE(platform::DcbToTermios(port.BuildDcb(), tio));
    EXPECT_EQ(cfgetispeed(&tio), B1200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_cflag & PARENB);
}

}  // namespace
