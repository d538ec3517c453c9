// The combo box and the lamp bound to a port (closed ports only: no device is needed).
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <string>

#include "serial/PortControls.h"

namespace {

struct CentreCase {
    int width, height;
    QPoint expected;
};

class LampCentre : public ::testing::TestWithParam<CentreCase> {};

TEST_P(LampCentre, GlyphIsCentredOrPinnedToTheCorner) {
    TPortLamp led;
    led.resize(GetParam().width, GetParam().height);
    EXPECT_EQ(led.GlyphPos(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LampCentre,
                         ::testing::Values(CentreCase{25, 25, {5, 5}}, CentreCase{16, 16, {0, 0}},
                                           CentreCase{10, 10, {0, 0}}, CentreCase{40, 20, {12, 2}}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

TEST(Lamp, BuiltInGlyphsAreFifteenPixelsWithTheBottomLeftColourTransparent) {
    for (int k = lkRedLight; k <= lkBulb; ++k) {
        const QImage on = BuiltInGlyph(static_cast<TLampKind>(k), true);
        const QImage off = BuiltInGlyph(static_cast<TLampKind>(k), false);
        ASSERT_EQ(on.size(), QSize(15, 15));
        EXPECT_NE(on, off) << k;
        const QImage t = TransparentGlyph(on).toImage();
        EXPECT_EQ(qAlpha(t.pixel(0, 14)), 0);
        EXPECT_EQ(qAlpha(t.pixel(7, 7)), 255);
    }
    const QImage lit = CaptureLampGlyph(true), unlit = CaptureLampGlyph(false);
    EXPECT_EQ(lit.size(), QSize(16, 16));
    EXPECT_EQ(lit.pixelColor(7, 7), QColor(255, 255, 0));
    EXPECT_EQ(unlit.pixelColor(7, 7), QColor(128, 128, 0));  // the ring alone on olive
}

TEST(Lamp, UnboundStateChangesPictureAndRaisesOnChangeEvenWhenUnchanged) {
    TPortLamp led;
    std::vector<TLampState> seen;
    led.OnChange = [&](TPortLamp&, TLampState s) { seen.push_back(s); };
    led.SetState(lsOn);
    led.SetState(lsOn);
    EXPECT_EQ(seen, (std::vector<TLampState>{lsOn, lsOn}));
    EXPECT_EQ(led.State(), lsOn);
}

TEST(Lamp, BoundStateWriteIsRefusedWithCode19AndUnbindTurnsItOff) {
    TSerialPort port;
    TPortLamp led;
    led.SetState(lsOn);
    led.SetLedSignal(lsCTS);
    led.SetComPort(&port);  // closed: the state stays
    EXPECT_EQ(led.State(), lsOn);
    try {
        led.SetState(lsOff);
        FAIL() << "no error";
    } catch (const ESerialPort& e) {
        EXPECT_EQ(e.ErrorCode, 19);
        EXPECT_STREQ(e.what(), "Cannot change led state if ComPort is selected");
    }
    EXPECT_EQ(led.State(), lsOn);
    led.SetComPort(nullptr);
    EXPECT_EQ(led.State(), lsOff);
}

TEST(Lamp, DestroyedPortUnbindsTheLamp) {
    TPortLamp led;
    led.SetState(lsOn);
    {
        TSerialPort port;
        led.SetComPort(&port);
    }
    EXPECT_EQ(led.ComPort(), nullptr);
    EXPECT_EQ(led.State(), lsOff);
    led.SetState(lsOn);  // unbound again: allowed
}

TEST(Lamp, CustomGlyphsOnlyForCustomKind) {
    TPortLamp led;
    QImage red(16, 16, QImage::Format_RGB32);
    red.fill(Qt::red);
    led.SetGlyphOn(red);
    EXPECT_EQ(led.GlyphOn().width(), 15);  // ignored: built-in kind
    led.SetKind(lkCustom);
    led.SetGlyphOn(CaptureLampGlyph(true));
    EXPECT_EQ(led.GlyphOn().width(), 16);
}

TEST(ComboBox, ItemsFollowThePropertyAndTextMatchesWithoutCase) {
    TPortComboBox box;
    box.SetComProperty(cpParity);
    ASSERT_EQ(box.count(), 5);
    EXPECT_EQ(box.Text(), "None");  // unbound: the first item
    box.SetText("even");
    EXPECT_EQ(box.Text(), "Even");
    box.SetText("sideways");
    EXPECT_EQ(box.Text(), "Even");
    box.SetComProperty(cpBaudRate);
    EXPECT_EQ(box.count(), 16);
    EXPECT_EQ(box.itemText(0), "Custom");
    box.SetComProperty(cpNone);
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.Text(), "");
}

TEST(ComboBox, ReadsFromAndAppliesToTheBoundPort) {
    TSerialPort port;
    port.UseCaptureDefaults();
    TPortComboBox baud, flow;
    baud.SetComProperty(cpBaudRate);
    flow.SetComProperty(cpFlowControl);
    baud.SetComPort(&port);
    flow.SetComPort(&port);
    EXPECT_EQ(baud.Text(), "1200");
    EXPECT_EQ(flow.Text(), "None");
    baud.setCurrentIndex(baud.findText("115200"));
    emit baud.activated(baud.currentIndex());
    EXPECT_EQ(port.BaudRate(), br1200);  // nothing before the apply
    baud.ApplyToPort();
    EXPECT_EQ(port.BaudRate(), br115200);
    flow.setCurrentIndex(flow.findText("Custom"));
    emit flow.activated(flow.currentIndex());
    flow.ApplyToPort();
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(port.FlowControl().ControlDTR, dtrEnable);
}

// Confirming the port page without touching the port must not turn a name the list does not
// show (COM77, a network source) into COM1.
TEST(ComboBox, PortNameNotListedIsShownAsTypedTextAndKeptOnApply) {
    for (const char* name : {"COM77", "tcp://10.0.0.5:2300", "listen://:9100"}) {
        TSerialPort port;
        port.SetPort(name);
        TPortComboBox box;
        box.SetComProperty(cpPort);
        box.SetComPort(&port);
        EXPECT_EQ(box.currentIndex(), -1) << name;
        EXPECT_EQ(box.Text(), name);
        box.ApplyToPort();
        EXPECT_EQ(port.Port(), name);
    }
}

TEST(ComboBox, APortNameTypedInReachesThePortOnApplyOnly) {
    TSerialPort port;
    TPortComboBox box;
    box.SetComProperty(cpPort);
    box.SetComPort(&port);
    int changes = 0;
    box.OnChange = [&](TPortComboBox&) { ++changes; };
    ASSERT_TRUE(box.isEditable());
    box.lineEdit()->clear();
    QTest::keyClicks(box.lineEdit(), " tcp://pbx.office:2300");
    EXPECT_EQ(port.Port(), "COM1");
    QTest::keyClick(box.lineEdit(), Qt::Key_Return);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(box.count(), static_cast<int>([] {
                  std::vector<std::string> ports;
                  ListComPorts(ports);
                  return ports.size();
              }()));  // a typed name is not added to the list
    box.ApplyToPort();
    EXPECT_EQ(port.Port(), "tcp://pbx.office:2300");
    // Emptied, the field falls back to the first port, as an empty name always has.
    box.lineEdit()->clear();
    box.ApplyToPort();
    EXPECT_EQ(port.Port(), "COM1");
}

TEST(ComboBox, OnlyThePortNameTakesTypedText) {
    TPortComboBox box;
    for (TPortProperty p : {cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl, cpNone}) {
        box.SetComProperty(p);
        EXPECT_FALSE(box.isEditable()) << p;
    }
    box.SetComProperty(cpPort);
    EXPECT_TRUE(box.isEditable());
}

}  // namespace
