#include "serial/PortControls.h"

#include <QEvent>
#include <QLineEdit>
#include <QPainter>
#include <QRadialGradient>

#include "common/Text.h"
#include "platform/QtText.h"

namespace {
using platform::FromAnsi;
using platform::ToAnsi;
}  // namespace

namespace {

// Background of every built-in glyph; as the bottom-left colour it is the transparent one.
const QColor kFace(192, 192, 192);
const QColor kOlive(128, 128, 0);

QColor KindColour(TLampKind kind) {
    switch (kind) {
        case lkRedLight:
            return QColor(255, 0, 0);
        case lkGreenLight:
            return QColor(0, 255, 0);
        case lkBlueLight:
            return QColor(0, 0, 255);
        case lkYellowLight:
            return QColor(255, 255, 0);
        case lkPurpleLight:
            return QColor(255, 0, 255);
        case lkBulb:
            return QColor(255, 255, 160);
        case lkCustom:
            break;
    }
    return kFace;
}

QImage Blank(int size, const QColor& background) {
    QImage img(size, size, QImage::Format_RGB32);
    img.fill(background);
    return img;
}

QImage RoundLamp(const QColor& colour, bool on) {
    QImage img = Blank(15, kFace);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor lit = on ? colour : colour.darker(300);
    QRadialGradient g(QPointF(5.5, 5.5), 7);
    g.setColorAt(0, on ? QColor(255, 255, 255) : lit.lighter(150));
    g.setColorAt(0.4, lit);
    g.setColorAt(1, lit.darker(150));
    p.setPen(QColor(64, 64, 64));
    p.setBrush(g);
    p.drawEllipse(1, 1, 12, 12);
    return img;
}

QImage Bulb(bool on) {
    QImage img = Blank(15, kFace);
    QPainter p(&img);
    p.setPen(QColor(64, 64, 64));
    p.setBrush(on ? QColor(255, 255, 128) : QColor(128, 128, 128));
    p.drawEllipse(3, 0, 8, 9);
    p.setBrush(QColor(160, 160, 160));
    p.drawRect(5, 9, 4, 4);
    p.drawLine(6, 14, 8, 14);
    return img;
}

}  // namespace

QPixmap TransparentGlyph(const QImage& image) {
    if (image.isNull()) return QPixmap();
    QImage img = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = img.pixel(0, img.height() - 1) | 0xff000000u;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) | 0xff000000u) == key) img.setPixel(x, y, qRgba(0, 0, 0, 0));
    return QPixmap::fromImage(img);
}

QImage BuiltInGlyph(TLampKind kind, bool on) {
    if (kind == lkCustom) return QImage();
    if (kind == lkBulb) return Bulb(on);
    return RoundLamp(KindColour(kind), on);
}

QImage CaptureLampGlyph(bool on) {
    QImage img = Blank(16, kOlive);
    QPainter p(&img);
    if (on) {
        p.setPen(QPen(QColor(255, 255, 0), 1));
        const QLine rays[] = {{7, 0, 8, 0}, {7, 15, 8, 15},   {0, 7, 0, 8},   {15, 7, 15, 8},
                              {2, 2, 3, 3}, {12, 12, 13, 13}, {12, 3, 13, 2}, {2, 13, 3, 12}};
        for (const QLine& r : rays) p.drawLine(r);
        p.setBrush(QColor(255, 255, 0));
    } else {
        p.setBrush(Qt::NoBrush);
    }
    p.setPen(QPen(Qt::black, 1));
    p.drawEllipse(3, 3, 9, 9);
    return img;
}

// ---- combo box ----

void TPortSelect::FillItems() {
    Box.clear();
    QStringList items;
    auto add = [&items](const std::string& t) { items << FromAnsi(t); };
    switch (ComProperty) {
        case cpNone:
            break;
        case cpPort: {
            std::vector<std::string> ports;
            ListComPorts(ports);
            for (const auto& p : ports) add(p);
            break;
        }
        case cpBaudRate:
            for (int i = brCustom; i <= br256000; ++i)
                add(BaudRateToText(static_cast<TBaudRate>(i)));
            break;
        case cpDataBits:
            for (int i = dbFive; i <= dbEight; ++i) add(DataBitsToText(static_cast<TDataBits>(i)));
            break;
        case cpStopBits:
            for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i)
                add(StopBitsToText(static_cast<TStopBits>(i)));
            break;
        case cpParity:
            for (int i = prNone; i <= prSpace; ++i) add(ParityToText(static_cast<TParityBits>(i)));
            break;
        case cpFlowControl:
            for (int i = fcHardware; i <= fcCustom; ++i)
                add(FlowControlToText(static_cast<TFlowControl>(i)));
            break;
    }
    Box.addItems(items);
}

