#include "serial/SerialPort.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "common/Text.h"
#include "platform/Ini.h"
#include "platform/MessageLoop.h"
#include "platform/NetSource.h"

// ---- errors -------------------------------------------------------------------------------

namespace {
const char* const kMessages[] = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set SyncMethod while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
};

std::string ErrorText(int code, int systemError) {
    std::string text = code >= 1 && code <= 22 ? kMessages[code] : "";
    if (systemError != -1) text += " (win error code: " + std::to_string(systemError) + ")";
    return text;
}

std::mutex gReportMutex;
std::function<void(const std::exception&)> gReport;
}  // namespace

ESerialPort::ESerialPort(int code, int systemError)
    : EError(ErrorText(code, systemError)), ErrorCode(code), SystemError(systemError) {}

void SetApplicationExceptionReport(std::function<void(const std::exception&)> report) {
    std::lock_guard<std::mutex> lock(gReportMutex);
    gReport = std::move(report);
}

void ReportApplicationException(const std::exception& e) {
    std::function<void(const std::exception&)> report;
    {
        std::lock_guard<std::mutex> lock(gReportMutex);
        report = gReport;
    }
    if (report)
        report(e);
    else
        std::cerr << e.what() << "\n";
}

// ---- component base -----------------------------------------------------------------------

TComponent::~TComponent() {
    AnnounceDestruction();
}

void TComponent::FreeNotification(TComponent& other) {
    if (std::find(listeners_.begin(), listeners_.end(), &other) == listeners_.end())
        listeners_.push_back(&other);
    if (std::find(other.listeners_.begin(), other.listeners_.end(), this) == other.listeners_.end())
        other.listeners_.push_back(this);  // each side forgets the other when it goes
}

void TComponent::RemoveFreeNotification(TComponent& other) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), &other), listeners_.end());
    other.listeners_.erase(std::remove(other.listeners_.begin(), other.listeners_.end(), this),
                           other.listeners_.end());
}

void TComponent::AnnounceDestruction() {
    if (notified_) return;
    notified_ = true;
    const std::vector<TComponent*> listeners = listeners_;
    for (TComponent* l : listeners) {
        l->listeners_.erase(std::remove(l->listeners_.begin(), l->listeners_.end(), this),
                            l->listeners_.end());
        l->Notification(*this, opRemove);
    }
    listeners_.clear();
}

// ---- settings groups ----------------------------------------------------------------------

TPortParity& TPortParity::operator=(const TPortParity& o) {
    bits_ = o.bits_;
    check_ = o.check_;
    replace_ = o.replace_;
    replaceChar_ = o.replaceChar_;
    Changed();
    return *this;
}
void TPortParity::SetBits(TParityBits v) {
    bits_ = v, Changed();
}
void TPortParity::SetCheck(bool v) {
    check_ = v, Changed();
}
void TPortParity::SetReplace(bool v) {
    replace_ = v, Changed();
}
void TPortParity::SetReplaceChar(char v) {
    replaceChar_ = v, Changed();
}
void TPortParity::Changed() {
    if (port_) port_->ApplyLineSettings();
}

TPortFlowControl& TPortFlowControl::operator=(const TPortFlowControl& o) {
    OutCTSFlow = o.OutCTSFlow;
    OutDSRFlow = o.OutDSRFlow;
    ControlDTR = o.ControlDTR;
    ControlRTS = o.ControlRTS;
    XonXoffOut = o.XonXoffOut;
    XonXoffIn = o.XonXoffIn;
    DSRSensitivity = o.DSRSensitivity;
    TxContinueOnXoff = o.TxContinueOnXoff;
    XonChar = o.XonChar;
    XoffChar = o.XoffChar;
    Changed();
    return *this;
}

TFlowControl TPortFlowControl::FlowControl() const {
    if (ControlRTS == rtsHandshake && OutCTSFlow && !XonXoffIn && !XonXoffOut) return fcHardware;
    if (ControlRTS == rtsDisable && !OutCTSFlow && XonXoffIn && XonXoffOut) return fcSoftware;
    if (ControlRTS == rtsDisable && !OutCTSFlow && !XonXoffIn && !XonXoffOut) return fcNone;
    return fcCustom;
}

void TPortFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        ControlRTS = rtsDisable;
        OutCTSFlow = XonXoffIn = XonXoffOut = false;
        if (v == fcHardware) {
            ControlRTS = rtsHandshake;
            OutCTSFlow = true;
        } else if (v == fcSoftware) {
            XonXoffIn = XonXoffOut = true;
        }
    }
    Changed();
}

void TPortFlowControl::Changed() {
    if (port_) port_->ApplyLineSettings();
}

TPortTimeouts& TPortTimeouts::operator=(const TPortTimeouts& o) {
    ReadInterval = o.ReadInterval;
    ReadTotalMultiplier = o.ReadTotalMultiplier;
    ReadTotalConstant = o.ReadTotalConstant;
    WriteTotalMultiplier = o.WriteTotalMultiplier;
    WriteTotalConstant = o.WriteTotalConstant;
    if (port_) port_->ApplyTimeouts();
    return *this;
}

