#pragma once
// Controls bound to a serial port: a drop-down list of one port setting, and a signal lamp.
#include <QComboBox>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "serial/SerialPort.h"

enum TPortProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };
enum TLampSignal { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum TLampKind {
    lkRedLight,
    lkGreenLight,
    lkBlueLight,
    lkYellowLight,
    lkPurpleLight,
    lkBulb,
    lkCustom
};
enum TLampState { lsOff, lsOn };

// The built-in pictures, 15 by 15 (none for lkCustom), and the main window's 16 by 16 lamp.
QImage BuiltInGlyph(TLampKind kind, bool on);
QImage CaptureLampGlyph(bool on);
// The picture with its bottom-left colour made transparent.
QPixmap TransparentGlyph(const QImage& image);

class TPortComboBox;

// The combo box's companion: the binding and the pending value of each setting kind.
class TPortSelect {
public:
    explicit TPortSelect(TPortComboBox& box) : Box(box) {}
    void SelectPort(TCustomSerialPort* port);
    void SetComProperty(TPortProperty property);
    void ReadFromPort();
    void ApplyToPort();
    void Change(const std::string& text);
    void PortDestroyed();

    TPortProperty ComProperty = cpNone;
    TCustomSerialPort* ComPort = nullptr;
    bool AutoApply = false;
    std::string PendingPort;
    TBaudRate PendingBaudRate = brCustom;
    TDataBits PendingDataBits = dbFive;
    TStopBits PendingStopBits = sbOneStopBit;
    TParityBits PendingParity = prNone;
    TFlowControl PendingFlowControl = fcHardware;

private:
    void FillItems();
    void TakeText(const std::string& text);
    TPortComboBox& Box;
};

class TPortComboBox : public QComboBox, public TComponent {
public:
    explicit TPortComboBox(QWidget* parent = nullptr);
    ~TPortComboBox() override;

    TCustomSerialPort* ComPort() const { return Select.ComPort; }
    void SetComPort(TCustomSerialPort* port) { Select.SelectPort(port); }
    TPortProperty ComProperty() const { return Select.ComProperty; }
    void SetComProperty(TPortProperty p) { Select.SetComProperty(p); }
    bool AutoApply() const { return Select.AutoApply; }
    void SetAutoApply(bool on) { Select.AutoApply = on; }
    // Windows-1251 texts.
    std::string Text() const;
    void SetText(const std::string& text);

    // Editable for the port name: any text besides the listed devices.
    void UseFreeText(bool on);

    void ApplyToPort() { Select.ApplyToPort(); }
    void ReadFromPort() { Select.ReadFromPort(); }
    const TPortSelect& Pending() const { return Select; }

    std::function<void(TPortComboBox& sender)> OnChange;

protected:
    void Notification(TComponent& component, TOperation operation) override;

private:
    TPortSelect Select;
};

class TPortLamp : public QWidget, public TComponent {
public:
    explicit TPortLamp(QWidget* parent = nullptr);
    ~TPortLamp() override;

    TSerialPort* ComPort() const { return Port; }
    void SetComPort(TSerialPort* port);
    TLampSignal LedSignal() const { return Signal; }
    void SetLedSignal(TLampSignal signal);
    TLampKind Kind() const { return Kind_; }
    void SetKind(TLampKind kind);
    const QPixmap& GlyphOn() const { return On; }
    const QPixmap& GlyphOff() const { return Off; }
    void SetGlyphOn(const QImage& image);
    void SetGlyphOff(const QImage& image);
    TLampState State() const { return State_; }
    // Only without a bound port; otherwise ESerialPort code 19.
    void SetState(TLampState state);
    int RingDuration() const { return RingTimer.interval(); }
    void SetRingDuration(int ms) { RingTimer.setInterval(ms); }
    bool RingActive() const { return RingTimer.isActive(); }

    std::function<void(TPortLamp& sender, TLampState state)> OnChange;

    // Where the current picture is drawn, in client coordinates.
    QPoint GlyphPos() const;
    QSize sizeHint() const override { return QSize(25, 25); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void Notification(TComponent& component, TOperation operation) override;

private:
    void StateChanged(TLampState state);
    void SignalChange(bool onOff);
    void RingSignal();
    void LoadBuiltIn();
    bool IsStateOn() const;
    const QPixmap& Current() const;

    TSerialPort* Port = nullptr;
    TLampSignal Signal = lsConn;
    TLampKind Kind_ = lkRedLight;
    TLampState State_ = lsOff;
    QPixmap On, Off;
    QTimer RingTimer;
    std::unique_ptr<TPortLink> Link;
};
