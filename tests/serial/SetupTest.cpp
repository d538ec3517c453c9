#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "serial/SerialPort.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"

namespace {

TEST(Setup, CapturePortWritesTheSixBasicKeys) {
    TempDir dir;
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SaveSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_EQ(ReadBytes(dir.file("comport.ini")),
              "[ComPort]\r\nPort=COM1\r\nBaudRate=1200\r\nStopBits=1\r\nDataBits=8\r\n"
              "Parity=None\r\nFlowControl=None\r\n");
}

TEST(Setup, EveryGroupRoundTrips) {
    TempDir dir;
    TSerialPort a;
    a.StoredGroups = 0x3F;
    a.SetBaudRate(brCustom);
    a.SetCustomBaudRate(31250);
    a.Parity().SetCheck(true);
    a.FlowControl().SetXonChar('A');
    a.SaveSetup(ssIniFile, dir.file("c.ini"));
    const std::string text = ReadBytes(dir.file("c.ini"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 30);  // section + 29 keys
    TSerialPort b;
    b.StoredGroups = 0x3F;
    b.LoadSetup(ssIniFile, dir.file("c.ini"));
    EXPECT_EQ(b.BaudRate(), brCustom);
    EXPECT_EQ(b.CustomBaudRate(), 31250);
    EXPECT_TRUE(b.Parity().Check());
    EXPECT_EQ(b.FlowControl().XonChar, 'A');
}

struct LoadCase {
    const char* name;
    const char* ini;
    TBaudRate baud;
    int32_t custom;
    TStopBits stop;
    TDataBits data;
    TParityBits parity;
    const char* port;
};
class LoadTexts : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadTexts, ReadIgnoringCaseWithDefaults) {
    TempDir dir;
    WriteBytes(dir.file("comport.ini"), std::string("[comport]\r\n") + GetParam().ini);
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetCustomBaudRate(777);
    port.LoadSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_EQ(port.BaudRate(), GetParam().baud);
    EXPECT_EQ(port.CustomBaudRate(), GetParam().custom);
    EXPECT_EQ(port.StopBits(), GetParam().stop);
    EXPECT_EQ(port.DataBits(), GetParam().data);
    EXPECT_EQ(port.Parity().Bits(), GetParam().parity);
    EXPECT_EQ(port.Port(), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadTexts,
    ::testing::Values(LoadCase{"CustomRate", "BaudRate=Custom\r\nCustomBaudRate=31250\r\n",
                               brCustom, 31250, sbOneStopBit, dbEight, prNone, "COM1"},
                      LoadCase{"CustomWithoutItsRate", "BaudRate=Custom\r\n", brCustom, 9600,
                               sbOneStopBit, dbEight, prNone, "COM1"},
                      LoadCase{"UnknownRate", "BaudRate=fast\r\n", br9600, 777, sbOneStopBit,
                               dbEight, prNone, "COM1"},
                      LoadCase{"LowerCaseKeys", "baudrate=9600\r\nparity=odd\r\n", br9600, 777,
                               sbOneStopBit, dbEight, prOdd, "COM1"},
                      LoadCase{"BadDataBits", "StopBits=1.5\r\nDataBits=9\r\n", br1200, 777,
                               sbOne5StopBits, dbEight, prNone, "COM1"},
                      LoadCase{"LowerCasePort", "Port=com7\r\n", br1200, 777, sbOneStopBit, dbEight,
                               prNone, "COM7"},
                      LoadCase{"EmptyPort", "Port=\r\n", br1200, 777, sbOneStopBit, dbEight, prNone,
                               "COM1"},
                      LoadCase{"DevicePath", "Port=/dev/ttyUSB0\r\n", br1200, 777, sbOneStopBit,
                               dbEight, prNone, "/dev/ttyUSB0"}),
    CaseName());

TEST(Setup, MissingFileKeepsTheStoredDescription) {
    TSerialPort port;
    port.UseCaptureDefaults();
    port.LoadSetup(ssIniFile, "/nonexistent-tarvick/comport.ini");
    EXPECT_EQ(port.BaudRate(), br1200);
    EXPECT_EQ(port.FlowControl().ControlDTR, dtrEnable);
}

TEST(Setup, FlowControlShorthandAndRegistry) {
    TempDir dir;
    WriteBytes(dir.file("f.ini"), "[ComPort]\r\nFlowControl=Hardware\r\n");
    TSerialPort port;
    port.LoadSetup(ssIniFile, dir.file("f.ini"));
    EXPECT_EQ(port.FlowControl().ControlRTS, rtsHandshake);
    EXPECT_TRUE(port.FlowControl().OutCTSFlow);
    WriteBytes(dir.file("f.ini"), "[ComPort]\r\nFlowControl=Custom\r\n");
    port.LoadSetup(ssIniFile, dir.file("f.ini"));
    EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
    try {
        port.SaveSetup(ssRegistry, "HKEY_CURRENT_USER\\Software");
        FAIL();
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 16);
        EXPECT_EQ(std::string(e.what()), "Failed to store settings");
    }
    try {
        port.LoadSetup(ssRegistry, "HKEY_CURRENT_USER\\Software");
        FAIL();
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 17);
    }
    EXPECT_THROW(port.SaveSetup(ssIniFile, "/nonexistent-tarvick/x.ini"), ESerialPort);
}