void TPortTimeouts::Set(int32_t TPortTimeouts::*field, int32_t v) {
    this->*field = v;
    if (port_) port_->ApplyTimeouts();
}

TPortBuffer& TPortBuffer::operator=(const TPortBuffer& o) {
    input_ = o.input_;
    output_ = o.output_;
    if (port_) port_->ApplyBufferSizes();
    return *this;
}
void TPortBuffer::SetInputSize(int32_t v) {
    input_ = v > 0 && (v & 1) ? v - 1 : v;
    if (port_) port_->ApplyBufferSizes();
}
void TPortBuffer::SetOutputSize(int32_t v) {
    output_ = v > 0 && (v & 1) ? v - 1 : v;
    if (port_) port_->ApplyBufferSizes();
}

// ---- port ---------------------------------------------------------------------------------

TCustomSerialPort::TCustomSerialPort() {
    Name = "ComPort";
}

TCustomSerialPort::~TCustomSerialPort() {
    try {
        Close();
    } catch (...) {
        thread_.reset();
        device_.reset();
    }
    ReapRetired(true);
    AnnounceDestruction();
}

// A close from inside the port's own batch cannot wait for the worker, which waits for that
// very batch to return.
bool TCustomSerialPort::InOwnDelivery() const {
    if (!thread_) return false;
    return thread_->OnThisThread() || (deliveryDepth_ > 0 && platform::IsMainThread());
}

void TCustomSerialPort::ReapRetired(bool wait) {
    retired_.erase(std::remove_if(retired_.begin(), retired_.end(),
                                  [wait](const std::unique_ptr<TPortEventThread>& t) {
                                      return wait || t->Finished();
                                  }),
                   retired_.end());
}

std::string NormalizePortName(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    const std::string trimmed = Trim(name);
    if (platform::IsNetworkPortName(trimmed)) return trimmed;
    std::string rest = name;
    if (rest.size() >= 3 && SameText1251(rest.substr(0, 3), "COM")) rest = rest.substr(3);
    int n = StrToIntDef(rest, 1);
    if (n <= 0 || n > 96) n = 1;
    return "COM" + std::to_string(n);
}

std::string TCustomSerialPort::DevicePath(const std::string& port) {
    if ((!port.empty() && port[0] == '/') || platform::IsNetworkPortName(port)) return port;
    return "/dev/ttyS" + std::to_string(StrToIntDef(port.substr(3), 1) - 1);
}

void TCustomSerialPort::SetPort(const std::string& name) {
    const std::string normal = NormalizePortName(name);
    if (normal == port_) return;
    port_ = normal;
    if (connected_) {
        Close();
        Open();
    }
}

void TCustomSerialPort::SetConnected(bool v) {
    if (v != connected_) v ? Open() : Close();
}

void TCustomSerialPort::SetBaudRate(TBaudRate v) {
    baudRate_ = v, ApplyLineSettings();
}
void TCustomSerialPort::SetCustomBaudRate(int32_t v) {
    customBaudRate_ = v, ApplyLineSettings();
}
void TCustomSerialPort::SetStopBits(TStopBits v) {
    stopBits_ = v, ApplyLineSettings();
}
void TCustomSerialPort::SetDataBits(TDataBits v) {
    dataBits_ = v, ApplyLineSettings();
}
void TCustomSerialPort::SetDiscardNull(bool v) {
    discardNull_ = v, ApplyLineSettings();
}
void TCustomSerialPort::SetEventChar(char v) {
    eventChar_ = v, ApplyLineSettings();
}

void TCustomSerialPort::SetSyncMethod(TSyncMethod v) {
    if (v == syncMethod_) return;
    if (connected_) throw ESerialPort(14);
    syncMethod_ = v;
}

void TCustomSerialPort::OpenDevice() {
    int error = 0;
    if (platform::IsNetworkPortName(port_)) {
        platform::TNetOptions options;
        options.Login = login_;
        options.Password = password_;
        options.Allow = allow_;
        options.KeepAliveSeconds = keepAlive_;
        options.IdleMs = idle_ * 60 * 1000;
        device_ = platform::OpenNetworkDevice(port_, options, error);
    } else {
        device_ = platform::OpenSerialDevice(DevicePath(port_), error);
    }
    if (!device_) throw ESerialPort(1, error);
}

namespace {
// Settings that reach a peer or a log: no control characters (a CR in a login would send a
// second line), and no more than the limit.
std::string CleanText(const std::string& v, size_t max) {
    std::string out;
    for (char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 32 && u != 127 && out.size() < max) out += c;
    }
    return out;
}
}  // namespace

void TCustomSerialPort::SetLogin(const std::string& v) {
    login_ = CleanText(v, kLoginMax);
}
void TCustomSerialPort::SetPassword(const std::string& v) {
    password_ = CleanText(v, kLoginMax);
}
void TCustomSerialPort::SetAllow(const std::string& v) {
    allow_ = CleanText(v, kAllowMax);
}
void TCustomSerialPort::SetKeepAlive(int seconds) {
    keepAlive_ = std::clamp(seconds, kKeepAliveMin, kKeepAliveMax);
}
void TCustomSerialPort::SetIdle(int minutes) {
    idle_ = std::clamp(minutes, 0, kIdleMax);
}