void TPortSelect::SetComProperty(TPortProperty property) {
    ComProperty = property;
    const QSignalBlocker quiet(Box);
    // A port is also a name typed in: a device the list does not show, or a network source.
    Box.UseFreeText(property == cpPort);
    FillItems();
    if (Box.count() == 0) return;
    if (!ComPort)
        Box.setCurrentIndex(0);
    else
        ReadFromPort();
}

void TPortSelect::SelectPort(TCustomSerialPort* port) {
    if (port == ComPort) return;
    if (ComPort) ComPort->RemoveFreeNotification(Box);
    ComPort = port;
    if (ComPort) {
        ComPort->FreeNotification(Box);
        ReadFromPort();
    }
}

void TPortSelect::ReadFromPort() {
    if (!ComPort || ComProperty == cpNone) return;
    std::string value;
    switch (ComProperty) {
        case cpNone:
            return;
        case cpPort:
            value = ComPort->Port();
            break;
        case cpBaudRate:
            value = BaudRateToText(ComPort->BaudRate());
            break;
        case cpDataBits:
            value = DataBitsToText(ComPort->DataBits());
            break;
        case cpStopBits:
            value = StopBitsToText(ComPort->StopBits());
            break;
        case cpParity:
            value = ParityToText(ComPort->Parity().Bits());
            break;
        case cpFlowControl:
            value = FlowControlToText(ComPort->FlowControl().FlowControl());
            break;
    }
    const QSignalBlocker quiet(Box);
    for (int i = 0; i < Box.count(); ++i) {
        if (SameText1251(ToAnsi(Box.itemText(i)), value)) {
            Box.setCurrentIndex(i);
            TakeText(ToAnsi(Box.itemText(i)));
            return;
        }
    }
    Box.setCurrentIndex(-1);
    if (Box.isEditable()) {
        // A name not listed is shown as it is, and confirming keeps it.
        Box.setEditText(FromAnsi(value));
        TakeText(value);
    }
}

void TPortSelect::TakeText(const std::string& text) {
    switch (ComProperty) {
        case cpNone:
            break;
        case cpPort:
            PendingPort = text;
            break;
        case cpBaudRate:
            PendingBaudRate = TextToBaudRate(text);
            break;
        case cpDataBits:
            PendingDataBits = TextToDataBits(text);
            break;
        case cpStopBits:
            PendingStopBits = TextToStopBits(text);
            break;
        case cpParity:
            PendingParity = TextToParity(text);
            break;
        case cpFlowControl:
            PendingFlowControl = TextToFlowControl(text);
            break;
    }
}

void TPortSelect::Change(const std::string& text) {
    TakeText(text);
    if (AutoApply) ApplyToPort();
    if (Box.OnChange) Box.OnChange(Box);
}

void TPortSelect::ApplyToPort() {
    if (!ComPort) return;
    switch (ComProperty) {
        case cpNone:
            break;
        case cpPort:
            // What is typed counts even when the field never lost the focus.
            if (Box.isEditable()) PendingPort = Box.Text();
            ComPort->SetPort(PendingPort);
            break;
        case cpBaudRate:
            ComPort->SetBaudRate(PendingBaudRate);
            break;
        case cpDataBits:
            ComPort->SetDataBits(PendingDataBits);
            break;
        case cpStopBits:
            ComPort->SetStopBits(PendingStopBits);
            break;
        case cpParity:
            ComPort->Parity().SetBits(PendingParity);
            break;
        case cpFlowControl:
            ComPort->FlowControl().SetFlowControl(PendingFlowControl);
            break;
    }
}

void TPortSelect::PortDestroyed() {
    ComPort = nullptr;
    if (Box.count() > 0) {
        const QSignalBlocker quiet(Box);
        Box.setCurrentIndex(0);
    }
}

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent), Select(*this) {
    setEditable(false);
    connect(this, &QComboBox::activated, this, [this](int) { Select.Change(Text()); });
}

TPortComboBox::~TPortComboBox() {
    if (Select.ComPort) Select.ComPort->RemoveFreeNotification(*this);
}

std::string TPortComboBox::Text() const {
    if (isEditable()) return ToAnsi(currentText());
    return currentIndex() < 0 ? std::string() : ToAnsi(currentText());
}

void TPortComboBox::UseFreeText(bool on) {
    if (on == isEditable()) return;
    setEditable(on);
    if (!on) return;
    setInsertPolicy(QComboBox::NoInsert);
    // A typed name is a choice once it is finished, as a picked item is at once.
    connect(lineEdit(), &QLineEdit::editingFinished, this, [this] {
        if (ToAnsi(currentText()) != Select.PendingPort) Select.Change(Text());
    });
}

void TPortComboBox::SetText(const std::string& text) {
    for (int i = 0; i < count(); ++i)
        if (SameText1251(ToAnsi(itemText(i)), text)) {
            const QSignalBlocker quiet(this);
            setCurrentIndex(i);
            return;
        }
}

void TPortComboBox::Notification(TComponent& component, TOperation operation) {
    if (operation == opRemove && &component == Select.ComPort) Select.PortDestroyed();
}

