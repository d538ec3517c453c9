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

#include "serial/CPort.h"

enum TComProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };
enum TComLedSignal { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum TLedKind {
    lkRedLight,
    lkGreenLight,
    lkBlueLight,
    lkYellowLight,
    lkPurpleLight,
    lkBulb,
    lkCustom
};
enum TLedState { lsOff, lsOn };

// The built-in pictures, 15 by 15 (none for lkCustom), and the main window's 16 by 16 lamp.
QImage BuiltInGlyph(TLedKind kind, bool on);
QImage CaptureLampGlyph(bool on);
// The picture with its bottom-left colour made transparent.
QPixmap TransparentGlyph(const QImage& image);

class TComComboBox;

// The combo box's companion: the binding and the pending value of each setting kind.
class TComSelect {
public:
    explicit TComSelect(TComComboBox& box) : Box(box) {}
    void SelectPort(TCustomComPort* port);
    void SetComProperty(TComProperty property);
    void ReadFromPort();
    void ApplyToPort();
    void Change(const std::string& text);
    void PortDestroyed();

    TComProperty ComProperty = cpNone;
    TCustomComPort* ComPort = nullptr;
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
    TComComboBox& Box;
};

class TComComboBox : public QComboBox, public TComponent {
public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort* ComPort() const { return Select.ComPort; }
    void SetComPort(TCustomComPort* port) { Select.SelectPort(port); }
    TComProperty ComProperty() const { return Select.ComProperty; }
    void SetComProperty(TComProperty p) { Select.SetComProperty(p); }
    bool AutoApply() const { return Select.AutoApply; }
    void SetAutoApply(bool on) { Select.AutoApply = on; }
    // Windows-1251 texts.
    std::string Text() const;
    void SetText(const std::string& text);

    void ApplyToPort() { Select.ApplyToPort(); }
    void ReadFromPort() { Select.ReadFromPort(); }
    const TComSelect& Pending() const { return Select; }

    std::function<void(TComComboBox& sender)> OnChange;

protected:
    void Notification(TComponent& component, TOperation operation) override;

private:
    TComSelect Select;
};

class TComLed : public QWidget, public TComponent {
public:
    explicit TComLed(QWidget* parent = nullptr);
    ~TComLed() override;

    TComPort* ComPort() const { return Port; }
    void SetComPort(TComPort* port);
    TComLedSignal LedSignal() const { return Signal; }
    void SetLedSignal(TComLedSignal signal);
    TLedKind Kind() const { return Kind_; }
    void SetKind(TLedKind kind);
    const QPixmap& GlyphOn() const { return On; }
    const QPixmap& GlyphOff() const { return Off; }
    void SetGlyphOn(const QImage& image);
    void SetGlyphOff(const QImage& image);
    TLedState State() const { return State_; }
    // Only without a bound port; otherwise EComPort code 19.
    void SetState(TLedState state);
    int RingDuration() const { return RingTimer.interval(); }
    void SetRingDuration(int ms) { RingTimer.setInterval(ms); }
    bool RingActive() const { return RingTimer.isActive(); }

    std::function<void(TComLed& sender, TLedState state)> OnChange;

    // Where the current picture is drawn, in client coordinates.
    QPoint GlyphPos() const;
    QSize sizeHint() const override { return QSize(25, 25); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void Notification(TComponent& component, TOperation operation) override;

private:
    void StateChanged(TLedState state);
    void SignalChange(bool onOff);
    void RingSignal();
    void LoadBuiltIn();
    bool IsStateOn() const;
    const QPixmap& Current() const;

    TComPort* Port = nullptr;
    TComLedSignal Signal = lsConn;
    TLedKind Kind_ = lkRedLight;
    TLedState State_ = lsOff;
    QPixmap On, Off;
    QTimer RingTimer;
    std::unique_ptr<TComLink> Link;
};