void TCustomSerialPort::CloseDevice() {
    device_.reset();
}

void TCustomSerialPort::Open() {
    if (connected_) return;
    ReapRetired(false);
    if (OnBeforeOpen) OnBeforeOpen(*this);
    OpenDevice();
    connected_ = true;
    try {
        ApplyAll();
    } catch (...) {
        CloseDevice();
        connected_ = false;
        throw;
    }
    if (events_ != 0) thread_ = std::make_unique<TPortEventThread>(*this);
    ForLinks([this](TPortLink& l) {
        if (l.OnConnChange) l.OnConnChange(*this, true);
    });
    if (OnAfterOpen) OnAfterOpen(*this);
    HandleCTSChange();
    HandleDSRChange();
    HandleRLSDChange();
}

void TCustomSerialPort::Close() {
    if (!connected_) return;
    ForLinks([this](TPortLink& l) {
        if (l.OnCTSChange) l.OnCTSChange(*this, false);
    });
    ForLinks([this](TPortLink& l) {
        if (l.OnDSRChange) l.OnDSRChange(*this, false);
    });
    ForLinks([this](TPortLink& l) {
        if (l.OnRLSDChange) l.OnRLSDChange(*this, false);
    });
    if (OnCTSChange) OnCTSChange(*this, false);
    if (OnDSRChange) OnDSRChange(*this, false);
    if (OnRLSDChange) OnRLSDChange(*this, false);
    if (OnBeforeClose) OnBeforeClose(*this);
    AbortPending();
    if (thread_ && InOwnDelivery()) {
        // The worker leaves after this batch and releases the device itself.
        thread_->Stop();
        retired_.push_back(std::move(thread_));
    }
    thread_.reset();
    CloseDevice();
    connected_ = false;
    ForLinks([this](TPortLink& l) {
        if (l.OnConnChange) l.OnConnChange(*this, false);
    });
    if (OnAfterClose) OnAfterClose(*this);
}

void TCustomSerialPort::ApplyAll() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeouts();
}

void TCustomSerialPort::EndUpdate() {
    if (updateDepth_ == 0) return;
    if (--updateDepth_ == 0) ApplyAll();
}

platform::TDcb TCustomSerialPort::BuildDcb() const {
    static const uint32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                      14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    platform::TDcb d;
    d.DCBlength = 28;
    d.BaudRate = baudRate_ == brCustom ? static_cast<uint32_t>(customBaudRate_) : kRates[baudRate_];
    d.fBinary = true;
    d.fParity = parity_.Check();
    d.fOutxCtsFlow = flowControl_.OutCTSFlow;
    d.fOutxDsrFlow = flowControl_.OutDSRFlow;
    d.fDtrControl = static_cast<uint8_t>(flowControl_.ControlDTR);
    d.fDsrSensitivity = flowControl_.DSRSensitivity;
    d.fTXContinueOnXoff = flowControl_.TxContinueOnXoff;
    d.fOutX = flowControl_.XonXoffOut;
    d.fInX = flowControl_.XonXoffIn;
    d.fErrorChar = parity_.Check() && parity_.Replace();
    d.fNull = discardNull_;
    d.fRtsControl = static_cast<uint8_t>(flowControl_.ControlRTS);
    d.fAbortOnError = false;
    d.XonLim = d.XoffLim = static_cast<uint16_t>(buffer_.InputSize() / 4);
    d.ByteSize = static_cast<uint8_t>(5 + dataBits_);
    d.Parity = static_cast<uint8_t>(parity_.Bits());
    d.StopBits = static_cast<uint8_t>(stopBits_);
    d.XonChar = flowControl_.XonChar;
    d.XoffChar = flowControl_.XoffChar;
    d.ErrorChar = d.fErrorChar ? parity_.ReplaceChar() : 0;
    d.EvtChar = eventChar_;
    return d;
}

void TCustomSerialPort::ApplyLineSettings() {
    if (!connected_ || updateDepth_ != 0 || !device_) return;
    if (!device_->SetCommState(BuildDcb())) throw ESerialPort(7, device_->LastError());
}

void TCustomSerialPort::ApplyTimeouts() {
    if (!connected_ || updateDepth_ != 0 || !device_) return;
    platform::TCommTimeouts t;
    t.ReadIntervalTimeout = static_cast<uint32_t>(timeouts_.ReadInterval);
    t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_.ReadTotalMultiplier);
    t.ReadTotalTimeoutConstant = static_cast<uint32_t>(timeouts_.ReadTotalConstant);
    t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_.WriteTotalMultiplier);
    t.WriteTotalTimeoutConstant = static_cast<uint32_t>(timeouts_.WriteTotalConstant);
    if (!device_->SetCommTimeouts(t)) throw ESerialPort(8, device_->LastError());
}

void TCustomSerialPort::ApplyBufferSizes() {
    if (!connected_ || updateDepth_ != 0 || !device_) return;
    if (!device_->SetupComm(static_cast<uint32_t>(buffer_.InputSize()),
                            static_cast<uint32_t>(buffer_.OutputSize())))
        throw ESerialPort(9, device_->LastError());
}