// ---- lamp ----

TPortLamp::TPortLamp(QWidget* parent) : QWidget(parent), Link(std::make_unique<TPortLink>()) {
    resize(25, 25);
    RingTimer.setInterval(1000);
    QObject::connect(&RingTimer, &QTimer::timeout, this, [this] {
        RingTimer.stop();
        StateChanged(lsOff);
    });
    Link->OnConnChange = [this](TCustomSerialPort&, bool on) { SignalChange(on); };
    LoadBuiltIn();
}

TPortLamp::~TPortLamp() {
    RingTimer.stop();
    if (Port) {
        Port->UnRegisterLink(*Link);
        Port->RemoveFreeNotification(*this);
    }
}

void TPortLamp::SetComPort(TSerialPort* port) {
    if (port == Port) return;
    if (Port) {
        Port->UnRegisterLink(*Link);
        Port->RemoveFreeNotification(*this);
    }
    Port = port;
    if (Port) {
        Port->FreeNotification(*this);
        Port->RegisterLink(*Link);
        if (Port->Connected()) StateChanged(IsStateOn() ? lsOn : lsOff);
    } else {
        StateChanged(lsOff);
    }
}

bool TPortLamp::IsStateOn() const {
    switch (Signal) {
        case lsConn:
            return Port->Connected();
        case lsCTS:
            return (Port->LineSignals() & lsCTSBit) != 0;
        case lsDSR:
            return (Port->LineSignals() & lsDSRBit) != 0;
        case lsRLSD:
            return (Port->LineSignals() & lsRLSDBit) != 0;
        case lsRing:
        case lsRx:
        case lsTx:
            return false;
    }
    return false;
}

void TPortLamp::SetLedSignal(TLampSignal signal) {
    if (signal == Signal) return;
    Signal = signal;
    TPortLink& l = *Link;
    l.OnConnChange = nullptr;
    l.OnCTSChange = nullptr;
    l.OnDSRChange = nullptr;
    l.OnRLSDChange = nullptr;
    l.OnRing = nullptr;
    l.OnTxActive = nullptr;
    l.OnRxActive = nullptr;
    auto change = [this](TCustomSerialPort&, bool on) { SignalChange(on); };
    switch (signal) {
        case lsConn:
            l.OnConnChange = change;
            break;
        case lsCTS:
            l.OnCTSChange = change;
            break;
        case lsDSR:
            l.OnDSRChange = change;
            break;
        case lsRLSD:
            l.OnRLSDChange = change;
            break;
        case lsRx:
            l.OnRxActive = change;
            break;
        case lsTx:
            l.OnTxActive = change;
            break;
        case lsRing:
            l.OnRing = [this](TCustomSerialPort&) { RingSignal(); };
            break;
    }
}

void TPortLamp::SignalChange(bool onOff) {
    StateChanged(onOff ? lsOn : lsOff);
    repaint();
}

void TPortLamp::RingSignal() {
    if (!RingTimer.isActive()) RingTimer.start();
    StateChanged(lsOn);
}

void TPortLamp::StateChanged(TLampState state) {
    State_ = state;
    if (OnChange) OnChange(*this, state);
    update();
}

void TPortLamp::SetState(TLampState state) {
    if (Port) throw ESerialPort(19);
    StateChanged(state);
}

void TPortLamp::LoadBuiltIn() {
    if (Kind_ == lkCustom) return;
    On = TransparentGlyph(BuiltInGlyph(Kind_, true));
    Off = TransparentGlyph(BuiltInGlyph(Kind_, false));
}

void TPortLamp::SetKind(TLampKind kind) {
    if (kind == Kind_) return;
    Kind_ = kind;
    LoadBuiltIn();
    update();
}

void TPortLamp::SetGlyphOn(const QImage& image) {
    if (Kind_ != lkCustom) return;
    On = TransparentGlyph(image);
    update();
}

void TPortLamp::SetGlyphOff(const QImage& image) {
    if (Kind_ != lkCustom) return;
    Off = TransparentGlyph(image);
    update();
}

const QPixmap& TPortLamp::Current() const {
    return State_ == lsOn && isEnabled() ? On : Off;
}

QPoint TPortLamp::GlyphPos() const {
    const QPixmap& g = State_ == lsOn ? On : Off;
    return QPoint(std::max(0, (width() - g.width()) / 2), std::max(0, (height() - g.height()) / 2));
}

void TPortLamp::paintEvent(QPaintEvent*) {
    if (On.isNull() || Off.isNull()) LoadBuiltIn();
    QPainter p(this);
    p.drawPixmap(GlyphPos(), Current());
}

void TPortLamp::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) update();
}

void TPortLamp::Notification(TComponent& component, TOperation operation) {
    if (operation == opRemove && &component == Port) {
        Port = nullptr;  // the port is going: nothing to unregister from
        StateChanged(lsOff);
    }
}