TEST(Setup, CharacterAndYesNoTexts) {
    EXPECT_EQ(TextToChar("#17"), 17);
    EXPECT_EQ(TextToChar("#"), '#');
    EXPECT_EQ(TextToChar("A"), 'A');
    EXPECT_EQ(TextToChar("#x"), 0);
    EXPECT_EQ(TextToChar(""), 0);
    EXPECT_EQ(TextToChar("#300"), static_cast<char>(300 & 0xFF));
    EXPECT_EQ(CharToText(17), "#17");
    EXPECT_EQ(CharToText(0), "#0");
    EXPECT_EQ(CharToText('A'), "A");
    EXPECT_EQ(CharToText(static_cast<char>(200)), "#200");
    EXPECT_TRUE(YesNoToBool("yes"));
    EXPECT_FALSE(YesNoToBool(""));
    EXPECT_FALSE(YesNoToBool("true"));
    EXPECT_EQ(BoolToYesNo(true), "Yes");
    for (int i = brCustom; i <= br256000; ++i)
        EXPECT_EQ(TextToBaudRate(BaudRateToText(static_cast<TBaudRate>(i))), i);
    EXPECT_EQ(TextToFlowControl("bogus"), fcCustom);
    EXPECT_EQ(TextToRTSControl("toggle"), rtsToggle);
    EXPECT_EQ(TextToDTRControl("x"), dtrDisable);
}

// A network source's keys sit beside the six, hand-written or saved, and keep their bounds.
TEST(Setup, NetworkKeysLoadWithinTheirLimitsAndSaveBesideTheSix) {
    TempDir dir;
    const std::string longLogin(200, 'u');
    WriteBytes(
        dir.file("comport.ini"),
        "[ComPort]\r\nPort= tcp://10.0.0.5:2300 \r\nBaudRate=1200\r\nLogin=" + longLogin +
            "\r\nPassword=pa\x01ss\r\nAllow=10.0.0.5, 10.1.0.0/16\r\nKeepAlive=1\r\nIdle=-5\r\n");
    TSerialPort port;
    port.UseCaptureDefaults();
    port.LoadSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_EQ(port.Port(), "tcp://10.0.0.5:2300");
    EXPECT_EQ(port.Login(), std::string(TCustomSerialPort::kLoginMax, 'u'));
    EXPECT_EQ(port.Password(), "pass");
    EXPECT_EQ(port.Allow(), "10.0.0.5, 10.1.0.0/16");
    EXPECT_EQ(port.KeepAlive(), TCustomSerialPort::kKeepAliveMin);
    EXPECT_EQ(port.Idle(), 0);

    port.SetLogin("smdr");
    port.SetPassword("");
    port.SetKeepAlive(99999);
    port.SetIdle(30);
    port.SaveSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_NE(ReadBytes(dir.file("comport.ini")).find("Idle=30\r\n"), std::string::npos);
    TSerialPort back;
    back.LoadSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_EQ(back.Login(), "smdr");
    EXPECT_EQ(back.Password(), "");  // cleared in the file, not left at its old value
    EXPECT_EQ(back.Allow(), "10.0.0.5, 10.1.0.0/16");
    EXPECT_EQ(back.KeepAlive(), TCustomSerialPort::kKeepAliveMax);
    EXPECT_EQ(back.Idle(), 30);
    EXPECT_EQ(back.BaudRate(), br1200);
    back.SetIdle(1 << 30);  // minutes that would overflow the source's milliseconds
    EXPECT_EQ(back.Idle(), TCustomSerialPort::kIdleMax);
}

TEST(Setup, ANetworkPortWithoutLoginOrAllowWritesOnlyTheSixKeys) {
    TempDir dir;
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetPort("listen://:9100");
    port.SaveSetup(ssIniFile, dir.file("comport.ini"));
    EXPECT_EQ(ReadBytes(dir.file("comport.ini")),
              "[ComPort]\r\nPort=listen://:9100\r\nBaudRate=1200\r\nStopBits=1\r\n"
              "DataBits=8\r\nParity=None\r\nFlowControl=None\r\n");
}

TEST(Setup, AFileHoldingTheExchangesPasswordIsReadableByItsOwnerOnly) {
    TempDir dir;
    const std::string file = dir.file("comport.ini");
    auto mode = [&file] {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0777u;
    };
    const mode_t before = ::umask(022);
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetPort("tcp://10.0.0.5:2300");
    port.SaveSetup(ssIniFile, file);
    EXPECT_EQ(mode(), 0644u);
    port.SetPassword("s3cret");
    port.SaveSetup(ssIniFile, file);
    EXPECT_EQ(mode(), 0600u);
    port.SetPassword("");
    port.SaveSetup(ssIniFile, file);
    EXPECT_EQ(mode(), 0600u);  // a mode once narrowed is kept
    ::umask(before);
}

}  // namespace