int32_t TCustomSerialPort::StartRead(char* buffer, int32_t count, TAsyncOp* op) {
    if (!op) throw ESerialPort(4);
    op->OpKind = TAsyncOp::okRead;
    uint32_t done = 0;
    if (!device_ || !device_->Read(buffer, static_cast<uint32_t>(std::max(0, count)), done))
        throw ESerialPort(3, device_ ? device_->LastError() : -1);
    op->Transferred = done;
    return static_cast<int32_t>(done);
}

int32_t TCustomSerialPort::WaitAsync(TAsyncOp* op) {
    if (!op) throw ESerialPort(4);
    if (PendingInput() == 0)
        ForLinks([this](TPortLink& l) {
            if (l.OnRxActive) l.OnRxActive(*this, false);
        });
    return static_cast<int32_t>(op->Transferred);
}

int32_t TCustomSerialPort::Read(char* buffer, int32_t count) {
    TAsyncOp op;
    StartRead(buffer, count, &op);
    return WaitAsync(&op);
}

int32_t TCustomSerialPort::ReadText(std::string& text, int32_t count) {
    text.assign(static_cast<size_t>(std::max(0, count)), '\0');
    const int32_t n = Read(text.data(), count);
    text.resize(static_cast<size_t>(n));
    return n;
}

int32_t TCustomSerialPort::PendingInput() {
    uint32_t errors = 0, queue = 0;
    if (!device_ || !device_->ClearCommError(errors, queue))
        throw ESerialPort(10, device_ ? device_->LastError() : -1);
    return static_cast<int32_t>(queue);
}

TPortSignals TCustomSerialPort::LineSignals() {
    uint32_t status = 0;
    if (!device_ || !device_->GetCommModemStatus(status))
        throw ESerialPort(11, device_ ? device_->LastError() : -1);
    TPortSignals s = 0;
    if (status & platform::MS_CTS_ON) s |= lsCTSBit;
    if (status & platform::MS_DSR_ON) s |= lsDSRBit;
    if (status & platform::MS_RING_ON) s |= lsRingBit;
    if (status & platform::MS_RLSD_ON) s |= lsRLSDBit;
    return s;
}

TPortErrors TCustomSerialPort::TakeLineErrors() {
    uint32_t e = 0, queue = 0;
    if (!device_ || !device_->ClearCommError(e, queue))
        throw ESerialPort(10, device_ ? device_->LastError() : -1);
    TPortErrors r = 0;
    if (e & platform::CE_FRAME) r |= errFrame;
    if ((e & platform::CE_RXPARITY) && parity_.Check()) r |= errParity;
    if (e & platform::CE_OVERRUN) r |= errOverrun;
    if (e & platform::CE_BREAK) r |= errBreak;
    if (e & platform::CE_IOE) r |= errIO;
    if (e & platform::CE_MODE) r |= errMode;
    if (e & platform::CE_RXOVER) r |= errRxOver;
    if (e & platform::CE_TXFULL) r |= errTxFull;
    return r;
}

void TCustomSerialPort::AbortPending() {
    if (device_ && !device_->PurgeComm(platform::PURGE_TXABORT | platform::PURGE_RXABORT))
        throw ESerialPort(5, device_->LastError());
}

void TCustomSerialPort::RegisterLink(TPortLink& link) {
    if (std::find(links_.begin(), links_.end(), &link) != links_.end()) throw ESerialPort(18);
    links_.push_back(&link);
    anyLinkWantsRx_ = std::any_of(links_.begin(), links_.end(),
                                  [](TPortLink* l) { return static_cast<bool>(l->OnRxBuf); });
}

void TCustomSerialPort::UnRegisterLink(TPortLink& link) {
    const auto it = std::find(links_.begin(), links_.end(), &link);
    if (it == links_.end()) throw ESerialPort(18);
    links_.erase(it);
    anyLinkWantsRx_ = std::any_of(links_.begin(), links_.end(),
                                  [](TPortLink* l) { return static_cast<bool>(l->OnRxBuf); });
}

void TCustomSerialPort::ForLinks(const std::function<void(TPortLink&)>& fn) {
    const std::vector<TPortLink*> links = links_;
    for (TPortLink* l : links) fn(*l);
}

// ---- handlers -----------------------------------------------------------------------------

void TCustomSerialPort::HandleError() {
    const TPortErrors e = TakeLineErrors();
    if (e && OnError) OnError(*this, e);
}

void TCustomSerialPort::HandleRxChar() {
    int32_t count = PendingInput();
    if (count > 0)
        ForLinks([this](TPortLink& l) {
            if (l.OnRxActive) l.OnRxActive(*this, true);
        });
    if (count > 0 && anyLinkWantsRx_) {
        std::string buf(static_cast<size_t>(count), '\0');
        bool read = false;
        ForLinks([&](TPortLink& l) {
            if (!l.OnRxBuf) return;
            if (!read) {
                count = Read(buf.data(), count);
                read = true;
                if (OnRxBuf) OnRxBuf(*this, buf.data(), count);
            }
            l.OnRxBuf(*this, buf.data(), count);
        });
        count = 0;
    }
    if (count > 0 && OnRxChar) OnRxChar(*this, count);
}

void TCustomSerialPort::HandleTxEmpty() {
    ForLinks([this](TPortLink& l) {
        if (l.OnTxActive) l.OnTxActive(*this, false);
    });
    ForLinks([this](TPortLink& l) {
        if (l.OnTxEmpty) l.OnTxEmpty(*this);
    });
    if (OnTxEmpty) OnTxEmpty(*this);
}

void TCustomSerialPort::HandleBreak() {
    if (OnBreak) OnBreak(*this);
}

void TCustomSerialPort::HandleRing() {
    ForLinks([this](TPortLink& l) {
        if (l.OnRing) l.OnRing(*this);
    });
    if (OnRing) OnRing(*this);
}

void TCustomSerialPort::LineNotice(unsigned bit,
                                   std::function<void(TCustomSerialPort&, bool)> TPortLink::*cb,
                                   const std::function<void(TCustomSerialPort&, bool)>& event) {
    const bool on = (LineSignals() & bit) != 0;
    ForLinks([&](TPortLink& l) {
        if (l.*cb) (l.*cb)(*this, on);
    });
    if (event) event(*this, on);
}

void TCustomSerialPort::HandleCTSChange() {
    LineNotice(lsCTSBit, &TPortLink::OnCTSChange, OnCTSChange);
}
void TCustomSerialPort::HandleDSRChange() {
    LineNotice(lsDSRBit, &TPortLink::OnDSRChange, OnDSRChange);
}
void TCustomSerialPort::HandleRLSDChange() {
    LineNotice(lsRLSDBit, &TPortLink::OnRLSDChange, OnRLSDChange);
}

void TCustomSerialPort::HandleRxFlag() {
    ForLinks([this](TPortLink& l) {
        if (l.OnRxFlag) l.OnRxFlag(*this);
    });
    if (OnRxFlag) OnRxFlag(*this);
}

void TCustomSerialPort::HandleRx80Full() {
    if (OnRx80Full) OnRx80Full(*this);
}

void TCustomSerialPort::HandleNotices() {
    if (!device_) return;
    for (const std::string& text : device_->TakeNotices())
        if (OnNotice) OnNotice(*this, text);
}

void TSerialPort::UseCaptureDefaults() {
    BeginUpdate();
    SetBaudRate(br1200);
    SetPort("COM1");
    Parity().SetBits(prNone);
    SetStopBits(sbOneStopBit);
    SetDataBits(dbEight);
    SetDiscardNull(true);
    SetEvents(kAllComEvents);
    FlowControl().SetOutCTSFlow(false);
    FlowControl().SetOutDSRFlow(false);
    FlowControl().SetControlDTR(dtrEnable);
    FlowControl().SetControlRTS(rtsDisable);
    FlowControl().SetXonXoffOut(false);
    FlowControl().SetXonXoffIn(false);
    EndUpdate();
}

// ---- event thread -------------------------------------------------------------------------

namespace {
struct TMaskBit {
    TPortEvent event;
    uint32_t bit;
};
constexpr TMaskBit kMask[] = {
    {evRxChar, platform::EV_RXCHAR},   {evRxFlag, platform::EV_RXFLAG},
    {evTxEmpty, platform::EV_TXEMPTY}, {evCTS, platform::EV_CTS},
    {evDSR, platform::EV_DSR},         {evRLSD, platform::EV_RLSD},
    {evBreak, platform::EV_BREAK},     {evError, platform::EV_ERR},
    {evRing, platform::EV_RING},       {evRx80Full, platform::EV_RX80FULL},
};
// The fixed order in which a batch's events are handled.
constexpr TPortEvent kHandlerOrder[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                        evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};

void RunHandler(TCustomSerialPort& port, TPortEvent e) {
    switch (e) {
        case evError:
            port.HandleError();
            break;
        case evRxChar:
            port.HandleRxChar();
            break;
        case evTxEmpty:
            port.HandleTxEmpty();
            break;
        case evBreak:
            port.HandleBreak();
            break;
        case evRing:
            port.HandleRing();
            break;
        case evCTS:
            port.HandleCTSChange();
            break;
        case evDSR:
            port.HandleDSRChange();
            break;
        case evRxFlag:
            port.HandleRxFlag();
            break;
        case evRLSD:
            port.HandleRLSDChange();
            break;
        case evRx80Full:
            port.HandleRx80Full();
            break;
    }
}
}  // namespace

uint32_t TPortEventThread::EventsToMask(TPortEvents events) {
    uint32_t mask = 0;
    for (const TMaskBit& m : kMask)
        if (events & (1u << m.event)) mask |= m.bit;
    return mask;
}

TPortEvents TPortEventThread::MaskToEvents(uint32_t mask) {
    TPortEvents events = 0;
    for (const TMaskBit& m : kMask)
        if (mask & m.bit) events |= static_cast<TPortEvents>(1u << m.event);
    return events;
}

TPortEventThread::TPortEventThread(TCustomSerialPort& port) : port_(port), device_(port.device_) {
    device_->SetCommMask(EventsToMask(port_.events_));
    thread_ = std::thread([this] { Execute(); });
}

void TPortEventThread::Stop() {
    // Once stopped, the port may hold another device already.
    if (stop_.exchange(true)) return;
    if (port_.device_) port_.device_->CancelWait();
}

TPortEventThread::~TPortEventThread() {
    Stop();
    // A batch in progress is waiting for the main thread: serve it so the worker can finish.
    platform::WaitServingSync([this] { return finished_.load(); });
    thread_.join();
}

void TPortEventThread::Execute() {
    platform::TSerialDevice& device = *device_;
    try {
        while (!stop_) {
            uint32_t mask = 0;
            if (!device.WaitCommEvent(mask)) break;
            if (stop_) break;
            reported_ = MaskToEvents(mask);
            Deliver(reported_, (mask & platform::EV_NOTICE) != 0);
        }
    } catch (...) {
        // A handler's error ends the thread; capture resumes with the next open.
    }
    device.SetCommMask(0);
    device.PurgeComm(platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR);
    device_.reset();  // after a close from inside a batch, this closes the device
    finished_ = true;
    platform::WakeWaiters();
}

namespace {
// Marks a batch running on the main thread, so that a close from inside it does not wait.
class TDeliveryScope {
public:
    explicit TDeliveryScope(int& depth) : depth_(depth) { ++depth_; }
    ~TDeliveryScope() { --depth_; }
    TDeliveryScope(const TDeliveryScope&) = delete;
    TDeliveryScope& operator=(const TDeliveryScope&) = delete;

private:
    int& depth_;
};
}  // namespace

void TPortEventThread::Deliver(TPortEvents reported, bool notices) {
    // A handler that closed the port ends the batch: the rest would find no device.
    auto wanted = [&](TPortEvent e) { return (reported & (1u << e)) && !stop_; };
    // Notices come after the batch's bytes: a drop is told after the last line before it.
    auto tell = [&] {
        if (notices && !stop_) port_.HandleNotices();
    };
    switch (port_.syncMethod_) {
        case smThreadSync:
            platform::Synchronize([&] {
                TDeliveryScope scope(port_.deliveryDepth_);
                for (TPortEvent e : kHandlerOrder)
                    if (wanted(e)) RunHandler(port_, e);
                tell();
            });
            break;
        case smWindowSync:
            for (TPortEvent e : kHandlerOrder) {
                if (!wanted(e)) continue;
                platform::Synchronize([&] {
                    TDeliveryScope scope(port_.deliveryDepth_);
                    try {
                        RunHandler(port_, e);
                    } catch (const std::exception& ex) {
                        ReportApplicationException(ex);
                    }
                });
            }
            if (notices)
                platform::Synchronize([&] {
                    TDeliveryScope scope(port_.deliveryDepth_);
                    try {
                        tell();
                    } catch (const std::exception& ex) {
                        ReportApplicationException(ex);
                    }
                });
            break;
        case smNone:
            for (TPortEvent e : kHandlerOrder)
                if (wanted(e)) RunHandler(port_, e);
            tell();
            break;
    }
}

// ---- text conversions ---------------------------------------------------------------------

namespace {
template <size_t N>
int FindText(const char* const (&table)[N], const std::string& s, int def) {
    for (size_t i = 0; i < N; ++i)
        if (SameText1251(table[i], s)) return static_cast<int>(i);
    return def;
}
const char* const kBaud[] = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                             "4800",   "9600",   "14400",  "19200", "38400", "56000",
                             "57600",  "115200", "128000", "256000"};
const char* const kStop[] = {"1", "1.5", "2"};
const char* const kData[] = {"5", "6", "7", "8"};
const char* const kParity[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const kFlow[] = {"Hardware", "Software", "None", "Custom"};
const char* const kDtr[] = {"Disable", "Enable", "Handshake"};
const char* const kRts[] = {"Disable", "Enable", "Handshake", "Toggle"};
}  // namespace

std::string BaudRateToText(TBaudRate v) {
    return kBaud[v];
}
TBaudRate TextToBaudRate(const std::string& s) {
    return static_cast<TBaudRate>(FindText(kBaud, s, br9600));
}
std::string StopBitsToText(TStopBits v) {
    return kStop[v];
}
TStopBits TextToStopBits(const std::string& s) {
    return static_cast<TStopBits>(FindText(kStop, s, sbOneStopBit));
}
std::string DataBitsToText(TDataBits v) {
    return kData[v];
}
TDataBits TextToDataBits(const std::string& s) {
    return static_cast<TDataBits>(FindText(kData, s, dbEight));
}
std::string ParityToText(TParityBits v) {
    return kParity[v];
}
TParityBits TextToParity(const std::string& s) {
    return static_cast<TParityBits>(FindText(kParity, s, prNone));
}
std::string FlowControlToText(TFlowControl v) {
    return kFlow[v];
}
TFlowControl TextToFlowControl(const std::string& s) {
    return static_cast<TFlowControl>(FindText(kFlow, s, fcCustom));
}
std::string DTRControlToText(TDTRFlowControl v) {
    return kDtr[v];
}
TDTRFlowControl TextToDTRControl(const std::string& s) {
    return static_cast<TDTRFlowControl>(FindText(kDtr, s, dtrDisable));
}
std::string RTSControlToText(TRTSFlowControl v) {
    return kRts[v];
}
TRTSFlowControl TextToRTSControl(const std::string& s) {
    return static_cast<TRTSFlowControl>(FindText(kRts, s, rtsDisable));
}
std::string BoolToYesNo(bool v) {
    return v ? "Yes" : "No";
}
bool YesNoToBool(const std::string& s) {
    return UpperCase1251(s) == "YES";
}

std::string CharToText(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 33 && u <= 127) return std::string(1, c);
    return "#" + std::to_string(u);
}

char TextToChar(const std::string& s) {
    if (s.empty()) return 0;
    if (s[0] == '#' && s.size() > 1) {
        const auto v = TryStrToInt(s.substr(1));
        return v ? static_cast<char>(*v & 0xFF) : 0;
    }
    return s[0];
}

std::string PortNameOfDevice(const std::string& path) {
    if (path.rfind("/dev/ttyS", 0) == 0) {
        const auto n = TryStrToInt(path.substr(9));
        if (n && *n >= 0 && *n < 96 && std::to_string(*n) == path.substr(9))
            return "COM" + std::to_string(*n + 1);
    }
    return path;
}

void ListComPorts(std::vector<std::string>& items) {
    for (const std::string& path : platform::SerialDevicePaths())
        items.push_back(PortNameOfDevice(path));
}

// ---- persistence --------------------------------------------------------------------------

void TCustomSerialPort::SaveSetup(TSettingsStore store, const std::string& location) {
    try {
        if (store != ssIniFile) throw EError("no registry on this system");
        SaveToIni(location);
    } catch (...) {
        throw ESerialPort(16);
    }
}

void TCustomSerialPort::LoadSetup(TSettingsStore store, const std::string& location) {
    BeginUpdate();
    bool failed = false;
    try {
        if (store != ssIniFile) throw EError("no registry on this system");
        LoadFromIni(location);
    } catch (...) {
        failed = true;
    }
    try {
        EndUpdate();
    } catch (...) {
        failed = true;
    }
    if (failed) throw ESerialPort(17);
}

void TCustomSerialPort::SaveToIni(const std::string& file) {
    TIniFile ini(file);
    // The exchange's password is for the station's eyes only, as the mail server's is.
    if (!password_.empty()) ini.SetOwnerOnly(true);
    const std::string& s = Name;
    auto has = [this](TStoredGroup g) { return (StoredGroups & (1u << g)) != 0; };
    if (has(sgBasic)) {
        ini.WriteString(s, "Port", port_);
        ini.WriteString(s, "BaudRate", BaudRateToText(baudRate_));
        if (baudRate_ == brCustom) ini.WriteInteger(s, "CustomBaudRate", customBaudRate_);
        ini.WriteString(s, "StopBits", StopBitsToText(stopBits_));
        ini.WriteString(s, "DataBits", DataBitsToText(dataBits_));
        ini.WriteString(s, "Parity", ParityToText(parity_.Bits()));
        ini.WriteString(s, "FlowControl", FlowControlToText(flowControl_.FlowControl()));
        // The network keys only where they mean something: a file that never had them keeps
        // its six lines.
        auto text = [&](const char* key, const std::string& v) {
            if (!v.empty() || ini.ValueExists(s, key)) ini.WriteString(s, key, v);
        };
        text("Login", login_);
        text("Password", password_);
        text("Allow", allow_);
        if (keepAlive_ != kKeepAliveDefault || ini.ValueExists(s, "KeepAlive"))
            ini.WriteInteger(s, "KeepAlive", keepAlive_);
        if (idle_ != 0 || ini.ValueExists(s, "Idle")) ini.WriteInteger(s, "Idle", idle_);
    }
    if (has(sgOthers)) {
        ini.WriteString(s, "EventChar", CharToText(eventChar_));
        ini.WriteString(s, "DiscardNull", BoolToYesNo(discardNull_));
    }
    if (has(sgParity)) {
        ini.WriteString(s, "Parity.Check", BoolToYesNo(parity_.Check()));
        ini.WriteString(s, "Parity.Replace", BoolToYesNo(parity_.Replace()));
        ini.WriteString(s, "Parity.ReplaceChar", CharToText(parity_.ReplaceChar()));
    }
    if (has(sgBuffer)) {
        ini.WriteInteger(s, "Buffer.OutputSize", buffer_.OutputSize());
        ini.WriteInteger(s, "Buffer.InputSize", buffer_.InputSize());
    }
    if (has(sgTimeouts)) {
        ini.WriteInteger(s, "Timeouts.ReadInterval", timeouts_.ReadInterval);
        ini.WriteInteger(s, "Timeouts.ReadTotalConstant", timeouts_.ReadTotalConstant);
        ini.WriteInteger(s, "Timeouts.ReadTotalMultiplier", timeouts_.ReadTotalMultiplier);
        ini.WriteInteger(s, "Timeouts.WriteTotalConstant", timeouts_.WriteTotalConstant);
        ini.WriteInteger(s, "Timeouts.WriteTotalMultiplier", timeouts_.WriteTotalMultiplier);
    }
    if (has(sgFlowControl)) {
        const TPortFlowControl& f = flowControl_;
        ini.WriteString(s, "FlowControl.ControlRTS", RTSControlToText(f.ControlRTS));
        ini.WriteString(s, "FlowControl.ControlDTR", DTRControlToText(f.ControlDTR));
        ini.WriteString(s, "FlowControl.DSRSensitivity", BoolToYesNo(f.DSRSensitivity));
        ini.WriteString(s, "FlowControl.OutCTSFlow", BoolToYesNo(f.OutCTSFlow));
        ini.WriteString(s, "FlowControl.OutDSRFlow", BoolToYesNo(f.OutDSRFlow));
        ini.WriteString(s, "FlowControl.TxContinueOnXoff", BoolToYesNo(f.TxContinueOnXoff));
        ini.WriteString(s, "FlowControl.XonXoffIn", BoolToYesNo(f.XonXoffIn));
        ini.WriteString(s, "FlowControl.XonXoffOut", BoolToYesNo(f.XonXoffOut));
        ini.WriteString(s, "FlowControl.XoffChar", CharToText(f.XoffChar));
        ini.WriteString(s, "FlowControl.XonChar", CharToText(f.XonChar));
    }
}

void TCustomSerialPort::LoadFromIni(const std::string& file) {
    const TIniFile ini(file);
    const std::string& s = Name;
    auto has = [this](TStoredGroup g) { return (StoredGroups & (1u << g)) != 0; };
    auto str = [&](const char* key, const std::string& current) {
        return ini.ReadString(s, key, current);
    };
    auto integer = [&](const char* key, int32_t current) {
        return ini.ReadInteger(s, key, current);
    };
    auto yes = [&](const char* key, bool current) {
        return YesNoToBool(str(key, BoolToYesNo(current)));
    };
    auto chr = [&](const char* key, char current) {
        return TextToChar(str(key, CharToText(current)));
    };
    if (has(sgBasic)) {
        SetPort(str("Port", port_));
        SetBaudRate(TextToBaudRate(str("BaudRate", BaudRateToText(baudRate_))));
        if (baudRate_ == brCustom) SetCustomBaudRate(integer("CustomBaudRate", 9600));
        SetStopBits(TextToStopBits(str("StopBits", StopBitsToText(stopBits_))));
        SetDataBits(TextToDataBits(str("DataBits", DataBitsToText(dataBits_))));
        parity_.SetBits(TextToParity(str("Parity", ParityToText(parity_.Bits()))));
        flowControl_.SetFlowControl(
            TextToFlowControl(str("FlowControl", FlowControlToText(flowControl_.FlowControl()))));
        SetLogin(str("Login", login_));
        SetPassword(str("Password", password_));
        SetAllow(str("Allow", allow_));
        SetKeepAlive(integer("KeepAlive", keepAlive_));
        SetIdle(integer("Idle", idle_));
    }
    if (has(sgOthers)) {
        SetEventChar(chr("EventChar", eventChar_));
        SetDiscardNull(yes("DiscardNull", discardNull_));
    }
    if (has(sgParity)) {
        parity_.SetCheck(yes("Parity.Check", parity_.Check()));
        parity_.SetReplace(yes("Parity.Replace", parity_.Replace()));
        parity_.SetReplaceChar(chr("Parity.ReplaceChar", parity_.ReplaceChar()));
    }
    if (has(sgBuffer)) {
        buffer_.SetOutputSize(integer("Buffer.OutputSize", buffer_.OutputSize()));
        buffer_.SetInputSize(integer("Buffer.InputSize", buffer_.InputSize()));
    }
    if (has(sgTimeouts)) {
        TPortTimeouts& t = timeouts_;
        t.Set(&TPortTimeouts::ReadInterval, integer("Timeouts.ReadInterval", t.ReadInterval));
        t.Set(&TPortTimeouts::ReadTotalConstant,
              integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant));
        t.Set(&TPortTimeouts::ReadTotalMultiplier,
              integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier));
        t.Set(&TPortTimeouts::WriteTotalConstant,
              integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant));
        t.Set(&TPortTimeouts::WriteTotalMultiplier,
              integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier));
    }
    if (has(sgFlowControl)) {
        TPortFlowControl& f = flowControl_;
        f.SetControlRTS(
            TextToRTSControl(str("FlowControl.ControlRTS", RTSControlToText(f.ControlRTS))));
        f.SetControlDTR(
            TextToDTRControl(str("FlowControl.ControlDTR", DTRControlToText(f.ControlDTR))));
        f.SetDSRSensitivity(yes("FlowControl.DSRSensitivity", f.DSRSensitivity));
        f.SetOutCTSFlow(yes("FlowControl.OutCTSFlow", f.OutCTSFlow));
        f.SetOutDSRFlow(yes("FlowControl.OutDSRFlow", f.OutDSRFlow));
        f.SetTxContinueOnXoff(yes("FlowControl.TxContinueOnXoff", f.TxContinueOnXoff));
        f.SetXonXoffIn(yes("FlowControl.XonXoffIn", f.XonXoffIn));
        f.SetXonXoffOut(yes("FlowControl.XonXoffOut", f.XonXoffOut));
        f.SetXoffChar(chr("FlowControl.XoffChar", f.XoffChar));
        f.SetXonChar(chr("FlowControl.XonChar", f.XonChar));
    }
}
